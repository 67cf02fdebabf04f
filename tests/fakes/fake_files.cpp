#include "tests/fakes/fake_files.h"

#include <atomic>
#include <fstream>
#include <random>
#include <sstream>

#include "platform/errors.h"

namespace {

std::string narrow(const std::wstring& text) {
    std::string out;
    for (wchar_t c : text)
        out.push_back(c < 0x80 ? static_cast<char>(c) : '?');
    return out;
}

std::unique_ptr<std::ostream> failedWriter() {
    auto s = std::make_unique<std::ofstream>();
    s->setstate(std::ios::failbit);
    return s;
}

// Passes bytes to a file until its budget is spent, then fails.
class LimitedFileBuf : public std::streambuf {
public:
    LimitedFileBuf(const std::filesystem::path& path, std::size_t limit) : m_left(limit) {
        m_file.open(path, std::ios::out | std::ios::trunc | std::ios::binary);
    }
    bool isOpen() const { return m_file.is_open(); }

protected:
    int overflow(int c) override {
        if (traits_type::eq_int_type(c, traits_type::eof()))
            return traits_type::not_eof(c);
        if (m_left == 0)
            return traits_type::eof();
        --m_left;
        return m_file.sputc(static_cast<char>(c));
    }
    int sync() override { return m_file.pubsync(); }

private:
    std::filebuf m_file;
    std::size_t m_left;
};

// Holds everything until flushed; the flush writes half and fails, as a
// full disk would.
class FailingFlushBuf : public std::stringbuf {
public:
    explicit FailingFlushBuf(const std::filesystem::path& path) : m_path(path) {}

protected:
    int sync() override {
        const std::string data = str();
        std::ofstream file(m_path, std::ios::binary | std::ios::trunc);
        file << data.substr(0, data.size() / 2);
        return -1;
    }

private:
    std::filesystem::path m_path;
};

// Hands out the first bytes of a file, then fails the way a file buffer does
// on a read error: by throwing.
class FailingReadBuf : public std::streambuf {
public:
    FailingReadBuf(const std::filesystem::path& path, std::size_t limit) {
        std::ifstream file(path, std::ios::binary);
        std::ostringstream content;
        content << file.rdbuf();
        m_bytes = content.str().substr(0, limit);
        setg(&m_bytes[0], &m_bytes[0], &m_bytes[0] + m_bytes.size());
    }

protected:
    int underflow() override { throw std::ios_base::failure("read error"); }

private:
    std::string m_bytes;
};

class OwningIStream : public std::istream {
public:
    OwningIStream(const std::filesystem::path& path, std::size_t limit)
        : std::istream(nullptr), m_buf(path, limit) {
        rdbuf(&m_buf);
    }

private:
    FailingReadBuf m_buf;
};

template <typename Buf>
class OwningOStream : public std::ostream {
public:
    template <typename... Args>
    explicit OwningOStream(Args&&... args)
        : std::ostream(nullptr), m_buf(std::forward<Args>(args)...) {
        rdbuf(&m_buf);
    }
    Buf& buf() { return m_buf; }

private:
    Buf m_buf;
};

std::filesystem::path uniqueRoot() {
    static std::atomic<unsigned> counter{0};
    std::random_device random;
    std::ostringstream name;
    name << "vorn-fake-files-" << random() << '-' << counter++;
    return std::filesystem::temp_directory_path() / name.str();
}

}  // namespace

FakeFiles::FakeFiles() : m_root(uniqueRoot()) {
    std::filesystem::create_directories(m_root / "ProgramData");
}

FakeFiles::~FakeFiles() {
    std::error_code ignored;
    std::filesystem::remove_all(m_root, ignored);
}

std::wstring FakeFiles::programData() const {
    return (m_root / "ProgramData").wstring();
}

std::wstring FakeFiles::dataDir() const {
    const std::filesystem::path dir = m_root / "ProgramData" / "Tarnwicket" / "VornClient";
    return dir.wstring();
}

std::filesystem::path FakeFiles::dataPath(const std::string& fileName) const {
    return std::filesystem::path(dataDir()) / fileName;
}

void FakeFiles::writeFile(const std::string& fileName, const std::string& bytes) {
    std::filesystem::create_directories(dataDir());
    std::ofstream file(dataPath(fileName), std::ios::binary | std::ios::trunc);
    file << bytes;
}

std::string FakeFiles::readFile(const std::string& fileName) const {
    std::ifstream file(dataPath(fileName), std::ios::binary);
    std::ostringstream content;
    content << file.rdbuf();
    return content.str();
}

bool FakeFiles::exists(const std::string& fileName) const {
    return std::filesystem::exists(dataPath(fileName));
}

std::vector<std::string> FakeFiles::operations() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_operations;
}

int FakeFiles::writeOpens() const {
    int n = 0;
    for (const auto& op : operations())
        n += op.rfind("open-write ", 0) == 0 ? 1 : 0;
    return n;
}

void FakeFiles::record(const std::string& operation) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_operations.push_back(operation);
}

