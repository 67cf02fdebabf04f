// The registry on Linux: the keys and values of one file in the registry
// export format, named by VORNCLIENT_REGISTRY. The file is read when a key is
// opened, so the handle sees the values as they were at that moment.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>

#include "platform/errors.h"
#include "platform/platform.h"
#include "platform/posix/errno_map.h"
#include "platform/posix/reg_file.h"
#include "platform/posix/utf_codec.h"

namespace platform {
namespace {

constexpr const char* kDefaultRegistryFile = "/etc/vornclient/vornclient.reg";
// Far beyond any real parameters file; stops a wrong path (a device, a huge
// file) from exhausting memory.
constexpr std::size_t kMaxFileSize = 16 * 1024 * 1024;
constexpr std::uint32_t kErrorFileTooLarge = 223;

std::string registryFilePath() {
    const char* path = std::getenv("VORNCLIENT_REGISTRY");
    return path && *path ? path : kDefaultRegistryFile;
}

// The whole file; 0 or a Win32 error code.
std::uint32_t readWholeFile(const std::string& path, std::vector<std::uint8_t>& bytes) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return win32ErrorFromErrno(errno);
    std::uint32_t result = 0;
    std::uint8_t chunk[65536];
    for (;;) {
        const ssize_t n = ::read(fd, chunk, sizeof chunk);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            result = win32ErrorFromErrno(errno);
            break;
        }
        if (n == 0)
            break;
        if (bytes.size() + static_cast<std::size_t>(n) > kMaxFileSize) {
            result = kErrorFileTooLarge;
            break;
        }
        bytes.insert(bytes.end(), chunk, chunk + n);
    }
    ::close(fd);
    return result;
}

class PosixRegistry : public Registry {
public:
    long openKey(const std::wstring& subKey, RegKey& out) override {
        out = 0;
        std::vector<std::uint8_t> bytes;
        if (const std::uint32_t error = readWholeFile(registryFilePath(), bytes)) {
            return static_cast<long>(error);
        }
        const RegFile file = RegFile::fromBytes(bytes);
        const RegFileKey* key = file.findLocalMachineKey(subKey);
        if (!key)
            return static_cast<long>(kErrorFileNotFound);
        std::lock_guard<std::mutex> lock(m_mutex);
        out = ++m_lastHandle;
        m_open[out] = std::make_shared<const RegFileKey>(*key);
        return 0;
    }

    long queryValue(RegKey key, const std::wstring& name, std::uint32_t& type, std::uint8_t* data,
                    std::uint32_t& size) override {
        std::shared_ptr<const RegFileKey> values;
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            const auto it = m_open.find(key);
            if (it == m_open.end())
                return static_cast<long>(kErrorInvalidHandle);
            values = it->second;
        }
        const RegFileValue* value = RegFile::findValue(*values, name);
        if (!value)
            return static_cast<long>(kErrorFileNotFound);
        const auto needed = static_cast<std::uint32_t>(value->data.size());
        type = value->type;
        if (!data) {  // a size query
            size = needed;
            return 0;
        }
        if (size < needed) {
            size = needed;
            return static_cast<long>(kErrorMoreData);
        }
        if (needed > 0)
            std::memcpy(data, value->data.data(), needed);
        size = needed;
        return 0;
    }

    void closeKey(RegKey key) override {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_open.erase(key);
    }

    // The key's own failures say "error = 2" without naming the file, which
    // is what an administrator needs to know.
    std::wstring describeSource(const std::wstring& /*subKey*/, bool& missing) override {
        const std::string path = registryFilePath();
        struct stat st {};
        missing = ::stat(path.c_str(), &st) != 0 && errno == ENOENT;
        return L"registry file " + utf8ToUtf16(path.data(), path.size());
    }

private:
    std::mutex m_mutex;
    RegKey m_lastHandle = 0;
    std::map<RegKey, std::shared_ptr<const RegFileKey>> m_open;
};

}  // namespace

Registry& nativeRegistry() {
    static PosixRegistry g_instance;
    return g_instance;
}

}  // namespace platform
