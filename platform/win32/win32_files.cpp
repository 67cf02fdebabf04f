// The ProgramData folder, folder creation, file moves and text-mode streams
// on wide paths.
#include <windows.h>
// After windows.h, which they build on.
#include <sddl.h>
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

// Full control for SYSTEM and the Administrators group, and nothing
// inherited: ProgramData lets every user read what it holds.
const wchar_t kAdministratorsOnly[] = L"D:P(A;;FA;;;SY)(A;;FA;;;BA)";

std::uint32_t result(bool ok) {
    return ok ? 0 : ::GetLastError();
}

// The path SHGetKnownFolderPath allocates.
struct CoTaskMemoryTraits {
    using Handle = PWSTR;
    static Handle invalid() { return nullptr; }
    static void release(Handle memory) { ::CoTaskMemFree(memory); }
};

// A new file at `path` with the administrators-only DACL, holding `bytes`.
std::uint32_t writePrivateFile(const std::wstring& path, const std::string& bytes) {
    win32::LocalMemory<PSECURITY_DESCRIPTOR> descriptor;
    if (!::ConvertStringSecurityDescriptorToSecurityDescriptorW(
            kAdministratorsOnly, SDDL_REVISION_1, descriptor.out(), nullptr)) {
        return ::GetLastError();
    }
    SECURITY_ATTRIBUTES attributes{sizeof(SECURITY_ATTRIBUTES), descriptor.get(), FALSE};
    // CREATE_NEW: an existing file would keep its own security.
    win32::FileHandle file(::CreateFileW(path.c_str(), GENERIC_WRITE, 0, &attributes, CREATE_NEW,
                                         FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file.valid())
        return ::GetLastError();
    DWORD written = 0;
    const std::uint32_t error =
        result(::WriteFile(file.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written,
                           nullptr) != FALSE);
    if (error != 0)
        return error;
    // Closed here, so that a failure to close is reported.
    return result(::CloseHandle(file.release()) != FALSE);
}

std::uint32_t readAll(HANDLE file, std::string& out) {
    char buffer[16 * 1024];
    for (;;) {
        DWORD got = 0;
        if (!::ReadFile(file, buffer, sizeof buffer, &got, nullptr))
            return ::GetLastError();
        if (got == 0)
            return 0;
        out.append(buffer, got);
    }
}

// Why a file could not be opened for reading: the stream does not say, so
// the file's attributes are asked for. Not found when there is none; a file
// that is there but cannot be read counts as access denied.
std::uint32_t whyNotOpened(const std::wstring& path) {
    if (::GetFileAttributesW(path.c_str()) == INVALID_FILE_ATTRIBUTES)
        return ::GetLastError();
    return ERROR_ACCESS_DENIED;
}

class Win32Files : public Files {
public:
    std::int32_t programDataFolder(std::wstring& out) override {
        // The buffer is released whatever the result.
        UniqueHandle<CoTaskMemoryTraits> path;
        const HRESULT hr = ::SHGetKnownFolderPath(kFolderIdProgramData, 0, nullptr, path.out());
        if (SUCCEEDED(hr) && path.valid())
            out = path.get();
        return static_cast<std::int32_t>(hr);
    }

    // Creates every missing folder on the way.
    int createDirectory(const std::wstring& path) override {
        return ::SHCreateDirectoryExW(nullptr, path.c_str(), nullptr);
    }

    wchar_t separator() override { return L'\\'; }

    std::uint32_t deleteFile(const std::wstring& path) override {
        return result(::DeleteFileW(path.c_str()) != FALSE);
    }

    bool fileExists(const std::wstring& path) override {
        return ::GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
    }

    std::uint32_t moveFileNoReplace(const std::wstring& from, const std::wstring& to) override {
        return result(::MoveFileExW(from.c_str(), to.c_str(), MOVEFILE_COPY_ALLOWED) != FALSE);
    }

    // Text mode: a line feed is written as CR LF and CR LF reads back as one.
    std::unique_ptr<std::ostream> openTextForWrite(const std::wstring& path) override {
        return std::make_unique<std::ofstream>(std::filesystem::path(path),
                                               std::ios::out | std::ios::trunc);
    }

    std::unique_ptr<std::istream> openTextForRead(const std::wstring& path,
                                                  std::uint32_t& error) override {
        auto stream = std::make_unique<std::ifstream>(std::filesystem::path(path), std::ios::in);
        error = stream->is_open() ? 0 : whyNotOpened(path);
        return stream;
    }

    // The renamed file keeps the DACL it was made with.
    std::uint32_t replacePrivateFile(const std::wstring& path, const std::string& bytes) override {
        const std::wstring temp = path + L".tmp";
        ::DeleteFileW(temp.c_str());  // a leftover of an earlier run
        std::uint32_t error = writePrivateFile(temp, bytes);
        if (error == 0) {
            error = result(::MoveFileExW(temp.c_str(), path.c_str(), MOVEFILE_REPLACE_EXISTING) !=
                           FALSE);
        }
        if (error != 0)
            ::DeleteFileW(temp.c_str());
        return error;
    }

    // Shared for writing and deleting: the reader holds it for a moment only.
    // A renewal that meets it (a rename over an open file may be refused)
    // fails once and is made again at the next interval.
    std::uint32_t readWholeFile(const std::wstring& path, std::string& out) override {
        out.clear();
        win32::FileHandle file(::CreateFileW(
            path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
            nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
        if (!file.valid())
            return ::GetLastError();
        return readAll(file.get(), out);
    }
};

}  // namespace

Files& nativeFiles() {
    static Win32Files g_instance;
    return g_instance;
}

}  // namespace platform
