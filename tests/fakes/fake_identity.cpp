#include "tests/fakes/fake_identity.h"

#include <algorithm>
#include <chrono>
#include <cstring>

#include "platform/errors.h"

namespace {

// Private token-information layout: uint32 count, then per SID a uint32
// byte length and the bytes, then any padding.
void putU32(std::vector<std::uint8_t>& out, std::uint32_t v) {
    const auto* p = reinterpret_cast<const std::uint8_t*>(&v);
    out.insert(out.end(), p, p + sizeof v);
}

bool getU32(const std::vector<std::uint8_t>& in, std::size_t& pos, std::uint32_t& v) {
    if (in.size() < sizeof v || pos > in.size() - sizeof v)
        return false;
    std::memcpy(&v, in.data() + pos, sizeof v);
    pos += sizeof v;
    return true;
}

bool parseSids(const std::vector<std::uint8_t>& in, std::vector<platform::Sid>& out) {
    out.clear();
    std::size_t pos = 0;
    std::uint32_t count = 0;
    if (!getU32(in, pos, count))
        return false;
    for (std::uint32_t i = 0; i < count; ++i) {
        std::uint32_t length = 0;
        if (!getU32(in, pos, length) || length > in.size() - pos)
            return false;
        out.emplace_back(in.begin() + pos, in.begin() + pos + length);
        pos += length;
    }
    return true;
}

}  // namespace

platform::Sid FakeIdentity::encodeSid(const std::wstring& text) {
    platform::Sid sid{'S', 'I', 'D'};
    for (wchar_t c : text) {
        sid.push_back(static_cast<std::uint8_t>(c & 0xFF));
        sid.push_back(static_cast<std::uint8_t>((c >> 8) & 0xFF));
    }
    return sid;
}

bool FakeIdentity::decodeSid(const platform::Sid& sid, std::wstring& text) {
    if (sid.size() < 3 || sid[0] != 'S' || sid[1] != 'I' || sid[2] != 'D' || sid.size() % 2 == 0)
        return false;
    text.clear();
    for (std::size_t i = 3; i + 1 < sid.size(); i += 2)
        text.push_back(static_cast<wchar_t>(sid[i] | (sid[i + 1] << 8)));
    return true;
}

void FakeIdentity::addAccount(const std::wstring& sid, const std::wstring& domain,
                              const std::wstring& name) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_accounts[sid] = Account{domain, name, 0};
}

void FakeIdentity::failLookup(const std::wstring& sid, std::uint32_t error) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_accounts[sid].lookupError = error;
}

void FakeIdentity::failSidToString(const std::wstring& sid) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_sidToStringFails[sid] = true;
}

void FakeIdentity::setSession(std::uint32_t id, const Session& session) {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_sessions.count(id) == 0)
        m_sessionOrder.push_back(id);
    m_sessions[id] = session;
}

void FakeIdentity::removeSession(std::uint32_t id) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_sessions.erase(id);
    m_sessionOrder.erase(std::remove(m_sessionOrder.begin(), m_sessionOrder.end(), id),
                         m_sessionOrder.end());
}

void FakeIdentity::setProcess(std::uint32_t pid, std::uint32_t session) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_processes[pid] = session;
}

void FakeIdentity::failProcess(std::uint32_t pid, std::uint32_t error) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_processErrors[pid] = error;
}

void FakeIdentity::setProcessStart(std::uint32_t pid, std::int64_t ticks) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_processStarts[pid] = ticks;
}

void FakeIdentity::holdTokenQueries(std::uint32_t session) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_heldSession = session;
    m_holding = true;
}

void FakeIdentity::releaseTokenQueries() {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_holding = false;
    m_heldChanged.notify_all();
}

bool FakeIdentity::waitForHeldQueries(int n) {
    std::unique_lock<std::mutex> lock(m_mutex);
    return m_heldChanged.wait_for(lock, std::chrono::seconds(20), [&] { return m_held >= n; });
}

void FakeIdentity::failEnumeration(std::uint32_t error) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_enumerationError = error;
}

void FakeIdentity::growTokenInformation(int rounds) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_growthRounds = rounds;
}

void FakeIdentity::corruptTokenInformation(bool corrupt) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_corrupt = corrupt;
}

int FakeIdentity::openTokens() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return static_cast<int>(m_handles.size());
}

int FakeIdentity::badCloses() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_badCloses;
}

int FakeIdentity::tokenQueries() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_tokenQueries;
}

int FakeIdentity::tokenInformationCalls() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_tokenInformationCalls;
}

std::vector<std::uint32_t> FakeIdentity::queriedSessions() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_queriedSessions;
}

std::uint32_t FakeIdentity::ownerSessionId(platform::SocketOwner pid, std::int64_t createdBy,
                                           std::uint32_t& session) {
    std::lock_guard<std::mutex> lock(m_mutex);
    const auto error = m_processErrors.find(pid);
    if (error != m_processErrors.end())
        return error->second;
    const auto found = m_processes.find(pid);
    if (found == m_processes.end())
        return platform::kErrorInvalidParameter;
    const auto start = m_processStarts.find(pid);
    if (start != m_processStarts.end() && start->second > createdBy)
        return platform::kErrorInvalidParameter;
    session = found->second;
    return 0;
}

