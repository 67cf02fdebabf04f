// Sessions, tokens, SIDs and account names on Linux, against this machine's
// own accounts (the tests run as root or as a normal user).
#ifdef __linux__

#include <grp.h>
#include <pwd.h>
#include <unistd.h>
#include <utmp.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "gtest/gtest.h"
#include "platform/errors.h"
#include "platform/posix/login_sessions.h"
#include "platform/posix/machine_sid.h"
#include "platform/posix/nss_accounts.h"
#include "platform/posix/posix_identity.h"
#include "platform/posix/token_info.h"
#include "tests/platform/fake_logind.h"

namespace {

namespace fs = std::filesystem;
using platform::Sid;
using platform::Token;
using namespace platform::posix;

std::wstring wide(const std::string& ascii) {
    return std::wstring(ascii.begin(), ascii.end());
}

std::wstring sidString(platform::Identity& id, const Sid& sid) {
    std::wstring text;
    EXPECT_TRUE(id.sidToString(sid, text));
    return text;
}

std::wstring expectedSidText(std::uint32_t rid) {
    const MachineDomain& d = machineDomain();
    return wide("S-1-5-21-" + std::to_string(d.a) + "-" + std::to_string(d.b) + "-" +
                std::to_string(d.c) + "-" + std::to_string(rid));
}

// Token information through the size query, as the core reads it.
std::vector<std::uint8_t> tokenInformation(platform::Identity& id, Token token,
                                           std::uint32_t infoClass) {
    std::uint32_t returned = 0;
    EXPECT_EQ(platform::kErrorInsufficientBuffer,
              id.getTokenInformation(token, infoClass, nullptr, 0, returned));
    std::vector<std::uint8_t> buffer(returned);
    if (returned > 0) {
        std::uint32_t small = 0;
        EXPECT_EQ(platform::kErrorInsufficientBuffer,
                  id.getTokenInformation(token, infoClass, buffer.data(), returned - 1, small));
        EXPECT_EQ(returned, small);
    }
    std::uint32_t got = 0;
    EXPECT_EQ(platform::kErrorSuccess,
              id.getTokenInformation(token, infoClass, buffer.data(),
                                     static_cast<std::uint32_t>(buffer.size()), got));
    EXPECT_EQ(returned, got);
    return buffer;
}

// A uid and a gid that NSS does not know, small enough to have a SID.
std::uint32_t unknownUid() {
    for (std::uint32_t uid = 2000000000u; uid < 2000000100u; ++uid) {
        if (::getpwuid(uid) == nullptr)
            return uid;
    }
    return 0;
}
std::uint32_t unknownGid() {
    for (std::uint32_t gid = 2000000000u; gid < 2000000100u; ++gid) {
        if (::getgrgid(gid) == nullptr)
            return gid;
    }
    return 0;
}

std::string groupName(std::uint32_t gid) {
    const group* g = ::getgrgid(gid);
    return g != nullptr ? g->gr_name : "";
}

class TempDir {
public:
    TempDir() {
        std::string pattern = (fs::temp_directory_path() / "vc-identity-XXXXXX").string();
        m_path = ::mkdtemp(&pattern[0]) != nullptr ? pattern : std::string();
    }
    ~TempDir() {
        std::error_code ignored;
        if (!m_path.empty())
            fs::remove_all(m_path, ignored);
    }
    const std::string& path() const { return m_path; }

private:
    std::string m_path;
};

TEST(PosixIdentityTest, TheSessionOfAnOwnerIsItsUid) {
    platform::PosixIdentity identity;
    for (std::uint32_t uid : {0u, 1000u, 0xFFFFFFFEu}) {
        std::uint32_t session = 7;
        ASSERT_EQ(platform::kErrorSuccess, identity.ownerSessionId(uid, 0, session));
        EXPECT_EQ(uid, session);
    }
}

TEST(PosixIdentityTest, UserTokenCarriesTheUserAndTheirGroups) {
    platform::PosixIdentity identity;
    const std::uint32_t uid = static_cast<std::uint32_t>(::getuid());
    const passwd* pw = ::getpwuid(uid);
    ASSERT_NE(nullptr, pw) << "the test user needs an NSS entry";
    const std::string userName = pw->pw_name;
    const std::uint32_t primaryGid = pw->pw_gid;

    Token token = platform::kInvalidToken;
    ASSERT_EQ(platform::kErrorSuccess, identity.queryUserToken(uid, token));
    ASSERT_NE(platform::kInvalidToken, token);

    Sid user;
    ASSERT_TRUE(
        identity.tokenUserSid(tokenInformation(identity, token, platform::kTokenUser), user));
    EXPECT_EQ(expectedSidText(1000 + 2 * uid), sidString(identity, user));

    std::wstring name, domain;
    ASSERT_EQ(platform::kErrorSuccess, identity.lookupAccountSid(user, 256, name, domain));
    const AccountName split = splitAccountName(userName, localDomainName());
    EXPECT_EQ(wide(split.name), name);
    EXPECT_EQ(wide(split.domain), domain);

    std::vector<Sid> groups;
    ASSERT_TRUE(
        identity.tokenGroupSids(tokenInformation(identity, token, platform::kTokenGroups), groups));
    const std::vector<std::uint32_t> gids = groupsOfUser(userName, primaryGid);
    ASSERT_EQ(gids.size(), groups.size());
    ASSERT_FALSE(groups.empty());
    EXPECT_EQ(expectedSidText(1001 + 2 * primaryGid), sidString(identity, groups[0]))
        << "primary group first";
    std::vector<std::wstring> texts;
    for (std::size_t i = 0; i < groups.size(); ++i) {
        texts.push_back(sidString(identity, groups[i]));
        EXPECT_EQ(expectedSidText(1001 + 2 * gids[i]), texts.back());
        if (groupName(gids[i]).empty())
            continue;
        ASSERT_EQ(platform::kErrorSuccess, identity.lookupAccountSid(groups[i], 256, name, domain));
        EXPECT_EQ(wide(splitAccountName(groupName(gids[i]), localDomainName()).name), name);
    }
    std::sort(texts.begin(), texts.end());
    EXPECT_EQ(texts.end(), std::adjacent_find(texts.begin(), texts.end())) << "no duplicates";
    identity.closeToken(token);
}

TEST(PosixIdentityTest, DuplicatesOutliveTheOriginalAndClosedTokensAreInvalid) {
    platform::PosixIdentity identity;
    Token token = platform::kInvalidToken;
    ASSERT_EQ(platform::kErrorSuccess,
              identity.queryUserToken(static_cast<std::uint32_t>(::getuid()), token));
    Token copy = platform::kInvalidToken;
    ASSERT_EQ(platform::kErrorSuccess, identity.duplicateToken(token, copy));
    EXPECT_NE(token, copy);
    const auto before = tokenInformation(identity, token, platform::kTokenGroups);
    identity.closeToken(token);

    EXPECT_EQ(before, tokenInformation(identity, copy, platform::kTokenGroups));
    std::uint32_t returned = 0;
    EXPECT_EQ(platform::kErrorInvalidHandle,
              identity.getTokenInformation(token, platform::kTokenUser, nullptr, 0, returned));
    Token again = platform::kInvalidToken;
    EXPECT_EQ(platform::kErrorInvalidHandle, identity.duplicateToken(token, again));
    EXPECT_EQ(platform::kInvalidToken, again);
    EXPECT_EQ(platform::kErrorInvalidParameter,
              identity.getTokenInformation(copy, 3, nullptr, 0, returned));
    identity.closeToken(copy);
    EXPECT_EQ(platform::kErrorInvalidHandle,
              identity.getTokenInformation(copy, platform::kTokenUser, nullptr, 0, returned));
}

TEST(PosixIdentityTest, UidWithoutAccountHasNoToken) {
    platform::PosixIdentity identity;
    const std::uint32_t uid = unknownUid();
    ASSERT_NE(0u, uid);
    Token token = 42;
    EXPECT_EQ(platform::kErrorNoToken, identity.queryUserToken(uid, token));
    EXPECT_EQ(platform::kInvalidToken, token);
}

TEST(PosixIdentityTest, LookupRefusesSidsItCannotMapBack) {
    platform::PosixIdentity identity;
    const MachineDomain& d = machineDomain();
    std::wstring name = L"stale", domain = L"stale";
    Sid sid;

    ASSERT_TRUE(accountSid(d, AccountKind::User, unknownUid(), sid));
    EXPECT_EQ(platform::kErrorNoneMapped, identity.lookupAccountSid(sid, 256, name, domain));
    EXPECT_TRUE(name.empty() && domain.empty());
    ASSERT_TRUE(accountSid(d, AccountKind::Group, unknownGid(), sid));
    EXPECT_EQ(platform::kErrorNoneMapped, identity.lookupAccountSid(sid, 256, name, domain));

    // Another machine's domain, a well-known SID, a RID below the bases,
    // and bytes that are no SID at all.
    ASSERT_TRUE(accountSid(MachineDomain{d.a + 1, d.b, d.c}, AccountKind::User, 0, sid));
    EXPECT_EQ(platform::kErrorNoneMapped, identity.lookupAccountSid(sid, 256, name, domain));
    EXPECT_EQ(
        platform::kErrorNoneMapped,
        identity.lookupAccountSid(Sid{1, 1, 0, 0, 0, 0, 0, 1, 0, 0, 0, 0}, 256, name, domain));
    ASSERT_TRUE(accountSid(d, AccountKind::User, 0, sid));
    sid[sid.size() - 4] = 0xE7;  // RID 999
    sid[sid.size() - 3] = 0x03;
    EXPECT_EQ(platform::kErrorNoneMapped, identity.lookupAccountSid(sid, 256, name, domain));
    EXPECT_EQ(platform::kErrorNoneMapped,
              identity.lookupAccountSid(Sid{1, 5, 0}, 256, name, domain));
}

TEST(PosixIdentityTest, NamesMustFitTheCapacityWithTheirTerminator) {
    platform::PosixIdentity identity;
    Sid root;
    ASSERT_TRUE(accountSid(machineDomain(), AccountKind::User, 0, root));
    std::wstring name, domain;
    ASSERT_EQ(platform::kErrorSuccess, identity.lookupAccountSid(root, 256, name, domain));
    ASSERT_EQ(L"root", name);
    const std::uint32_t longest = static_cast<std::uint32_t>(std::max(name.size(), domain.size()));
    EXPECT_EQ(platform::kErrorSuccess, identity.lookupAccountSid(root, longest + 1, name, domain));
    EXPECT_EQ(platform::kErrorInsufficientBuffer,
              identity.lookupAccountSid(root, longest, name, domain));
    EXPECT_TRUE(name.empty());
}

TEST(PosixIdentityTest, EnumeratedSessionsAreActiveAscendingAndDistinct) {
    platform::PosixIdentity identity;
    std::vector<platform::SessionEntry> sessions{{99, 4}};
    ASSERT_EQ(platform::kErrorSuccess, identity.enumerateSessions(sessions));
    for (std::size_t i = 0; i < sessions.size(); ++i) {
        EXPECT_EQ(platform::kWtsActive, sessions[i].state);
        if (i > 0) {
            EXPECT_LT(sessions[i - 1].sessionId, sessions[i].sessionId);
        }
    }
}

TEST(LoginSessionsTest, LogindWinsOverUtmpWhileItRuns) {
    TempDir dir;
    ASSERT_FALSE(dir.path().empty());
    const std::string utmp = dir.path() + "/utmp";
    {
        std::ofstream out(utmp, std::ios::binary);
        struct utmp record;
        std::memset(&record, 0, sizeof record);
        record.ut_type = USER_PROCESS;
        std::strncpy(record.ut_user, "root", sizeof record.ut_user);
        out.write(reinterpret_cast<const char*>(&record), sizeof record);
    }
    const struct {
        bool running;
        bool readable;
        std::vector<std::uint32_t> expected;
    } cases[] = {
        {true, true, {1000, 65534}},
        {true, false, {}},  // logind's answer or none: utmp may be stale
        {false, true, {0}},
    };
    for (const auto& c : cases) {
        FakeLogind logind;
        logind.setRunning(c.running);
        logind.set({65534, 1000, 65534}, c.readable);
        EXPECT_EQ(c.expected, loginSessionUids(logind, utmp)) << c.running << c.readable;
    }
}

TEST(LoginSessionsTest, TheMachinesLogindAnswersWhenItRuns) {
    Logind& logind = systemLogind();
    if (!logind.running())
        GTEST_SKIP() << "logind does not run here";
    std::vector<std::uint32_t> uids;
    EXPECT_TRUE(logind.sessionUids(uids));
    std::uint32_t error = 0;
    const auto monitor = logind.openMonitor(error);
    ASSERT_NE(nullptr, monitor) << error;
    EXPECT_GE(monitor->fd(), 0);
}

TEST(LoginSessionsTest, UtmpUserProcessesGiveTheirUidsOnce) {
    TempDir dir;
    ASSERT_FALSE(dir.path().empty());
    const std::string utmp = dir.path() + "/utmp";
    const passwd* pw = ::getpwuid(::getuid());
    ASSERT_NE(nullptr, pw);
    {
        std::ofstream out(utmp, std::ios::binary);
        auto add = [&out](short type, const std::string& user) {
            struct utmp record;
            std::memset(&record, 0, sizeof record);
            record.ut_type = type;
            std::memcpy(record.ut_user, user.data(), std::min(user.size(), sizeof record.ut_user));
            out.write(reinterpret_cast<const char*>(&record), sizeof record);
        };
        add(USER_PROCESS, "root");
        add(USER_PROCESS, pw->pw_name);
        add(USER_PROCESS, "root");
        add(DEAD_PROCESS, "nobody");
        add(USER_PROCESS, "no-such-user-vc");
        add(USER_PROCESS, std::string(sizeof(utmp::ut_user), 'x'));  // fills the field
        out.write("torn", 4);                                        // partial record
    }
    std::vector<std::uint32_t> expected{0, static_cast<std::uint32_t>(::getuid())};
    std::sort(expected.begin(), expected.end());
    expected.erase(std::unique(expected.begin(), expected.end()), expected.end());
    FakeLogind noLogind;
    noLogind.setRunning(false);
    EXPECT_EQ(expected, loginSessionUids(noLogind, utmp));
    EXPECT_TRUE(loginSessionUids(noLogind, dir.path() + "/no-utmp").empty());
}

TEST(AccountNamesTest, DirectoryNamesAreSplitAndLocalOnesGetTheHostDomain) {
    struct Case {
        const char* nss;
        const char* domain;
        const char* name;
    } cases[] = {
        {"alice@corp.example", "corp.example", "alice"},
        {"a@b@corp", "corp", "a@b"},
        {"CORP\\bob", "CORP", "bob"},
        {"CORP\\b@x", "CORP", "b@x"},
        {"carol", "HOST", "carol"},
        {"@corp", "HOST", "@corp"},
        {"dave@", "HOST", "dave@"},
        {"\\eve", "HOST", "\\eve"},
        {"CORP\\", "HOST", "CORP\\"},
    };
    for (const Case& c : cases) {
        const AccountName got = splitAccountName(c.nss, "HOST");
        EXPECT_EQ(c.domain, got.domain) << c.nss;
        EXPECT_EQ(c.name, got.name) << c.nss;
    }
    EXPECT_EQ("WORKSTATION-7", localDomainFromHostName("workstation-7.corp.example"));
    EXPECT_EQ("PC", localDomainFromHostName("pc"));
}

std::string hexOf(const MachineId& id) {
    static const char kDigits[] = "0123456789abcdef";
    std::string out;
    for (const std::uint8_t b : id) {
        out += kDigits[b >> 4];
        out += kDigits[b & 15];
    }
    return out;
}

void expectDomain(const MachineDomain& expected, const MachineDomain& actual,
                  const std::string& what) {
    EXPECT_EQ(expected.a, actual.a) << what;
    EXPECT_EQ(expected.b, actual.b) << what;
    EXPECT_EQ(expected.c, actual.c) << what;
}

MachineId idFromHex(const std::string& hex) {
    MachineId id{};
    for (std::size_t i = 0; i < id.size(); ++i)
        id[i] = static_cast<std::uint8_t>(std::stoi(hex.substr(2 * i, 2), nullptr, 16));
    return id;
}

// The first line a shell command prints, and whether it succeeded.
bool commandOutput(const std::string& command, std::string& out) {
    FILE* pipe = ::popen(command.c_str(), "r");
    if (pipe == nullptr)
        return false;
    char line[256] = {};
    out = std::fgets(line, sizeof line, pipe) != nullptr ? line : "";
    out.erase(out.find_last_not_of("\r\n") + 1);
    return ::pclose(pipe) == 0;
}

TEST(MachineSidTest, TheDomainComesFromTheAppSpecificIdOnly) {
    // The first 12 bytes, as three little-endian numbers.
    const struct {
        const char* appSpecific;
        MachineDomain domain;
    } cases[] = {
        {"e9eaa58693fa44908eeaf59e9bebffe0", {2259020521u, 2420439699u, 2666916494u}},
        {"b356d63d3eaa43d0895115f7a315ee41", {1037457075u, 3494095422u, 4145369481u}},
        // the example in docs/linux.md
        {"6a89f923b10d4e9dbf8e681d421d1041", {603556202u, 2639138225u, 493391551u}},
    };
    for (const auto& c : cases) {
        const MachineId id = idFromHex(c.appSpecific);
        expectDomain(c.domain, machineDomainFromId(id), c.appSpecific);
        expectDomain(c.domain, chooseMachineDomain(&id, "any-host"), c.appSpecific);
    }
}

TEST(MachineSidTest, AgreesWithSystemdId128OnThisMachine) {
    std::string found;
    if (!commandOutput("command -v systemd-id128", found))
        GTEST_SKIP() << "systemd-id128 is not installed";
    const std::string app = hexOf(kApplicationId);
    EXPECT_EQ("3ae98ca83e9b4a4a8fb97af79f0f6fd8", app);
    std::string expected;
    MachineId id{};
    if (!commandOutput("systemd-id128 machine-id --app-specific=" + app + " 2>/dev/null",
                       expected)) {
        // No usable machine id: the host name decides.
        EXPECT_FALSE(appSpecificMachineId(id));
        char host[256] = {};
        ASSERT_EQ(0, ::gethostname(host, sizeof host - 1));
        expectDomain(machineDomainFromHostName(host), machineDomain(), "this machine");
        return;
    }
    ASSERT_TRUE(appSpecificMachineId(id));
    EXPECT_EQ(expected, hexOf(id));
    expectDomain(machineDomainFromId(idFromHex(expected)), machineDomain(), "this machine");
}

TEST(MachineSidTest, WithoutMachineIdTheHostNameDecidesStably) {
    // FNV-1a of the name gives 377fd8e28ecee883786a503d4f24c6b6.
    const MachineDomain hostA{3805839159u, 2213072526u, 1028680312u};
    expectDomain(hostA, chooseMachineDomain(nullptr, "host-a"), "no machine id");
    expectDomain(hostA, machineDomainFromHostName("host-a"), "host name");
    const MachineDomain other = machineDomainFromHostName("host-b");
    EXPECT_FALSE(other.a == hostA.a && other.b == hostA.b && other.c == hostA.c);
}

TEST(MachineSidTest, AccountSidsMapBackToTheirAccounts) {
    const MachineDomain d{1, 2, 3};
    struct Case {
        AccountKind kind;
        std::uint32_t id;
        const char* text;
    } cases[] = {
        {AccountKind::User, 0, "S-1-5-21-1-2-3-1000"},
        {AccountKind::Group, 0, "S-1-5-21-1-2-3-1001"},
        {AccountKind::User, 1000, "S-1-5-21-1-2-3-3000"},
        {AccountKind::Group, 1000, "S-1-5-21-1-2-3-3001"},
        {AccountKind::User, 2147483147u, "S-1-5-21-1-2-3-4294967294"},
        {AccountKind::Group, 2147483147u, "S-1-5-21-1-2-3-4294967295"},
    };
    for (const Case& c : cases) {
        Sid sid;
        ASSERT_TRUE(accountSid(d, c.kind, c.id, sid)) << c.text;
        std::string text;
        ASSERT_TRUE(sidText(sid, text));
        EXPECT_EQ(c.text, text);
        AccountKind kind = c.kind == AccountKind::User ? AccountKind::Group : AccountKind::User;
        std::uint32_t id = 0;
        ASSERT_TRUE(accountFromSid(d, sid, kind, id)) << c.text;
        EXPECT_EQ(c.kind, kind) << c.text;
        EXPECT_EQ(c.id, id) << c.text;
        EXPECT_FALSE(accountFromSid(MachineDomain{1, 2, 4}, sid, kind, id)) << c.text;
    }
    // Ids whose RID would not fit 32 bits have no SID rather than a wrapped one.
    Sid sid;
    EXPECT_FALSE(accountSid(d, AccountKind::User, 2147483148u, sid));
    EXPECT_FALSE(accountSid(d, AccountKind::Group, 0xFFFFFFFFu, sid));
}

TEST(MachineSidTest, SidTextFollowsTheStandardForm) {
    std::string text;
    EXPECT_TRUE(sidText(Sid{1, 1, 0, 0, 0, 0, 0, 1, 0, 0, 0, 0}, text));
    EXPECT_EQ("S-1-1-0", text);
    EXPECT_TRUE(sidText(Sid{1, 0, 0, 0, 0, 0, 0, 5}, text));
    EXPECT_EQ("S-1-5", text);
    EXPECT_TRUE(sidText(Sid{1, 1, 0x12, 0x34, 0x56, 0x78, 0x9A, 0xBC, 7, 0, 0, 0}, text));
    EXPECT_EQ("S-1-0x123456789ABC-7", text);
    EXPECT_FALSE(sidText(Sid{}, text));
    EXPECT_FALSE(sidText(Sid{2, 0, 0, 0, 0, 0, 0, 5}, text));
    EXPECT_FALSE(sidText(Sid{1, 1, 0, 0, 0, 0, 0, 5}, text)) << "sub-authority missing";
    EXPECT_FALSE(sidText(Sid{1, 0, 0, 0, 0, 0, 0, 5, 9}, text)) << "trailing byte";
    Sid tooMany(8 + 4 * 16, 0);
    tooMany[0] = 1;
    tooMany[1] = 16;
    EXPECT_FALSE(sidText(tooMany, text));
}

TEST(TokenInfoTest, ParsesOnlyWhatWasWrittenForItsClass) {
    Sid a, b;
    ASSERT_TRUE(accountSid(MachineDomain{1, 2, 3}, AccountKind::Group, 5, a));
    ASSERT_TRUE(accountSid(MachineDomain{1, 2, 3}, AccountKind::Group, 6, b));
    const auto bytes = serialiseTokenSids(platform::kTokenGroups, {a, b});
    std::vector<Sid> sids;
    ASSERT_TRUE(parseTokenSids(bytes, platform::kTokenGroups, sids));
    EXPECT_EQ((std::vector<Sid>{a, b}), sids);
    EXPECT_FALSE(parseTokenSids(bytes, platform::kTokenUser, sids));

    // Every truncation fails cleanly and leaves the output alone.
    for (std::size_t length = 0; length < bytes.size(); ++length) {
        std::vector<Sid> out{a};
        const std::vector<std::uint8_t> cut(bytes.begin(), bytes.begin() + length);
        EXPECT_FALSE(parseTokenSids(cut, platform::kTokenGroups, out)) << length;
        EXPECT_EQ(1u, out.size());
    }
    // A huge claimed count or SID length, and a malformed SID inside.
    std::vector<std::uint8_t> hugeCount = bytes;
    hugeCount[4] = hugeCount[5] = hugeCount[6] = hugeCount[7] = 0xFF;
    EXPECT_FALSE(parseTokenSids(hugeCount, platform::kTokenGroups, sids));
    std::vector<std::uint8_t> hugeLength = bytes;
    hugeLength[11] = 0x7F;
    EXPECT_FALSE(parseTokenSids(hugeLength, platform::kTokenGroups, sids));
    std::vector<std::uint8_t> badSid = bytes;
    badSid[13] = 6;  // sub-authority count no longer matches the length
    EXPECT_FALSE(parseTokenSids(badSid, platform::kTokenGroups, sids));

    platform::PosixIdentity identity;
    Sid user;
    EXPECT_FALSE(identity.tokenUserSid(bytes, user)) << "a groups buffer is no user";
    EXPECT_FALSE(identity.tokenUserSid(serialiseTokenSids(platform::kTokenUser, {a, b}), user));
    EXPECT_TRUE(identity.tokenUserSid(serialiseTokenSids(platform::kTokenUser, {a}), user));
    EXPECT_EQ(a, user);
}

}  // namespace

#endif  // __linux__
