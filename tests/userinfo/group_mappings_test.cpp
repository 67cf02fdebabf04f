#include <gtest/gtest.h>

#include <filesystem>
#include <functional>

#include "tests/userinfo/session_fixture.h"
#include "userinfo/user_information.h"

using sessions::account;

namespace {

const std::string kRead = "UserInformation::readGroupMappingsFromDisk()";
const std::string kWrite = "UserInformation::writeGroupMappingsToDisk()";
const std::string kOpenReadFailed = kRead + ", failed to open group mappings file for reading";
const std::string kBadMapping = kRead + ", error reading group mappings";
const std::string kReadFailed =
    kRead + ", failed to read group mappings file, using the lines read so far";
const std::string kReadBackup =
    kRead + ", no group mappings file, reading the backup group mappings file instead";
const std::string kOpenWriteFailed =
    kWrite + ", failed to open new group mappings file for writing";
const std::string kWriteFailed = kWrite + ", error writing to group mappings file";

std::string fieldCount(int n) {
    return kRead + ", error in group mappings file, line contained " + std::to_string(n) +
           " csv strings, expected 3";
}
std::string readCount(int n) {
    return kRead + ", read " + std::to_string(n) + " group mappings from file";
}

std::wstring wide(const char16_t* text) {
    std::wstring out;
    for (; *text != 0; ++text)
        out.push_back(static_cast<wchar_t>(*text));
    return out;
}

class GroupMappingsTest : public ::testing::Test {
protected:
    // Constructs the object over a file holding `content`.
    std::unique_ptr<UserInformation> startWith(const std::string& content) {
        m_platform.files.writeFile("group_mappings.txt", content);
        return startFresh();
    }
    std::unique_ptr<UserInformation> startFresh() {
        auto info = std::make_unique<UserInformation>();
        m_startMessages = m_platform.messages();
        m_startTypes = m_platform.types();
        m_platform.log().clear();
        return info;
    }
    // Stores groups the way a fresh read does, which rewrites the file
    // when a mapping is new or changed.
    void store(UserInformation& info, const std::vector<AccountInfo>& groups) {
        UserInfo user;
        user.domain = L"CORP";
        user.name = L"alice";
        user.sid = L"S-1-5-21-1-1104";
        user.groups = groups;
        info.updateCache(1, user);
    }
    std::vector<std::string> messages() { return m_platform.messages(); }

