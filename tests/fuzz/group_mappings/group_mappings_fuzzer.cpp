// The group mappings file as arbitrary bytes: starting up over it never
// fails, keeps only complete mappings, and what it keeps is written out and
// read back unchanged.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <map>
#include <memory>
#include <sstream>
#include <string>

#include "platform/errors.h"
#include "platform/platform.h"
#include "userinfo/user_information.h"

namespace {

void check(bool condition) {
    if (!condition)
        std::abort();
}

// Files held in memory, by path. A written file takes effect when its
// stream is destroyed, as closing a file does.
class MemoryFiles : public platform::Files {
public:
    std::map<std::wstring, std::string> m_files;

    std::int32_t programDataFolder(std::wstring& out) override {
        out = L"/data";
        return 0;
    }
    int createDirectory(const std::wstring&) override { return 0; }
    wchar_t separator() override { return L'/'; }
    std::uint32_t deleteFile(const std::wstring& path) override {
        return m_files.erase(path) == 1 ? 0 : platform::kErrorFileNotFound;
    }
    bool fileExists(const std::wstring& path) override { return m_files.count(path) == 1; }
    std::uint32_t moveFileNoReplace(const std::wstring& from, const std::wstring& to) override {
        if (m_files.count(from) == 0)
            return platform::kErrorFileNotFound;
        if (m_files.count(to) == 1)
            return platform::kErrorAlreadyExists;
        m_files[to] = m_files[from];
        m_files.erase(from);
        return 0;
    }
    std::unique_ptr<std::ostream> openTextForWrite(const std::wstring& path) override {
        return std::make_unique<ClosingStream>(m_files[path]);
    }
    std::unique_ptr<std::istream> openTextForRead(const std::wstring& path,
                                                  std::uint32_t& error) override {
        auto in = std::make_unique<std::istringstream>();
        const auto it = m_files.find(path);
        error = it == m_files.end() ? platform::kErrorFileNotFound : 0;
        if (it == m_files.end()) {
            in->setstate(std::ios::failbit);
        } else {
            in->str(it->second);
        }
        return in;
    }

private:
    class ClosingStream : public std::ostringstream {
    public:
        explicit ClosingStream(std::string& target) : m_target(target) {}
        ~ClosingStream() override { m_target = str(); }

    private:
        std::string& m_target;
    };
};

const std::wstring kCurrent = L"/data/Tarnwicket/VornClient/group_mappings.txt";

struct Setup {
    Setup() : scope(make()) {}
    platform::Platform make() {
        platform::Platform p = platform::current();
        p.files = &files;
        p.eventLog = &quiet;
        return p;
    }
    MemoryFiles files;
    platform::EventLog quiet;  // reports go nowhere
    platform::ScopedPlatform scope;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static Setup* setup = new Setup;
    MemoryFiles& files = setup->files;
    files.m_files.clear();
    files.m_files[kCurrent] = std::string(reinterpret_cast<const char*>(data), size);

    std::map<std::wstring, AccountInfo> mappings;
    {
        UserInformation info;
        mappings = info.groupMappings();
        std::size_t lines = 1;
        for (std::size_t i = 0; i < size; ++i)
            lines += data[i] == '\n' ? 1 : 0;
        check(mappings.size() <= lines);
        bool lineEndInSid = false;
        for (const auto& entry : mappings) {
            check(!entry.second.domain.empty() && !entry.second.name.empty());
            check(entry.first == entry.second.sid && !entry.first.empty());
            lineEndInSid = lineEndInSid || entry.first.back() == L'\r';
        }
        // A SID that ends in CR (from CR CR LF) cannot be told from a line
        // end once written back; everything else must survive the trip.
        if (lineEndInSid)
            return 0;
        info.writeGroupMappingsToDisk();
    }
    check(files.m_files.count(kCurrent) == 1);
    UserInformation again;
    check(again.groupMappings() == mappings);
    return 0;
}
