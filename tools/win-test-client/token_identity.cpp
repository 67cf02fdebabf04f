#include "tools/win-test-client/token_identity.h"

#include <windows.h>
// After windows.h, which it builds on.
#include <sddl.h>

#include <cstdint>

namespace wintestclient {
namespace {

constexpr DWORD kNameCapacity = 256;

std::string utf8(const std::wstring& text) {
    if (text.empty())
        return std::string();
    const int size = static_cast<int>(text.size());
    const int needed =
        ::WideCharToMultiByte(CP_UTF8, 0, text.data(), size, nullptr, 0, nullptr, nullptr);
    if (needed <= 0)
        return std::string();
    std::string out(static_cast<std::size_t>(needed), '\0');
    ::WideCharToMultiByte(CP_UTF8, 0, text.data(), size, &out[0], needed, nullptr, nullptr);
    return out;
}

std::string sidText(PSID sid) {
    LPWSTR text = nullptr;
    if (!::ConvertSidToStringSidW(sid, &text))
        return std::string();
    const std::string out = utf8(text);
    ::LocalFree(text);
    return out;
}

// "DOMAIN\name", the bare name without a domain, empty when unknown.
std::string accountText(PSID sid) {
    wchar_t name[kNameCapacity] = {};
    wchar_t domain[kNameCapacity] = {};
    DWORD nameLength = kNameCapacity;
    DWORD domainLength = kNameCapacity;
    SID_NAME_USE use;
    if (!::LookupAccountSidW(nullptr, sid, name, &nameLength, domain, &domainLength, &use))
        return std::string();
    const std::string d = utf8(domain);
    return d.empty() ? utf8(name) : d + "\\" + utf8(name);
}

bool tokenInformation(HANDLE token, TOKEN_INFORMATION_CLASS infoClass,
                      std::vector<std::uint8_t>& buffer) {
    DWORD needed = 0;
    ::GetTokenInformation(token, infoClass, nullptr, 0, &needed);
    if (needed == 0)
        return false;
    buffer.assign(needed, 0);
    return ::GetTokenInformation(token, infoClass, buffer.data(), needed, &needed) != FALSE;
}

std::string lastErrorText(const char* what) {
    return std::string(what) + " failed, error " + std::to_string(::GetLastError());
}

}  // namespace

bool readOwnToken(TokenIdentity& out, std::string& error) {
    out = TokenIdentity();
    HANDLE token = nullptr;
    if (!::OpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY, &token)) {
        error = lastErrorText("OpenProcessToken()");
        return false;
    }
    std::vector<std::uint8_t> user;
    std::vector<std::uint8_t> groups;
    const bool read =
        tokenInformation(token, TokenUser, user) && tokenInformation(token, TokenGroups, groups);
    if (!read)
        error = lastErrorText("GetTokenInformation()");
    ::CloseHandle(token);
    if (!read)
        return false;

    const auto* tokenUser = reinterpret_cast<const TOKEN_USER*>(user.data());
    out.user = accountText(tokenUser->User.Sid);
    out.userSid = sidText(tokenUser->User.Sid);
    const auto* tokenGroups = reinterpret_cast<const TOKEN_GROUPS*>(groups.data());
    for (DWORD i = 0; i < tokenGroups->GroupCount; ++i) {
        const PSID sid = tokenGroups->Groups[i].Sid;
        out.groups.push_back(TokenGroup{sidText(sid), accountText(sid)});
    }
    return true;
}

std::string formatIdentity(const TokenIdentity& identity) {
    std::string out = "user: " + identity.user + "\n";
    out += "user-sid: " + identity.userSid + "\n";
    out += "groups: " + std::to_string(identity.groups.size()) + "\n";
    for (const TokenGroup& group : identity.groups)
        out += "group: " + group.sid + " " + group.name + "\n";
    return out;
}

}  // namespace wintestclient
