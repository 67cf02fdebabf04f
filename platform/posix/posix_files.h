// Files and folders on Linux: the data folder root, folder creation with the
// results the core expects from the Windows shell, moves that never replace
// an existing target, and text streams on UTF-8 paths.
#pragma once

#include <string>

#include "platform/files.h"

namespace platform {

class PosixFiles : public Files {
public:
    std::int32_t programDataFolder(std::wstring& out) override;
    int createDirectory(const std::wstring& path) override;
    wchar_t separator() override;
    std::uint32_t deleteFile(const std::wstring& path) override;
    bool fileExists(const std::wstring& path) override;
    std::uint32_t moveFileNoReplace(const std::wstring& from, const std::wstring& to) override;
    std::unique_ptr<std::ostream> openTextForWrite(const std::wstring& path) override;
    std::unique_ptr<std::istream> openTextForRead(const std::wstring& path,
                                                  std::uint32_t& error) override;
    // Mode 0600, whatever the umask; the temporary file is "<path>.tmp".
    std::uint32_t replacePrivateFile(const std::wstring& path, const std::string& bytes) override;
    std::uint32_t readWholeFile(const std::wstring& path, std::string& out) override;
};

namespace posix {

// The UTF-8 form of a wide path; false when it cannot name a file (an
// embedded NUL would silently shorten it to another path).
bool pathToUtf8(const std::wstring& path, std::string& out);

// Copies a regular file to a target that must not exist yet, then removes
// the source. 0 or an errno value; a partial target is removed on failure.
int copyThenUnlink(const std::string& from, const std::string& to);

// Writes all of bytes, again after an interrupting signal: 0 or an errno value.
int writeAll(int fd, const std::string& bytes);

}  // namespace posix
}  // namespace platform
