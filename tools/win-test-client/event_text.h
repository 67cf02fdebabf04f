// What an event viewer shows for an event: the source's message file from
// its registration in the Application log, and the message of the event id
// formatted with the event's insertion strings.
#pragma once

#include <cstdint>
#include <string>

namespace wintestclient {

// The text of event `id` of `source` with `insertion` as its only string,
// UTF-8. False with a reason in error when the source is not registered,
// its message file cannot be loaded, or the id has no message.
bool eventText(const std::string& source, std::uint32_t id, const std::string& insertion,
               std::string& out, std::string& error);

}  // namespace wintestclient