std::uint32_t FakeIdentity::enumerateSessions(std::vector<platform::SessionEntry>& out) {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_enumerationError != 0)
        return m_enumerationError;
    out.clear();
    for (std::uint32_t id : m_sessionOrder)
        out.push_back({id, m_sessions.at(id).state});
    return 0;
}

platform::Token FakeIdentity::newHandle(const Session& session) {
    const platform::Token handle = m_nextHandle++;
    m_handles[handle] = session;
    return handle;
}

std::uint32_t FakeIdentity::queryUserToken(std::uint32_t session, platform::Token& out) {
    std::unique_lock<std::mutex> lock(m_mutex);
    if (m_holding && session == m_heldSession) {
        ++m_held;
        m_heldChanged.notify_all();
        m_heldChanged.wait(lock, [this] { return !m_holding; });
        --m_held;
    }
    ++m_tokenQueries;
    m_queriedSessions.push_back(session);
    out = platform::kInvalidToken;
    const auto found = m_sessions.find(session);
    if (found == m_sessions.end())
        return platform::kErrorNoToken;
    if (found->second.tokenError != 0)
        return found->second.tokenError;
    out = newHandle(found->second);
    return 0;
}

std::uint32_t FakeIdentity::duplicateToken(platform::Token token, platform::Token& out) {
    std::lock_guard<std::mutex> lock(m_mutex);
    out = platform::kInvalidToken;
    const auto handle = m_handles.find(token);
    if (handle == m_handles.end())
        return platform::kErrorInvalidHandle;
    if (handle->second.duplicateError != 0)
        return handle->second.duplicateError;
    out = newHandle(handle->second);
    return 0;
}

void FakeIdentity::closeToken(platform::Token token) {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_handles.erase(token) == 0)
        ++m_badCloses;
}

std::vector<std::uint8_t> FakeIdentity::serialise(const Session& session,
                                                  std::uint32_t infoClass) const {
    std::vector<std::uint8_t> out;
    if (m_corrupt) {
        putU32(out, 1000);  // claims far more than follows
        return out;
    }
    std::vector<std::wstring> sids;
    if (infoClass == platform::kTokenUser) {
        sids.push_back(session.userSid);
    } else {
        sids = session.groupSids;
    }
    putU32(out, static_cast<std::uint32_t>(sids.size()));
    for (const std::wstring& text : sids) {
        const platform::Sid sid = encodeSid(text);
        putU32(out, static_cast<std::uint32_t>(sid.size()));
        out.insert(out.end(), sid.begin(), sid.end());
    }
    out.resize(out.size() + m_growth, 0);
    return out;
}

std::uint32_t FakeIdentity::getTokenInformation(platform::Token token, std::uint32_t infoClass,
                                                std::uint8_t* buffer, std::uint32_t size,
                                                std::uint32_t& returned) {
    std::lock_guard<std::mutex> lock(m_mutex);
    ++m_tokenInformationCalls;
    returned = 0;
    const auto handle = m_handles.find(token);
    if (handle == m_handles.end())
        return platform::kErrorInvalidHandle;
    const Session& session = handle->second;
    const std::uint32_t error =
        infoClass == platform::kTokenUser ? session.userInfoError : session.groupsInfoError;
    if (error != 0)
        return error;
    if (m_growthRounds > 0) {
        --m_growthRounds;
        m_growth += 8;
    }
    const std::vector<std::uint8_t> data = serialise(session, infoClass);
    returned = static_cast<std::uint32_t>(data.size());
    if (buffer == nullptr || size < data.size())
        return platform::kErrorInsufficientBuffer;
    std::memcpy(buffer, data.data(), data.size());
    return 0;
}

bool FakeIdentity::tokenUserSid(const std::vector<std::uint8_t>& info, platform::Sid& out) {
    std::vector<platform::Sid> sids;
    if (!parseSids(info, sids) || sids.size() != 1)
        return false;
    out = sids.front();
    return true;
}

bool FakeIdentity::tokenGroupSids(const std::vector<std::uint8_t>& info,
                                  std::vector<platform::Sid>& out) {
    return parseSids(info, out);
}

std::uint32_t FakeIdentity::lookupAccountSid(const platform::Sid& sid, std::uint32_t capacity,
                                             std::wstring& name, std::wstring& domain) {
    std::lock_guard<std::mutex> lock(m_mutex);
    std::wstring text;
    if (!decodeSid(sid, text))
        return platform::kErrorInvalidParameter;
    const auto found = m_accounts.find(text);
    if (found == m_accounts.end())
        return platform::kErrorNoneMapped;
    if (found->second.lookupError != 0)
        return found->second.lookupError;
    if (found->second.name.size() + 1 > capacity || found->second.domain.size() + 1 > capacity)
        return platform::kErrorInsufficientBuffer;
    name = found->second.name;
    domain = found->second.domain;
    return 0;
}

bool FakeIdentity::sidToString(const platform::Sid& sid, std::wstring& out) {
    std::lock_guard<std::mutex> lock(m_mutex);
    std::wstring text;
    if (!decodeSid(sid, text) || m_sidToStringFails.count(text) != 0)
        return false;
    out = text;
    return true;
}
