// The ProgramData folder, folder creation, file moves and text-mode streams
// on wide paths.
#include <windows.h>
// After windows.h, which it builds on.
#include <shlobj.h>

#include <filesystem>
#include <fstream>

#include "platform/platform.h"
#include "platform/win32/win32_util.h"

namespace platform {
namespace {

// FOLDERID_ProgramData, spelled out so that no GUID library is needed.
const GUID kFolderIdProgramData = {
    0x62AB5D82, 0xFDC1, 0x4DC3, {0xA9, 0xDD, 0x07, 0x0D, 0x1D, 0x49, 0x5D, 0x97}};

class Win32Files : public Files {
public:
    std::int32_t programDataFolder(std::wstring& out) override {
        PWSTR path = nullptr;
        const HRESULT hr = ::SHGetKnownFolderPath(kFolderIdProgramData, 0, nullptr, &path);
        // The buffer is released whatever the result.
        const win32::ScopeExit release([path] { ::CoTaskMemFree(path); });
        if (SUCCEEDED(hr) && path != nullptr)
            out = path;
        return static_cast<std::int32_t>(hr);
    }

    // Creates every missing folder on the way.
    int createDirectory(const std::wstring& path) override {
        return ::SHCreateDirectoryExW(nullptr, path.c_str(), nullptr);
    }

    wchar_t separator() override { return L'\\'; }

    bool deleteFile(const std::wstring& path) override {
        return ::DeleteFileW(path.c_str()) != FALSE;
    }

    bool fileExists(const std::wstring& path) override {
        return ::GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
    }

    bool moveFileNoReplace(const std::wstring& from, const std::wstring& to) override {
        return ::MoveFileExW(from.c_str(), to.c_str(), MOVEFILE_COPY_ALLOWED) != FALSE;
    }

    // Text mode: a line feed is written as CR LF and CR LF reads back as one.
    std::unique_ptr<std::ostream> openTextForWrite(const std::wstring& path) override {
        return std::make_unique<std::ofstream>(std::filesystem::path(path),
                                               std::ios::out | std::ios::trunc);
    }

    std::unique_ptr<std::istream> openTextForRead(const std::wstring& path) override {
        return std::make_unique<std::ifstream>(std::filesystem::path(path), std::ios::in);
    }
};

}  // namespace

Files& nativeFiles() {
    static Win32Files g_instance;
    return g_instance;
}

}  // namespace platform
