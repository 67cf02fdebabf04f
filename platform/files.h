// Files seam: the ProgramData known folder, folder creation, file moves and
// text-mode file streams, all by wide (UTF-16) path.
#pragma once

#include <cstdint>
#include <istream>
#include <memory>
#include <ostream>
#include <string>

namespace platform {

class Files {
public:
    virtual ~Files() = default;
    // SHGetKnownFolderPath(FOLDERID_ProgramData); an HRESULT, 0 on success.
    virtual std::int32_t programDataFolder(std::wstring& out);
    // SHCreateDirectory: 0, kErrorFileExists, kErrorAlreadyExists or an error.
    virtual int createDirectory(const std::wstring& path);
    // The separator between folder and file names ('\\' or '/').
    virtual wchar_t separator();
    // These three return 0 or an error code, kErrorFileNotFound or
    // kErrorPathNotFound when there is no such file (isNotFound).
    virtual std::uint32_t deleteFile(const std::wstring& path);
    // Whether a file or folder exists at the path (GetFileAttributesW).
    virtual bool fileExists(const std::wstring& path);
    // Move without replacing an existing target; may copy across volumes.
    virtual std::uint32_t moveFileNoReplace(const std::wstring& from, const std::wstring& to);
    // Text-mode streams. Never null: a stream that could not be opened is
    // returned in a failed state (for reading, with `error` telling why).
    virtual std::unique_ptr<std::ostream> openTextForWrite(const std::wstring& path);
    virtual std::unique_ptr<std::istream> openTextForRead(const std::wstring& path,
                                                          std::uint32_t& error);
    // Replaces the file at `path` whole, so that a reader sees either the old
    // bytes or the new ones: written beside it, then renamed over it. Only
    // administrators may read or change it: mode 0600 on Linux, a DACL of
    // SYSTEM and Administrators on Windows. 0 or an error code.
    virtual std::uint32_t replacePrivateFile(const std::wstring& path, const std::string& bytes);
    // The whole content of a file: 0; kErrorFileNotFound or kErrorPathNotFound
    // when there is none; kErrorAccessDenied; or another error code.
    virtual std::uint32_t readWholeFile(const std::wstring& path, std::string& out);
};

}  // namespace platform
