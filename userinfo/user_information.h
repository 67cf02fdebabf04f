// Who is behind a connection's process: the user logged on in each session,
// cached per session, with the user's domain groups and the group names.
#pragma once

#include <atomic>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "platform/identity.h"
#include "platform/service_control.h"
#include "platform/tcp_table.h"
#include "userinfo/account_info.h"

// ConvertSidToStringSidW, or empty on failure.
std::wstring sidToString(const platform::Sid& sid);

class UserInformation {
public:
    UserInformation();
    ~UserInformation() = default;
    UserInformation(const UserInformation&) = delete;
    UserInformation& operator=(const UserInformation&) = delete;

    void enumerateSessions();
    // The session of a connection's owner (platform/tcp_table.h), read as
    // soon as the owner is known: `createdBy` is the accept's time, and a
    // Windows process created later cannot have made the socket. Failures
    // are logged at most once a second.
    static bool sessionIdOfOwner(platform::SocketOwner owner, std::int64_t createdBy,
                                 std::uint32_t& session);
    // The session's user and groups: from the cache, else read afresh.
    bool getUserInfoFromSessionId(std::uint32_t sessionId, UserInfo& info);
    void onSessionChange(const platform::SessionNotification& notification,
                         std::uint32_t eventType);

    bool getLatestUserInfoFromSessionId(std::uint32_t sessionId, UserInfo& info);
    bool getInformationFromToken(std::vector<std::uint8_t>& buffer, platform::Token token,
                                 std::uint32_t infoClass);
    void updateCache(std::uint32_t sessionId, const UserInfo& info);
    bool getCachedUserInfoFromSessionId(std::uint32_t sessionId, UserInfo& info);

    void readGroupMappingsFromDisk();
    void writeGroupMappingsToDisk();

    // Read-only views for diagnostics and tests (take the lock).
    std::map<std::uint32_t, AccountInfo> sessions() const;
    std::map<std::wstring, AccountInfo> groupMappings() const;
    std::map<AccountInfo, std::vector<std::wstring>> userGroupSids() const;
    const std::wstring& dataDir() const { return m_dataDir; }

private:
    // Finds the ProgramData folder and creates the data folder inside it.
    void locateDataFolder();
    std::wstring filePath(const wchar_t* fileName) const;

    std::atomic<bool> m_sessionsEnumerated{false};
    mutable std::recursive_mutex m_mutex;
    std::map<std::uint32_t, AccountInfo> m_sessIdToUser;
    std::map<AccountInfo, std::vector<std::wstring>> m_userToGroupSids;
    std::map<std::wstring, AccountInfo> m_groupMappings;
    std::wstring m_dataDir;
};
