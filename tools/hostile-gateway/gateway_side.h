// The gateway's end of one relay connection, played as its plan says.
#pragma once

#include <cstdio>
#include <mutex>
#include <string>

#include "tools/hostile-gateway/plan.h"
#include "tools/hostile-gateway/sock.h"

namespace hg {

// One line per event, flushed at once, so that a test can wait for it and a
// failure can be replayed from the seed and the connection number.
class BehaviourLog {
public:
    ~BehaviourLog();
    bool open(const std::string& path);
    void line(const std::string& text);

private:
    std::mutex m_mutex;
    std::FILE* m_file = nullptr;
};

// Logs "conn N: <behaviour>" on start and "conn N: acted" once the
// misbehaviour has been carried out.
void serveConnection(toolnet::Fd fd, const Plan& plan, BehaviourLog& log);

}  // namespace hg
