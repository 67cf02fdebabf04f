// The files seam: known folder, folder creation, text-mode streams and moves
// on wide paths, in a scratch folder below the temporary folder.
#include <gtest/gtest.h>

#include <windows.h>
// After windows.h, which it builds on.
#include <sddl.h>

#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "platform/errors.h"
#include "platform/platform.h"
#include "tests/win32/win32_test_support.h"

namespace {

class Win32FilesTest : public ::testing::Test {
protected:
    void SetUp() override {
        wchar_t temp[MAX_PATH + 1] = {};
        ASSERT_GT(::GetTempPathW(MAX_PATH + 1, temp), 0u);
        // A non-ASCII folder name: paths must stay wide all the way down.
        m_root = std::wstring(temp) + L"VornSeamTest-" + win32test::uniqueSuffix() +
                 win32test::wide(u"-\u00E9\u4E2D");
        ASSERT_EQ(0, files().createDirectory(m_root));
    }

    void TearDown() override {
        std::error_code ignored;
        std::filesystem::remove_all(std::filesystem::path(m_root), ignored);
    }

    static platform::Files& files() { return platform::nativeFiles(); }

    std::wstring path(const wchar_t* name) const { return m_root + L"\\" + name; }

    static std::string rawBytes(const std::wstring& file) {
        std::string bytes;
        FILE* f = ::_wfopen(file.c_str(), L"rb");
        if (f == nullptr)
            return bytes;
        char buffer[256];
        std::size_t n;
        while ((n = std::fread(buffer, 1, sizeof(buffer), f)) > 0)
            bytes.append(buffer, n);
        std::fclose(f);
        return bytes;
    }

    static void writeRaw(const std::wstring& file, const std::string& bytes) {
        FILE* f = ::_wfopen(file.c_str(), L"wb");
        ASSERT_NE(nullptr, f);
        std::fwrite(bytes.data(), 1, bytes.size(), f);
        std::fclose(f);
    }

    static std::vector<std::string> lines(const std::wstring& file) {
        std::vector<std::string> out;
        std::uint32_t error = 0;
        auto in = files().openTextForRead(file, error);
        std::string line;
        while (std::getline(*in, line))
            out.push_back(line);
        return out;
    }

    std::wstring m_root;
};

TEST_F(Win32FilesTest, ProgramDataFolderIsAnExistingAbsoluteFolder) {
    std::wstring folder;
    ASSERT_EQ(0, files().programDataFolder(folder));
    ASSERT_GT(folder.size(), 3u);
    EXPECT_EQ(L':', folder[1]);
    const DWORD attributes = ::GetFileAttributesW(folder.c_str());
    ASSERT_NE(INVALID_FILE_ATTRIBUTES, attributes);
    EXPECT_NE(0u, attributes & FILE_ATTRIBUTE_DIRECTORY);
    EXPECT_EQ(L'\\', files().separator());
}

TEST_F(Win32FilesTest, CreatesEveryMissingFolderAndReportsAnExistingOne) {
    const std::wstring nested = path(L"Vendor\\Product");
    EXPECT_EQ(0, files().createDirectory(nested));
    const DWORD attributes = ::GetFileAttributesW(nested.c_str());
    ASSERT_NE(INVALID_FILE_ATTRIBUTES, attributes);
    EXPECT_NE(0u, attributes & FILE_ATTRIBUTE_DIRECTORY);
    EXPECT_EQ(static_cast<int>(platform::kErrorAlreadyExists), files().createDirectory(nested));
}

TEST_F(Win32FilesTest, TextStreamsWriteCrLfAndReadBothLineEnds) {
    const std::wstring file = path(L"mappings.txt");
    {
        auto out = files().openTextForWrite(file);
        ASSERT_TRUE(out->good());
        *out << "D,N,S-1-5-21-1\n"
             << "x,y,z\n";
        ASSERT_TRUE(out->good());
    }
    EXPECT_EQ("D,N,S-1-5-21-1\r\nx,y,z\r\n", rawBytes(file));
    EXPECT_EQ((std::vector<std::string>{"D,N,S-1-5-21-1", "x,y,z"}), lines(file));

    // Rewriting truncates; bare line feeds and a last line without an end
    // read the same way.
    writeRaw(file, "a,b,c\nlast");
    EXPECT_EQ((std::vector<std::string>{"a,b,c", "last"}), lines(file));
}

TEST_F(Win32FilesTest, StreamsThatCannotOpenAreReturnedFailed) {
    std::uint32_t error = 0;
    EXPECT_TRUE(files().openTextForRead(path(L"absent.txt"), error)->fail());
    EXPECT_EQ(static_cast<std::uint32_t>(ERROR_FILE_NOT_FOUND), error);
    EXPECT_TRUE(files().openTextForWrite(path(L"no-folder\\new.txt"))->fail());
}

TEST_F(Win32FilesTest, MoveNeverReplacesAndDeleteNeedsAFile) {
    const std::wstring current = path(L"current.txt");
    const std::wstring backup = path(L"current.txt~");
    writeRaw(current, "new");
    writeRaw(backup, "old");

    EXPECT_NE(0u, files().moveFileNoReplace(current, backup));
    EXPECT_EQ("old", rawBytes(backup));
    EXPECT_EQ("new", rawBytes(current));

    EXPECT_EQ(0u, files().deleteFile(backup));
    EXPECT_EQ(static_cast<std::uint32_t>(ERROR_FILE_NOT_FOUND), files().deleteFile(backup));
    EXPECT_EQ(0u, files().moveFileNoReplace(current, backup));
    EXPECT_EQ("new", rawBytes(backup));
    EXPECT_EQ(INVALID_FILE_ATTRIBUTES, ::GetFileAttributesW(current.c_str()));
    EXPECT_EQ(static_cast<std::uint32_t>(ERROR_FILE_NOT_FOUND),
              files().moveFileNoReplace(current, path(L"other.txt")));
}

// The relay's state file: replaced whole, and readable by SYSTEM and
// Administrators only.
TEST_F(Win32FilesTest, APrivateFileIsReplacedWholeForAdministratorsOnly) {
    const std::wstring state = path(L"status.txt");
    ASSERT_EQ(0u, files().replacePrivateFile(state, "old"));
    EXPECT_EQ(0u, files().replacePrivateFile(state, "new state\n"));
    std::string read;
    EXPECT_EQ(0u, files().readWholeFile(state, read));
    EXPECT_EQ("new state\n", read);
    EXPECT_EQ(INVALID_FILE_ATTRIBUTES, ::GetFileAttributesW(path(L"status.txt.tmp").c_str()));
    EXPECT_EQ(platform::kErrorFileNotFound, files().readWholeFile(path(L"none.txt"), read));

    // Wine keeps no file security of its own to read back.
    if (win32test::underCompatibilityLayer())
        return;
    std::vector<BYTE> descriptor(4096);
    DWORD needed = 0;
    ASSERT_TRUE(::GetFileSecurityW(state.c_str(), DACL_SECURITY_INFORMATION, descriptor.data(),
                                   static_cast<DWORD>(descriptor.size()), &needed));
    LPWSTR sddl = nullptr;
    ASSERT_TRUE(::ConvertSecurityDescriptorToStringSecurityDescriptorW(
        descriptor.data(), SDDL_REVISION_1, DACL_SECURITY_INFORMATION, &sddl, nullptr));
    const std::wstring dacl = sddl;
    ::LocalFree(sddl);
    EXPECT_EQ(L"D:P(A;;FA;;;SY)(A;;FA;;;BA)", dacl);
}

}  // namespace
