// Sessions, user tokens, SIDs and account names.
#include <windows.h>
// After windows.h, which they build on.
#include <sddl.h>
#include <wtsapi32.h>

#include <cstddef>
#include <cstring>

#include "platform/platform.h"
#include "platform/win32/win32_util.h"

namespace platform {
namespace {

HANDLE toHandle(Token token) {
    return reinterpret_cast<HANDLE>(token);
}

std::uint32_t result(bool ok) {
    return ok ? 0 : ::GetLastError();
}

// Length of a well-formed binary SID that starts at `data` and may use at
// most `available` bytes; 0 when it is malformed or does not fit.
std::size_t sidLength(const std::uint8_t* data, std::size_t available) {
    constexpr std::size_t kHeader = 8;  // revision, count, 6-byte authority
    if (available < kHeader || data[0] != SID_REVISION)
        return 0;
    const std::size_t count = data[1];
    if (count > SID_MAX_SUB_AUTHORITIES)
        return 0;
    const std::size_t length = kHeader + 4 * count;
    return length <= available ? length : 0;
}

bool wellFormed(const Sid& sid) {
    return !sid.empty() && sidLength(sid.data(), sid.size()) == sid.size();
}

// Copies the SID that a pointer inside a token information buffer refers
// to, after checking that it lies wholly inside that buffer.
bool copySid(const std::vector<std::uint8_t>& info, PSID pointer, Sid& out) {
    // Compared as addresses: the pointer may lie anywhere.
    const auto begin = reinterpret_cast<std::uintptr_t>(info.data());
    const auto at = reinterpret_cast<std::uintptr_t>(pointer);
    if (at < begin || at - begin >= info.size())
        return false;
    const std::uint8_t* sid = info.data() + (at - begin);
    const std::size_t length = sidLength(sid, info.size() - (at - begin));
    if (length == 0)
        return false;
    out.assign(sid, sid + length);
    return true;
}

// The session list WTSEnumerateSessionsW allocates.
struct WtsMemoryTraits {
    using Handle = WTS_SESSION_INFOW*;
    static Handle invalid() { return nullptr; }
    static void release(Handle memory) { ::WTSFreeMemory(memory); }
};

std::wstring untilNul(const std::vector<wchar_t>& buffer) {
    std::wstring text(buffer.data(), buffer.size());
    const std::size_t nul = text.find(L'\0');
    if (nul != std::wstring::npos)
        text.resize(nul);
    return text;
}

class Win32Identity : public Identity {
public:
    std::uint32_t ownerSessionId(SocketOwner pid, std::int64_t createdBy,
                                 std::uint32_t& session) override {
        // Process id 0 (the idle process) owns the rows of closed sockets.
        if (pid == 0)
            return ERROR_INVALID_PARAMETER;
        // While the handle is open the id names this process and no other.
        const win32::KernelHandle process(
            ::OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid));
        if (!process.valid())
            return ::GetLastError();
        FILETIME created;
        FILETIME exited;
        FILETIME kernel;
        FILETIME user;
        if (!::GetProcessTimes(process.get(), &created, &exited, &kernel, &user))
            return ::GetLastError();
        if (win32::ticksFromFileTime(created.dwLowDateTime, created.dwHighDateTime) > createdBy)
            return ERROR_INVALID_PARAMETER;  // a newer process that took a freed id
        DWORD id = session;
        const std::uint32_t error = result(::ProcessIdToSessionId(pid, &id) != FALSE);
        if (error == 0)
            session = id;
        return error;
    }

    std::uint32_t enumerateSessions(std::vector<SessionEntry>& out) override {
        out.clear();
        UniqueHandle<WtsMemoryTraits> sessions;
        DWORD count = 0;
        if (!::WTSEnumerateSessionsW(WTS_CURRENT_SERVER_HANDLE, 0, 1, sessions.out(), &count)) {
            return ::GetLastError();
        }
        for (DWORD i = 0; i < count; ++i) {
            SessionEntry entry;
            entry.sessionId = sessions.get()[i].SessionId;
            entry.state = static_cast<std::uint32_t>(sessions.get()[i].State);
            out.push_back(entry);
        }
        return 0;
    }

