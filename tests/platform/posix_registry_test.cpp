// The Linux registry: a registry export file, parsed as untrusted input.
#ifndef _WIN32

#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "config/registry_config.h"
#include "config/server_parameters.h"
#include "platform/errors.h"
#include "platform/platform.h"
#include "platform/posix/reg_file.h"
#include "tests/fakes/platform_fixture.h"

namespace {

using platform::RegFile;
using platform::RegFileKey;
using platform::RegFileValue;
using Bytes = std::vector<std::uint8_t>;

const wchar_t* const kParams = L"SYSTEM\\CurrentControlSet\\Services\\VornClient\\Parameters";

std::wstring widen(const std::string& ascii) {
    return std::wstring(ascii.begin(), ascii.end());
}

Bytes utf16le(const std::wstring& text, bool withNul) {
    Bytes b;
    for (wchar_t c : text) {
        b.push_back(static_cast<std::uint8_t>(c & 0xFF));
        b.push_back(static_cast<std::uint8_t>((c >> 8) & 0xFF));
    }
    if (withNul)
        b.insert(b.end(), {0, 0});
    return b;
}

const RegFileValue* find(const RegFile& file, const wchar_t* key, const wchar_t* name) {
    const RegFileKey* k = file.findLocalMachineKey(key);
    return k ? RegFile::findValue(*k, name) : nullptr;
}

const char* const kSample =
    "Windows Registry Editor Version 5.00\r\n"
    "\r\n"
    "; deployed by the installer\r\n"
    "[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\VornClient\\Parameters]\r\n"
    "\"OrganizationName\"=\"Example \\\"Org\\\" C:\\\\dir\"\r\n"
    "\"TarnwicketIpAddr\"=\"127.0.0.1\"\r\n"
    "\"TarnwicketPort\"=\"1080\"\r\n"
    "\"ListenPort\"=dword:00001f90\r\n"
    "\"SocketTimeout\"=DWORD:258\r\n"
    "\"Blob\"=hex:01,02,ff\r\n"
    "\"Expand\"=hex(2):25,00,41,00,\\\r\n"
    "  25,00,00,00\r\n"
    "\"NoNul\"=hex(1):61,00,62,00\r\n"
    "\"Qword\"=hex(b):01,00,00,00,00,00,00,00\r\n"
    "@=\"default\"\r\n"
    "\r\n"
    "[HKEY_CURRENT_USER\\SYSTEM\\CurrentControlSet\\Services\\VornClient\\Parameters]\r\n"
    "\"ListenPort\"=dword:00000001\r\n";

TEST(RegFile, ReadsTheValueKindsOfTheExportFormat) {
    const RegFile file = RegFile::fromText(widen(kSample));
    const RegFileValue* v = find(file, kParams, L"OrganizationName");
    ASSERT_NE(v, nullptr);
    EXPECT_EQ(v->type, 1u);
    EXPECT_EQ(v->data, utf16le(L"Example \"Org\" C:\\dir", true));

    v = find(file, kParams, L"ListenPort");
    ASSERT_NE(v, nullptr);
    EXPECT_EQ(v->type, 4u);
    EXPECT_EQ(v->data, (Bytes{0x90, 0x1F, 0, 0}));
    v = find(file, kParams, L"SocketTimeout");
    ASSERT_NE(v, nullptr);
    EXPECT_EQ(v->data, (Bytes{0x58, 0x02, 0, 0}));

    v = find(file, kParams, L"Blob");
    ASSERT_NE(v, nullptr);
    EXPECT_EQ(v->type, 3u);
    EXPECT_EQ(v->data, (Bytes{1, 2, 0xFF}));

    v = find(file, kParams, L"Expand");
    ASSERT_NE(v, nullptr);
    EXPECT_EQ(v->type, 2u);
    EXPECT_EQ(v->data, (Bytes{0x25, 0, 0x41, 0, 0x25, 0, 0, 0}));

    v = find(file, kParams, L"NoNul");
    ASSERT_NE(v, nullptr);
    EXPECT_EQ(v->type, 1u);
    EXPECT_EQ(v->data, utf16le(L"ab", false));

    v = find(file, kParams, L"Qword");
    ASSERT_NE(v, nullptr);
    EXPECT_EQ(v->type, 11u);
    EXPECT_EQ(v->data.size(), 8u);

    v = find(file, kParams, L"");
    ASSERT_NE(v, nullptr);
    EXPECT_EQ(v->data, utf16le(L"default", true));
}

TEST(RegFile, KeyAndValueNamesIgnoreAsciiCaseAndHiveSpelling) {
    const RegFile file = RegFile::fromText(
        L"[hklm\\system\\currentcontrolset\\services\\vornclient\\parameters\\]\n"
        L"\"listenport\"=dword:1\n");
    const RegFileValue* v = find(file, kParams, L"LISTENPORT");
    ASSERT_NE(v, nullptr);
    EXPECT_EQ(v->data, (Bytes{1, 0, 0, 0}));
    EXPECT_NE(file.findLocalMachineKey(L"\\SYSTEM\\CurrentControlSet\\Services\\VornClient\\"
                                       L"Parameters"),
              nullptr);
    EXPECT_EQ(file.findLocalMachineKey(L"SYSTEM\\CurrentControlSet\\Services\\VornClient"),
              nullptr);
}

TEST(RegFile, LaterLinesOverrideAndDeleteEarlierOnes) {
    const std::wstring params =
        L"[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\VornClient\\Parameters]\n";
    const RegFile file = RegFile::fromText(params + L"\"A\"=dword:1\n\"B\"=dword:2\n" +
                                           L"[HKLM\\Other]\n\"C\"=dword:3\n" + params +
                                           L"\"a\"=dword:5\n\"B\"=-\n[-HKLM\\Other]\n");
    const RegFileValue* v = find(file, kParams, L"A");
    ASSERT_NE(v, nullptr);
    EXPECT_EQ(v->data, (Bytes{5, 0, 0, 0}));
    EXPECT_EQ(find(file, kParams, L"B"), nullptr);
    EXPECT_EQ(file.findLocalMachineKey(L"Other"), nullptr);
}

TEST(RegFile, MalformedLinesAreSkipped) {
    const RegFile file = RegFile::fromText(
        L"\"Orphan\"=dword:1\n"  // before any key
        L"[HKLM\\SYSTEM\\CurrentControlSet\\Services\\VornClient\\Parameters]\n"
        L"\"Unterminated=\"x\n"
        L"\"NoEquals\" \"x\"\n"
        L"\"TrailingText\"=\"x\" y\n"
        L"\"TooLong\"=dword:123456789\n"
        L"\"NotHex\"=dword:12g4\n"
        L"\"EmptyDword\"=dword:\n"
        L"\"BadByte\"=hex:01,zz\n"
        L"\"ThreeDigits\"=hex:100\n"
        L"\"NoClose\"=hex(4:01\n"
        L"\"EmptyType\"=hex():01\n"
        L"\"Unknown\"=qword:1\n"
        L"\"Good\"=dword:7\n"
        L"; a comment ending in a backslash \\\n"
        L"\"AfterComment\"=dword:8\n"
        L"[HKLM\\Broken\n"
        L"\"AfterBrokenKey\"=dword:1\n"
        L"[HKEY_CURRENT_USER\\SYSTEM\\CurrentControlSet\\Services\\VornClient\\Parameters]\n"
        L"\"OtherHive\"=dword:1\n");
    const RegFileKey* key = file.findLocalMachineKey(kParams);
    ASSERT_NE(key, nullptr);
    ASSERT_EQ(key->size(), 2u);
    EXPECT_NE(RegFile::findValue(*key, L"Good"), nullptr);
    EXPECT_NE(RegFile::findValue(*key, L"AfterComment"), nullptr);
}

TEST(RegFile, DecodesUtf16WithByteOrderMarkAndUtf8) {
    // U+00E9 and U+1F600 in a value, as regedit would store them.
    const std::wstring text = std::wstring(L"[HKLM\\K]\r\n\"Org\"=\"") + wchar_t(0xE9) +
                              wchar_t(0xD83D) + wchar_t(0xDE00) + L"\"\r\n";
    Bytes utf16 = {0xFF, 0xFE};
    const Bytes body = utf16le(text, false);
    utf16.insert(utf16.end(), body.begin(), body.end());
    utf16.push_back(0x41);  // an odd trailing byte is dropped
    const Bytes expected =
        utf16le(std::wstring{wchar_t(0xE9), wchar_t(0xD83D), wchar_t(0xDE00)}, true);

    const RegFile fromUtf16 = RegFile::fromBytes(utf16);
    const RegFileValue* v = find(fromUtf16, L"K", L"Org");
    ASSERT_NE(v, nullptr);
    EXPECT_EQ(v->data, expected);

    const std::string utf8 = "\xEF\xBB\xBF[HKLM\\K]\n\"Org\"=\"\xC3\xA9\xF0\x9F\x98\x80\"\n";
    const RegFile fromUtf8 = RegFile::fromBytes(Bytes(utf8.begin(), utf8.end()));
    v = find(fromUtf8, L"K", L"Org");
    ASSERT_NE(v, nullptr);
    EXPECT_EQ(v->data, expected);
}

TEST(RegFile, ArbitraryBytesNeverBreakTheParser) {
    const std::string alphabet = "[]\"\\=@;-:,(),hexdwordHKLM\r\n \t0123456789abcdefXZ\xFF\xFE\xC3";
    std::mt19937 random(12345);
    const std::string sample = kSample;
    for (std::size_t cut = 0; cut <= sample.size(); ++cut) {
        RegFile::fromBytes(Bytes(sample.begin(), sample.begin() + cut));
    }
    for (int round = 0; round < 3000; ++round) {
        Bytes bytes(random() % 120);
        for (auto& b : bytes)
            b = static_cast<std::uint8_t>(alphabet[random() % alphabet.size()]);
        const RegFile file = RegFile::fromBytes(bytes);
        file.findLocalMachineKey(L"K");
    }
    SUCCEED();
}

// The native registry, reading a file named by VORNCLIENT_REGISTRY.
class NativeRegistryTest : public ::testing::Test {
protected:
    NativeRegistryTest() {
        char dir[] = "/tmp/vc_registry_XXXXXX";
        EXPECT_NE(mkdtemp(dir), nullptr);
        m_dir = dir;
        m_path = m_dir + "/vornclient.reg";
        setenv("VORNCLIENT_REGISTRY", m_path.c_str(), 1);
    }
    ~NativeRegistryTest() override {
        unsetenv("VORNCLIENT_REGISTRY");
        unlink(m_path.c_str());
        rmdir(m_dir.c_str());
    }
    void write(const std::string& content) {
        std::ofstream(m_path, std::ios::binary | std::ios::trunc) << content;
    }

