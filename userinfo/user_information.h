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

    // Reads the session's user afresh from its token, then caches it.
    bool getLatestUserInfoFromSessionId(std::uint32_t sessionId, UserInfo& info);
    bool getInformationFromToken(std::vector<std::uint8_t>& buffer, platform::Token token,
                                 std::uint32_t infoClass);
    // Caches the session's user; a changed group mapping rewrites the file
    // once the lock is released.
    void updateCache(std::uint32_t sessionId, const UserInfo& info);
    bool getCachedUserInfoFromSessionId(std::uint32_t sessionId, UserInfo& info);

    void readGroupMappingsFromDisk();
    // Writes the mappings as they are now.
    void writeGroupMappingsToDisk();

    // Read-only views for diagnostics and tests (take the lock).
    std::map<std::uint32_t, AccountInfo> sessions() const;
    std::map<std::wstring, AccountInfo> groupMappings() const;
    std::map<AccountInfo, std::vector<std::wstring>> userGroupSids() const;
    const std::wstring& dataDir() const { return m_dataDir; }

private:
    // The group mappings as they were at one moment, to be written without
    // m_mutex held, and the number of the last change they include.
    struct MappingsSnapshot {
        std::map<std::wstring, AccountInfo> mappings;
        std::uint64_t sequence = 0;
    };

    // Finds the ProgramData folder and creates the data folder inside it.
    void locateDataFolder();
    std::wstring filePath(const wchar_t* fileName) const;

    // The session's user and groups from its token; the cache is not touched.
    bool readSessionUser(std::uint32_t sessionId, UserInfo& info);
    bool readTokenUser(platform::Token token, UserInfo& info);
    bool readTokenGroups(platform::Token token, UserInfo& info);

    // The caller holds m_mutex for these two.
    const AccountInfo& recordSessionUser(std::uint32_t sessionId, const AccountInfo& fresh);
    // True when a group mapping was added or changed.
    bool recordGroups(const AccountInfo& user, const std::vector<AccountInfo>& groups);

    MappingsSnapshot snapshotMappings() const;
    // Writes the mappings as they are when this writer's turn comes, unless
    // an earlier writer has already written every change.
    void writeLatestMappings();
    void writeMappingsFile(const std::map<std::wstring, AccountInfo>& mappings);

    std::atomic<bool> m_sessionsEnumerated{false};
    mutable std::recursive_mutex m_mutex;
    std::map<std::uint32_t, AccountInfo> m_sessIdToUser;
    std::map<AccountInfo, std::vector<std::wstring>> m_userToGroupSids;
    std::map<std::wstring, AccountInfo> m_groupMappings;
    std::uint64_t m_mappingsSequence = 0;  // changes so far, by m_mutex
    // One rewrite of the file at a time; each copies the mappings once it
    // holds this, so no copy reaches the disk after a newer one. Taken
    // before m_mutex, never while holding it.
    std::mutex m_writeMutex;
    std::uint64_t m_writtenSequence = 0;  // by m_writeMutex
    std::wstring m_dataDir;
};
