#include "userinfo/user_information.h"

#include <algorithm>
#include <set>

#include "platform/errors.h"
#include "platform/platform.h"
#include "support/data_folder.h"
#include "support/logging.h"

namespace {

constexpr std::uint32_t kUnknownSession = 0xFFFFFFFFu;

bool isDomainGroupSid(const std::wstring& sid) {
    return sid.compare(0, 9, L"S-1-5-21-") == 0;
}

AccountInfo accountOf(const UserInfo& info) {
    return AccountInfo{info.domain, info.name, info.sid};
}

}  // namespace

UserInformation::UserInformation() {
    locateDataFolder();
    readGroupMappingsFromDisk();
}

void UserInformation::locateDataFolder() {
    const std::int32_t hr = dataFolderPath(m_dataDir);
    if (hr != 0) {
        (LogMessage("UserInformation::UserInformation()")
         << L", SHGetKnownFolderPath() failed, hresult = " << hr)
            .log();
        return;
    }
    const int rc = platform::files().createDirectory(m_dataDir);
    if (rc != 0 && rc != static_cast<int>(platform::kErrorFileExists) &&
        rc != static_cast<int>(platform::kErrorAlreadyExists)) {
        (LogMessage("UserInformation::UserInformation()")
         << L", SHCreateDirectory() failed, error = " << rc)
            .log();
    }
}

std::wstring UserInformation::filePath(const wchar_t* fileName) const {
    return dataFilePath(m_dataDir, fileName);
}

void UserInformation::enumerateSessions() {
    std::vector<platform::SessionEntry> sessions;
    const std::uint32_t rc = platform::identity().enumerateSessions(sessions);
    if (rc != platform::kErrorSuccess) {
        (LogMessage("UserInformation::enumerateSessions()")
         << L", WTSEnumerateSessions() failed, last error = " << rc)
            .log();
        return;
    }
    for (const platform::SessionEntry& session : sessions) {
        if (session.state != platform::kWtsActive && session.state != platform::kWtsDisconnected)
            continue;
        // Only the effect on the cache matters here.
        UserInfo scratch;
        getLatestUserInfoFromSessionId(session.sessionId, scratch);
    }
    m_sessionsEnumerated = true;
}

bool UserInformation::sessionIdOfOwner(platform::SocketOwner owner, std::int64_t createdBy,
                                       std::uint32_t& session) {
    // A browser can make every connection fail here (by ending its process
    // at once, say): logged at most once a second.
    static MessageRateLimit g_limit;
    session = kUnknownSession;
    const std::uint32_t rc = platform::identity().ownerSessionId(owner, createdBy, session);
    if (rc != platform::kErrorSuccess) {
        (LogMessage("UserInformation::sessionIdOfOwner()")
         << L", failed to get session id for process, last error = " << rc)
            .log(g_limit);
        return false;
    }
    return true;
}

bool UserInformation::getUserInfoFromSessionId(std::uint32_t sessionId, UserInfo& info) {
    if (getCachedUserInfoFromSessionId(sessionId, info))
        return true;
    return getLatestUserInfoFromSessionId(sessionId, info);
}

void UserInformation::onSessionChange(const platform::SessionNotification& notification,
                                      std::uint32_t eventType) {
    if (eventType == platform::kWtsSessionLogon) {
        UserInfo scratch;
        getLatestUserInfoFromSessionId(notification.sessionId, scratch);
    } else if (eventType == platform::kWtsSessionLogoff) {
        std::lock_guard<std::recursive_mutex> lock(m_mutex);
        m_sessIdToUser.erase(notification.sessionId);
    }
}

void UserInformation::updateCache(std::uint32_t sessionId, const UserInfo& info) {
    if (sessionId == 0)
        return;
    {
        std::lock_guard<std::recursive_mutex> lock(m_mutex);
        const AccountInfo& user = recordSessionUser(sessionId, accountOf(info));
        if (!recordGroups(user, info.groups))
            return;
        ++m_mappingsSequence;
    }
    // After the lock: lookups need not wait for the disk.
    writeLatestMappings();
}

const AccountInfo& UserInformation::recordSessionUser(std::uint32_t sessionId,
                                                      const AccountInfo& fresh) {
    auto known = m_sessIdToUser.find(sessionId);
    if (known == m_sessIdToUser.end()) {
        if (m_sessionsEnumerated) {
            (LogMessage("UserInformation::updateCache()")
             << L"session id " << sessionId << L" not found in m_sessIdToUser, adding it now")
                .log(kEventTypeInformation);
        }
        known = m_sessIdToUser.emplace(sessionId, fresh).first;
    } else if (known->second != fresh) {
        (LogMessage("UserInformation::updateCache()")
         << L"user info does not match cached info for session id " << sessionId
         << L", updating it now")
            .log(kEventTypeInformation);
        known->second = fresh;
    }
    return known->second;
}

bool UserInformation::recordGroups(const AccountInfo& user,
                                   const std::vector<AccountInfo>& groups) {
    std::vector<std::wstring>& list = m_userToGroupSids[user];
    std::set<std::wstring> current;
    bool changed = false;
    for (const AccountInfo& group : groups) {
        if (group.sid.empty())
            continue;
        current.insert(group.sid);
        if (isDomainGroupSid(group.sid) &&
            std::find(list.begin(), list.end(), group.sid) == list.end()) {
            list.push_back(group.sid);
        }
        if (!group.domain.empty() && !group.name.empty()) {
            auto mapping = m_groupMappings.find(group.sid);
            if (mapping == m_groupMappings.end() || mapping->second != group) {
                m_groupMappings[group.sid] = group;
                changed = true;
            }
        }
    }
    // Groups the user has left drop out; the others keep their order.
    list.erase(std::remove_if(list.begin(), list.end(),
                              [&](const std::wstring& sid) { return current.count(sid) == 0; }),
               list.end());
    return changed;
}

UserInformation::MappingsSnapshot UserInformation::snapshotMappings() const {
    std::lock_guard<std::recursive_mutex> lock(m_mutex);
    return MappingsSnapshot{m_groupMappings, m_mappingsSequence};
}

bool UserInformation::getCachedUserInfoFromSessionId(std::uint32_t sessionId, UserInfo& info) {
    info.reset();
    if (sessionId == 0)
        return fillSystemUserInfo(info);

    std::lock_guard<std::recursive_mutex> lock(m_mutex);
    const auto known = m_sessIdToUser.find(sessionId);
    if (known == m_sessIdToUser.end())
        return false;
    info.domain = known->second.domain;
    info.name = known->second.name;
    info.sid = known->second.sid;

    const auto sids = m_userToGroupSids.find(known->second);
    if (sids == m_userToGroupSids.end())
        return false;
    for (const std::wstring& sid : sids->second) {
        AccountInfo group;
        group.sid = sid;
        const auto mapping = m_groupMappings.find(sid);
        if (mapping != m_groupMappings.end()) {
            group.domain = mapping->second.domain;
            group.name = mapping->second.name;
        }
        info.groups.push_back(std::move(group));
    }
    return true;
}

std::map<std::uint32_t, AccountInfo> UserInformation::sessions() const {
    std::lock_guard<std::recursive_mutex> lock(m_mutex);
    return m_sessIdToUser;
}

std::map<std::wstring, AccountInfo> UserInformation::groupMappings() const {
    std::lock_guard<std::recursive_mutex> lock(m_mutex);
    return m_groupMappings;
}

std::map<AccountInfo, std::vector<std::wstring>> UserInformation::userGroupSids() const {
    std::lock_guard<std::recursive_mutex> lock(m_mutex);
    return m_userToGroupSids;
}