    std::uint32_t queryUserToken(std::uint32_t session, Token& out) override {
        HANDLE token = nullptr;
        const std::uint32_t error = result(::WTSQueryUserToken(session, &token) != FALSE);
        out = error == 0 ? reinterpret_cast<Token>(token) : kInvalidToken;
        return error;
    }

    std::uint32_t duplicateToken(Token token, Token& out) override {
        HANDLE duplicate = nullptr;
        const std::uint32_t error =
            result(::DuplicateToken(toHandle(token), SecurityDelegation, &duplicate) != FALSE);
        out = error == 0 ? reinterpret_cast<Token>(duplicate) : kInvalidToken;
        return error;
    }

    void closeToken(Token token) override {
        if (token != kInvalidToken)
            ::CloseHandle(toHandle(token));
    }

    std::uint32_t getTokenInformation(Token token, std::uint32_t infoClass, std::uint8_t* buffer,
                                      std::uint32_t size, std::uint32_t& returned) override {
        DWORD length = 0;
        const std::uint32_t error = result(
            ::GetTokenInformation(toHandle(token), static_cast<TOKEN_INFORMATION_CLASS>(infoClass),
                                  buffer, buffer ? size : 0, &length) != FALSE);
        returned = length;
        return error;
    }

    bool tokenUserSid(const std::vector<std::uint8_t>& info, Sid& out) override {
        if (info.size() < sizeof(TOKEN_USER))
            return false;
        TOKEN_USER user;
        std::memcpy(&user, info.data(), sizeof(user));
        return copySid(info, user.User.Sid, out);
    }

    bool tokenGroupSids(const std::vector<std::uint8_t>& info, std::vector<Sid>& out) override {
        constexpr std::size_t kArray = offsetof(TOKEN_GROUPS, Groups);
        if (info.size() < kArray)
            return false;
        DWORD count = 0;
        std::memcpy(&count, info.data(), sizeof(count));
        if (count > (info.size() - kArray) / sizeof(SID_AND_ATTRIBUTES))
            return false;
        std::vector<Sid> sids(count);
        for (DWORD i = 0; i < count; ++i) {
            SID_AND_ATTRIBUTES entry;
            std::memcpy(&entry, info.data() + kArray + i * sizeof(entry), sizeof(entry));
            if (!copySid(info, entry.Sid, sids[i]))
                return false;
        }
        out = std::move(sids);
        return true;
    }

    std::uint32_t lookupAccountSid(const Sid& sid, std::uint32_t capacity, std::wstring& name,
                                   std::wstring& domain) override {
        if (!wellFormed(sid))
            return ERROR_INVALID_SID;
        // Zero-filled, and never empty, so that data() is a real buffer.
        std::vector<wchar_t> nameBuffer(capacity + 1, L'\0');
        std::vector<wchar_t> domainBuffer(capacity + 1, L'\0');
        DWORD nameLength = capacity;
        DWORD domainLength = capacity;
        SID_NAME_USE use;
        const std::uint32_t error = result(
            ::LookupAccountSidW(nullptr, const_cast<std::uint8_t*>(sid.data()), nameBuffer.data(),
                                &nameLength, domainBuffer.data(), &domainLength, &use) != FALSE);
        if (error != 0)
            return error;
        name = untilNul(nameBuffer);
        domain = untilNul(domainBuffer);
        return 0;
    }

    bool sidToString(const Sid& sid, std::wstring& out) override {
        if (!wellFormed(sid))
            return false;
        win32::LocalMemory<LPWSTR> text;
        if (!::ConvertSidToStringSidW(const_cast<std::uint8_t*>(sid.data()), text.out()))
            return false;
        out = text.get();
        return true;
    }
};

}  // namespace

Identity& nativeIdentity() {
    static Win32Identity g_instance;
    return g_instance;
}

}  // namespace platform