bool FakeFiles::inside(const std::wstring& path) const {
    const std::wstring root = m_root.wstring();
    return path.compare(0, root.size(), root) == 0;
}

std::int32_t FakeFiles::programDataFolder(std::wstring& out) {
    if (m_programDataResult != 0)
        return m_programDataResult;
    out = programData();
    return 0;
}

int FakeFiles::createDirectory(const std::wstring& path) {
    if (m_createDirectoryResult >= 0)
        return m_createDirectoryResult;
    if (!inside(path))
        return static_cast<int>(platform::kErrorAccessDenied);
    std::error_code error;
    if (std::filesystem::exists(path, error))
        return static_cast<int>(platform::kErrorAlreadyExists);
    return std::filesystem::create_directories(path, error)
               ? 0
               : static_cast<int>(platform::kErrorPathNotFound);
}

wchar_t FakeFiles::separator() {
    return static_cast<wchar_t>(std::filesystem::path::preferred_separator);
}

std::uint32_t FakeFiles::deleteFile(const std::wstring& path) {
    record("delete " + narrow(path));
    if (m_failDelete || !inside(path))
        return platform::kErrorAccessDenied;
    std::error_code error;
    if (std::filesystem::remove(path, error))
        return 0;
    return error ? platform::kErrorAccessDenied : platform::kErrorFileNotFound;
}

bool FakeFiles::fileExists(const std::wstring& path) {
    std::error_code error;
    return inside(path) && std::filesystem::exists(std::filesystem::path(path), error);
}

std::uint32_t FakeFiles::moveFileNoReplace(const std::wstring& from, const std::wstring& to) {
    record("move " + narrow(from) + " -> " + narrow(to));
    if (!inside(from) || !inside(to))
        return platform::kErrorAccessDenied;
    if (!m_failMoveTo.empty() && to.size() >= m_failMoveTo.size() &&
        to.compare(to.size() - m_failMoveTo.size(), m_failMoveTo.size(), m_failMoveTo) == 0)
        return platform::kErrorAccessDenied;
    std::error_code error;
    if (!std::filesystem::exists(from, error))
        return platform::kErrorFileNotFound;
    if (std::filesystem::exists(to, error))
        return platform::kErrorAlreadyExists;
    std::filesystem::rename(from, to, error);
    return error ? platform::kErrorAccessDenied : 0;
}

std::unique_ptr<std::ostream> FakeFiles::openTextForWrite(const std::wstring& path) {
    if (m_openWriteHook)
        m_openWriteHook();
    record("open-write " + narrow(path));
    if (m_failOpenWrite || !inside(path))
        return failedWriter();
    if (m_failFlush)
        return std::make_unique<OwningOStream<FailingFlushBuf>>(path);
    auto stream = std::make_unique<OwningOStream<LimitedFileBuf>>(path, m_writeLimit);
    if (!stream->buf().isOpen())
        return failedWriter();
    return stream;
}

std::unique_ptr<std::istream> FakeFiles::openTextForRead(const std::wstring& path,
                                                         std::uint32_t& error) {
    record("open-read " + narrow(path));
    auto stream = std::make_unique<std::ifstream>();
    error = 0;
    if (m_failOpenRead || !inside(path)) {
        error = platform::kErrorAccessDenied;
        stream->setstate(std::ios::failbit);
        return stream;
    }
    if (m_readErrorAfter != static_cast<std::size_t>(-1))
        return std::make_unique<OwningIStream>(std::filesystem::path(path), m_readErrorAfter);
    stream->open(std::filesystem::path(path), std::ios::in | std::ios::binary);
    if (!stream->is_open())
        error = fileExists(path) ? platform::kErrorAccessDenied : platform::kErrorFileNotFound;
    return stream;
}

std::uint32_t FakeFiles::replacePrivateFile(const std::wstring& path, const std::string& bytes) {
    if (m_replaceHook)
        m_replaceHook();
    if (m_replaceResult != 0)
        return m_replaceResult;
    if (!inside(path))
        return platform::kErrorAccessDenied;
    const std::filesystem::path target(path);
    const std::filesystem::path temp = target.string() + ".tmp";
    {
        std::ofstream file(temp, std::ios::binary | std::ios::trunc);
        file << bytes;
        if (!file.flush())
            return platform::kErrorPathNotFound;
    }
    std::error_code error;
    std::filesystem::rename(temp, target, error);
    return error ? platform::kErrorAccessDenied : 0;
}

std::uint32_t FakeFiles::readWholeFile(const std::wstring& path, std::string& out) {
    out.clear();
    if (m_readWholeResult != 0)
        return m_readWholeResult;
    if (!inside(path))
        return platform::kErrorAccessDenied;
    std::ifstream file(std::filesystem::path(path), std::ios::binary);
    if (!file.is_open())
        return platform::kErrorFileNotFound;
    std::ostringstream content;
    content << file.rdbuf();
    out = content.str();
    return 0;
}