    UserinfoPlatform m_platform;
    std::vector<std::string> m_startMessages;
    std::vector<std::uint16_t> m_startTypes;
};

TEST_F(GroupMappingsTest, ReadsCrLfAndBareLineFeedLinesAlike) {
    auto info = startWith(
        "CORP,Staff,S-1-5-21-1-1201\r\n"
        "BUILTIN,Users,S-1-5-32-545\n"
        "CORP,Admins,S-1-5-21-1-512,\r\n"  // a trailing comma adds no field
        "CORP,Sales,S-1-5-21-1-1202");     // no line end at all
    const std::map<std::wstring, AccountInfo> expected{
        {L"S-1-5-21-1-1201", account(L"CORP", L"Staff", L"S-1-5-21-1-1201")},
        {L"S-1-5-32-545", account(L"BUILTIN", L"Users", L"S-1-5-32-545")},
        {L"S-1-5-21-1-512", account(L"CORP", L"Admins", L"S-1-5-21-1-512")},
        {L"S-1-5-21-1-1202", account(L"CORP", L"Sales", L"S-1-5-21-1-1202")}};
    EXPECT_EQ(info->groupMappings(), expected);
    EXPECT_EQ(m_startMessages, std::vector<std::string>{readCount(4)});
    EXPECT_EQ(m_startTypes, std::vector<std::uint16_t>{kEventTypeInformation});
}

TEST_F(GroupMappingsTest, BadLinesAreReportedAndSkipped) {
    auto info = startWith(
        "a,b,c,d\n"
        "\n"
        "CORP,,S-1-5-21-1-7\n"
        ",Staff,S-1-5-21-1-8\r\n"
        "CORP,Sales, Inc.,S-1-5-21-1-9\n"  // a comma in a name cannot be stored
        "CORP,Staff\n"
        "CORP,Good,S-1-5-21-1-10\n"
        ",,,\n");
    EXPECT_EQ(m_startMessages,
              (std::vector<std::string>{fieldCount(4), fieldCount(0), kBadMapping, kBadMapping,
                                        fieldCount(4), fieldCount(2), kBadMapping, readCount(1)}));
    EXPECT_EQ(info->groupMappings().size(), 1u);
    EXPECT_EQ(info->groupMappings().count(L"S-1-5-21-1-10"), 1u);
}

TEST_F(GroupMappingsTest, LaterLineForTheSameSidWinsAndCountsOnce) {
    auto info = startWith("CORP,Old,S-1-5-21-1-5\nCORP,New,S-1-5-21-1-5\n");
    EXPECT_EQ(info->groupMappings().at(L"S-1-5-21-1-5").name, L"New");
    EXPECT_EQ(m_startMessages, std::vector<std::string>{readCount(1)});
}

TEST_F(GroupMappingsTest, ByteOrderMarkBecomesPartOfTheFirstDomain) {
    auto info = startWith(
        "\xEF\xBB\xBF"
        "CORP,Staff,S-1-5-21-1-1201\n");
    EXPECT_EQ(info->groupMappings().at(L"S-1-5-21-1-1201").domain, wide(u"\uFEFFCORP"));
}

TEST_F(GroupMappingsTest, BinaryJunkNeverStopsTheRead) {
    std::string junk;
    std::uint32_t seed = 12345;
    for (int i = 0; i < 64 * 1024; ++i) {
        seed = seed * 1664525u + 1013904223u;
        junk.push_back(static_cast<char>(seed >> 24));
    }
    junk += "\nCORP,Staff,S-1-5-21-1-1201\n";
    junk += std::string("\0CORP,Staff,S-1-5-21-1-1\n", 26);  // converts to an empty domain
    auto info = startWith(junk);
    EXPECT_EQ(info->groupMappings().count(L"S-1-5-21-1-1201"), 1u);
    EXPECT_EQ(info->groupMappings().count(L"S-1-5-21-1-1"), 0u);
    for (const auto& entry : info->groupMappings()) {
        EXPECT_FALSE(entry.second.domain.empty() || entry.second.name.empty() ||
                     entry.first.empty());
        EXPECT_EQ(entry.first, entry.second.sid);
    }
    EXPECT_EQ(m_startMessages.back().rfind(kRead + ", read ", 0), 0u);
}

TEST_F(GroupMappingsTest, OverlongLinesAreCountedNotKept) {
    const std::string huge(256 * 1024, 'x');
    auto info = startWith(huge + "\n" +                           // one field
                          "CORP," + huge + ",S-1-5-21-1-3\r\n" +  // three, but no real name
                          huge + ",b,c,\n" +                      // trailing comma: three
                          huge + ",b,c,d\n" +                     // four
                          "CORP,Staff,S-1-5-21-1-1201\n");
    EXPECT_EQ(m_startMessages, (std::vector<std::string>{fieldCount(1), kBadMapping, kBadMapping,
                                                         fieldCount(4), readCount(1)}));
}

TEST_F(GroupMappingsTest, ReadReplacesEverythingAndAFailedOpenChangesNothing) {
    auto info = startWith("CORP,Staff,S-1-5-21-1-1201\n");
    m_platform.files.writeFile("group_mappings.txt", "CORP,Sales,S-1-5-21-1-1202\n");
    info->readGroupMappingsFromDisk();
    ASSERT_EQ(info->groupMappings().size(), 1u);
    EXPECT_EQ(info->groupMappings().count(L"S-1-5-21-1-1202"), 1u);

    m_platform.log().clear();
    m_platform.files.m_failOpenRead = true;
    info->readGroupMappingsFromDisk();
    EXPECT_EQ(messages(), std::vector<std::string>{kOpenReadFailed});
    EXPECT_EQ(info->groupMappings().count(L"S-1-5-21-1-1202"), 1u);
}

TEST_F(GroupMappingsTest, WritesSortedUtf8LinesThatReadBackTheSame) {
    auto info = startFresh();
    const std::wstring name = wide(u"Gr\u00FCn \U0001F600");
    store(
        *info,
        {account(L"BUILTIN", L"Users", L"S-1-5-32-545"), account(L"CORP", name, L"S-1-5-21-1-513"),
         account(L"CORP", L"Staff", L"S-1-5-21-1-1201"), account(L"", L"Everyone", L"S-1-1-0")});
    // Ordinal SID order: "...-1201" sorts before "...-513".
    EXPECT_EQ(m_platform.files.readFile("group_mappings.txt"),
              "CORP,Staff,S-1-5-21-1-1201\n"
              "CORP,Gr\xC3\xBCn \xF0\x9F\x98\x80,S-1-5-21-1-513\n"
              "BUILTIN,Users,S-1-5-32-545\n");
    EXPECT_FALSE(m_platform.files.exists("group_mappings.txt.tmp"));

    UserInformation again;
    EXPECT_EQ(again.groupMappings(), info->groupMappings());
    EXPECT_EQ(again.groupMappings().at(L"S-1-5-21-1-513").name, name);
}

TEST_F(GroupMappingsTest, RewriteKeepsThePreviousVersionAsBackup) {
    auto info = startFresh();
    store(*info, {account(L"CORP", L"Staff", L"S-1-5-21-1-1201")});
    // First rewrite: neither backup nor current file exists yet.
    EXPECT_TRUE(messages().empty());
    EXPECT_EQ(m_platform.files.readFile("group_mappings.txt"), "CORP,Staff,S-1-5-21-1-1201\n");

    // Second rewrite: the current file becomes the backup; there was no
    // backup to delete yet.
    store(*info, {account(L"CORP", L"Staff", L"S-1-5-21-1-1201"),
                  account(L"CORP", L"Sales", L"S-1-5-21-1-1202")});
    EXPECT_TRUE(messages().empty());
    EXPECT_EQ(m_platform.files.readFile("group_mappings.txt~"), "CORP,Staff,S-1-5-21-1-1201\n");

    store(*info, {account(L"CORP", L"Staff", L"S-1-5-21-1-1201"),
                  account(L"CORP", L"Sales", L"S-1-5-21-1-1202")});
    EXPECT_EQ(m_platform.files.writeOpens(), 2);  // nothing changed, nothing written
    store(*info, {account(L"CORP", L"Staff", L"S-1-5-21-1-1201"),
                  account(L"CORP", L"Sales Team", L"S-1-5-21-1-1202")});
    EXPECT_TRUE(messages().empty());
    EXPECT_EQ(m_platform.files.readFile("group_mappings.txt~"),
              "CORP,Staff,S-1-5-21-1-1201\nCORP,Sales,S-1-5-21-1-1202\n");
    EXPECT_EQ(m_platform.files.readFile("group_mappings.txt"),
              "CORP,Staff,S-1-5-21-1-1201\nCORP,Sales Team,S-1-5-21-1-1202\n");
    EXPECT_FALSE(m_platform.files.exists("group_mappings.txt.tmp"));

    const std::string dir = std::filesystem::path(m_platform.files.dataDir()).string() +
                            static_cast<char>(m_platform.files.separator());
    const auto ops = m_platform.files.operations();
    ASSERT_GE(ops.size(), 4u);
    EXPECT_EQ(
        std::vector<std::string>(ops.end() - 4, ops.end()),
        (std::vector<std::string>{
            "open-write " + dir + "group_mappings.txt.tmp", "delete " + dir + "group_mappings.txt~",
            "move " + dir + "group_mappings.txt -> " + dir + "group_mappings.txt~",
            "move " + dir + "group_mappings.txt.tmp -> " + dir + "group_mappings.txt"}));
}

// A file that is not there yet is no failure; any other failure of the same
// steps still is.
TEST_F(GroupMappingsTest, AFirstRunIsQuietOtherFailuresOfItsStepsAreNot) {
    const std::string kDelete = "failed to delete backup group mappings file";
    const std::string kRenameOld = "failed to rename old group mappings file";
    struct Case {
        const char* what;
        std::function<void(FakeFiles&)> inject;
        std::vector<std::string> atStart;
        std::vector<std::string> atRewrite;
    };
    const std::vector<Case> cases{
        {"no files yet", [](FakeFiles&) {}, {}, {}},
        {"refused read", [](FakeFiles& f) { f.m_failOpenRead = true; }, {kOpenReadFailed}, {}},
        {"refused delete", [](FakeFiles& f) { f.m_failDelete = true; }, {}, {kDelete}},
        {"refused move",
         [](FakeFiles& f) { f.m_failMoveTo = L"group_mappings.txt~"; },
         {},
         {kRenameOld}},
    };
    for (const Case& c : cases) {
        UserinfoPlatform platform;
        c.inject(platform.files);
        UserInformation info;
        EXPECT_EQ(platform.messages(), c.atStart) << c.what;
        platform.log().clear();
        store(info, {account(L"CORP", L"Staff", L"S-1-5-21-1-1201")});
        EXPECT_EQ(platform.messages(), c.atRewrite) << c.what;
        EXPECT_EQ(platform.files.readFile("group_mappings.txt"), "CORP,Staff,S-1-5-21-1-1201\n")
            << c.what;
    }
}

TEST_F(GroupMappingsTest, FailedOpenForWritingMovesNothing) {
    auto info = startWith("CORP,Staff,S-1-5-21-1-1201\n");
    m_platform.files.m_failOpenWrite = true;
    store(*info, {account(L"CORP", L"Sales", L"S-1-5-21-1-1202")});
    EXPECT_EQ(messages(), (std::vector<std::string>{kOpenWriteFailed, kWriteFailed}));
    EXPECT_EQ(m_platform.files.operations().back().rfind("open-write ", 0), 0u);
    EXPECT_EQ(m_platform.files.readFile("group_mappings.txt"), "CORP,Staff,S-1-5-21-1-1201\n");
    // The in-memory mappings stay authoritative.
    EXPECT_EQ(info->groupMappings().size(), 2u);
}

TEST_F(GroupMappingsTest, IncompleteWritesNeverReplaceTheCurrentFile) {
    for (int mode = 0; mode < 2; ++mode) {
        UserinfoPlatform platform;
        platform.files.writeFile("group_mappings.txt", "CORP,Staff,S-1-5-21-1-1201\n");
        UserInformation info;
        platform.log().clear();
        if (mode == 0) {
            platform.files.m_writeLimit = 40;  // fails in the second line
        } else {
            platform.files.m_failFlush = true;  // fails when buffered bytes go out
        }
        store(info, {account(L"CORP", L"Sales", L"S-1-5-21-1-1202"),
                     account(L"CORP", L"Admins", L"S-1-5-21-1-512")});
        EXPECT_EQ(platform.messages(), std::vector<std::string>{kWriteFailed}) << mode;
        EXPECT_EQ(platform.files.operations().back().rfind("open-write ", 0), 0u) << mode;
        EXPECT_EQ(platform.files.readFile("group_mappings.txt"), "CORP,Staff,S-1-5-21-1-1201\n");
        EXPECT_TRUE(platform.files.exists("group_mappings.txt.tmp"));
        EXPECT_FALSE(platform.files.exists("group_mappings.txt~"));
    }
}

TEST_F(GroupMappingsTest, SwapStepsRunWhateverTheOneBeforeDid) {
    auto info = startWith("CORP,Staff,S-1-5-21-1-1201\n");
    m_platform.files.writeFile("group_mappings.txt~", "old\n");
    m_platform.files.m_failDelete = true;
    store(*info, {account(L"CORP", L"Sales", L"S-1-5-21-1-1202")});
    // The backup cannot go, so the current file cannot become it, and the
    // new file cannot replace the current one: each failure is reported.
    EXPECT_EQ(messages(), (std::vector<std::string>{"failed to delete backup group mappings file",
                                                    "failed to rename old group mappings file",
                                                    "failed to rename new group mappings file"}));
    EXPECT_EQ(m_platform.files.readFile("group_mappings.txt"), "CORP,Staff,S-1-5-21-1-1201\n");
    EXPECT_EQ(m_platform.files.readFile("group_mappings.txt.tmp"),
              "CORP,Staff,S-1-5-21-1-1201\nCORP,Sales,S-1-5-21-1-1202\n");
}

TEST_F(GroupMappingsTest, FailedFinalRenameLeavesTheTemporaryFile) {
    auto info = startWith("CORP,Staff,S-1-5-21-1-1201\n");
    m_platform.files.writeFile("group_mappings.txt~", "old\n");
    m_platform.files.m_failMoveTo = L"group_mappings.txt";
    store(*info, {account(L"CORP", L"Sales", L"S-1-5-21-1-1202")});
    EXPECT_EQ(messages(), (std::vector<std::string>{"failed to rename new group mappings file"}));
    EXPECT_FALSE(m_platform.files.exists("group_mappings.txt"));
    EXPECT_EQ(m_platform.files.readFile("group_mappings.txt~"), "CORP,Staff,S-1-5-21-1-1201\n");
    EXPECT_TRUE(m_platform.files.exists("group_mappings.txt.tmp"));

    // The next start finds no current file and reads the backup instead.
    m_platform.log().clear();
    m_platform.files.m_failMoveTo.clear();
    UserInformation next;
    EXPECT_EQ(next.groupMappings().size(), 1u);
    EXPECT_EQ(messages(), (std::vector<std::string>{kReadBackup, readCount(1)}));
    EXPECT_EQ(m_platform.types(),
              (std::vector<std::uint16_t>{kEventTypeWarning, kEventTypeInformation}));

    // Its first rewrite keeps that only copy until the new file is current;
    // there is no current file to move aside.
    m_platform.log().clear();
    store(next, {account(L"CORP", L"Admins", L"S-1-5-21-1-512")});
    EXPECT_TRUE(messages().empty());
    EXPECT_EQ(m_platform.files.readFile("group_mappings.txt~"), "CORP,Staff,S-1-5-21-1-1201\n");
    EXPECT_EQ(m_platform.files.readFile("group_mappings.txt"),
              "CORP,Staff,S-1-5-21-1-1201\nCORP,Admins,S-1-5-21-1-512\n");
}

TEST_F(GroupMappingsTest, ReadErrorEndsTheReadWithTheLinesBeforeIt) {
    m_platform.files.m_readErrorAfter = 40;  // inside the second line
    auto info = startWith("CORP,Staff,S-1-5-21-1-1201\nCORP,Sales,S-1-5-21-1-1202\n");
    EXPECT_EQ(info->groupMappings().size(), 1u);
    EXPECT_EQ(info->groupMappings().count(L"S-1-5-21-1-1201"), 1u);
    EXPECT_EQ(m_startMessages, (std::vector<std::string>{kReadFailed, readCount(1)}));
}

TEST_F(GroupMappingsTest, WithoutADataFolderThePathsAreBareFileNames) {
    m_platform.files.m_programDataResult = -1;
    auto info = startFresh();
    store(*info, {account(L"CORP", L"Sales", L"S-1-5-21-1-1202")});
    const std::string sep(1, static_cast<char>(m_platform.files.separator()));
    EXPECT_EQ(m_platform.files.operations(),
              (std::vector<std::string>{"open-read " + sep + "group_mappings.txt",
                                        "open-write " + sep + "group_mappings.txt.tmp"}));
    EXPECT_EQ(messages(), (std::vector<std::string>{kOpenWriteFailed, kWriteFailed}));
}

}  // namespace
