// The files seam over a private temporary folder, with injectable failures.
// Streams are binary (no line-end translation), so tests see exactly the
// bytes the core writes. Paths outside the folder are refused.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "platform/files.h"

class FakeFiles : public platform::Files {
public:
    FakeFiles();
    ~FakeFiles() override;
    FakeFiles(const FakeFiles&) = delete;
    FakeFiles& operator=(const FakeFiles&) = delete;

    // The folder that programDataFolder reports.
    std::wstring programData() const;
    // The data folder the core derives from it.
    std::wstring dataDir() const;
    std::filesystem::path dataPath(const std::string& fileName) const;

    // Test helpers on files in the data folder.
    void writeFile(const std::string& fileName, const std::string& bytes);
    std::string readFile(const std::string& fileName) const;
    bool exists(const std::string& fileName) const;

    // Injected failures.
    std::int32_t m_programDataResult = 0;
    int m_createDirectoryResult = -1;  // -1: really create it
    bool m_failOpenRead = false;       // with kErrorAccessDenied
    bool m_failOpenWrite = false;
    // The read stream's buffer throws, as a failing read does, once this
    // many bytes have been read.
    std::size_t m_readErrorAfter = static_cast<std::size_t>(-1);
    bool m_failDelete = false;  // with kErrorAccessDenied
    std::wstring m_failMoveTo;  // moves whose target ends with this fail (access denied)
    // The write stream fails once this many bytes went through it.
    std::size_t m_writeLimit = static_cast<std::size_t>(-1);
    // The write stream takes everything into a buffer and fails when it is
    // flushed, after writing half of it.
    bool m_failFlush = false;

    // Whole-file replacements and reads fail with these when not 0.
    std::uint32_t m_replaceResult = 0;
    std::uint32_t m_readWholeResult = 0;
    // Called at the start of every replacement, on the calling thread (a
    // test may hold it there).
    std::function<void()> m_replaceHook;

    // Called at the start of every openTextForWrite, on the calling thread
    // (a test may hold a rewrite there).
    std::function<void()> m_openWriteHook;

    // Operations in order: "open-read <path>", "open-write <path>",
    // "delete <path>", "move <from> -> <to>" (paths narrowed).
    std::vector<std::string> operations() const;
    int writeOpens() const;

    std::int32_t programDataFolder(std::wstring& out) override;
    int createDirectory(const std::wstring& path) override;
    wchar_t separator() override;
    std::uint32_t deleteFile(const std::wstring& path) override;
    bool fileExists(const std::wstring& path) override;
    std::uint32_t moveFileNoReplace(const std::wstring& from, const std::wstring& to) override;
    std::unique_ptr<std::ostream> openTextForWrite(const std::wstring& path) override;
    std::unique_ptr<std::istream> openTextForRead(const std::wstring& path,
                                                  std::uint32_t& error) override;
    std::uint32_t replacePrivateFile(const std::wstring& path, const std::string& bytes) override;
    std::uint32_t readWholeFile(const std::wstring& path, std::string& out) override;

private:
    bool inside(const std::wstring& path) const;
    void record(const std::string& operation);

    std::filesystem::path m_root;
    mutable std::mutex m_mutex;
    std::vector<std::string> m_operations;
};