    platform::Registry& registry() { return platform::nativeRegistry(); }
    std::string m_dir;
    std::string m_path;
};

TEST_F(NativeRegistryTest, MissingFileOrKeyFailsToOpenWithFileNotFound) {
    const std::wstring source = L"registry file " + std::wstring(m_path.begin(), m_path.end());
    bool missing = false;
    platform::RegKey key = 99;
    EXPECT_EQ(registry().openKey(kParams, key), 2);
    EXPECT_EQ(registry().describeSource(kParams, missing), source);
    EXPECT_TRUE(missing);
    write("Windows Registry Editor Version 5.00\n\n[HKLM\\SOFTWARE\\Other]\n\"A\"=dword:1\n");
    EXPECT_EQ(registry().openKey(kParams, key), 2);
    EXPECT_EQ(registry().describeSource(kParams, missing), source);
    EXPECT_FALSE(missing) << "the file is there, only the key is not";
    // An endless source is refused rather than read into memory.
    setenv("VORNCLIENT_REGISTRY", "/dev/zero", 1);
    EXPECT_EQ(registry().openKey(kParams, key), 223);
}

TEST_F(NativeRegistryTest, QueryFollowsTheMoreDataProtocol) {
    write(kSample);
    platform::RegKey key = 0;
    ASSERT_EQ(registry().openKey(kParams, key), 0);

    std::uint32_t type = 0, size = 2;
    std::uint8_t small[2] = {0xAA, 0xAA};
    EXPECT_EQ(registry().queryValue(key, L"tarnwicketport", type, small, size),
              static_cast<long>(platform::kErrorMoreData));
    EXPECT_EQ(size, 10u);  // "1080" and its NUL in UTF-16
    EXPECT_EQ(small[0], 0xAA);

    std::uint8_t buffer[10] = {};
    EXPECT_EQ(registry().queryValue(key, L"TarnwicketPort", type, buffer, size), 0);
    EXPECT_EQ(type, 1u);
    EXPECT_EQ(Bytes(buffer, buffer + size), utf16le(L"1080", true));

    size = 0;
    EXPECT_EQ(registry().queryValue(key, L"ListenPort", type, nullptr, size), 0);
    EXPECT_EQ(size, 4u);
    EXPECT_EQ(type, 4u);

    EXPECT_EQ(registry().queryValue(key, L"Missing", type, buffer, size), 2);
    registry().closeKey(key);
    size = 10;
    EXPECT_EQ(registry().queryValue(key, L"ListenPort", type, buffer, size),
              static_cast<long>(platform::kErrorInvalidHandle));
}

TEST_F(NativeRegistryTest, ServerParametersComeFromTheFile) {
    RecordingPlatform recording;
    write(kSample);
    ServerParameters p;
    readServerParameters(p);
    EXPECT_EQ(p.organizationName, L"Example \"Org\" C:\\dir");
    EXPECT_EQ(p.tarnwicketIpAddr, "127.0.0.1");
    EXPECT_EQ(p.tarnwicketPort, 1080);
    EXPECT_EQ(p.listenPort, 8080);
    EXPECT_EQ(p.socketTimeout, 600u);
    EXPECT_TRUE(recording.log().events().empty());
}

TEST_F(NativeRegistryTest, ShippedSettingsListEveryValueAtItsDefault) {
    RecordingPlatform recording;
    setenv("VORNCLIENT_REGISTRY", VORN_SHIPPED_SETTINGS, 1);
    // Values that only a read of every setting replaces.
    ServerParameters p;
    p.organizationName = L"unread";
    p.tarnwicketIpAddr = "unread";
    p.tarnwicketPort = 1;
    p.listenPort = 1;
    p.socketTimeout = 1;
    readServerParameters(p);
    const ServerParameters defaults;
    EXPECT_EQ(p.organizationName, defaults.organizationName);
    EXPECT_EQ(p.tarnwicketIpAddr, defaults.tarnwicketIpAddr);
    EXPECT_EQ(p.tarnwicketPort, defaults.tarnwicketPort);
    EXPECT_EQ(p.listenPort, defaults.listenPort);
    EXPECT_EQ(p.socketTimeout, defaults.socketTimeout);
    EXPECT_TRUE(recording.log().events().empty()) << recording.log().narrowTexts().front();
}

}  // namespace

#endif  // _WIN32
