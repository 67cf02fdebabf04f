#include "platform/posix/reg_file.h"

#include <cstddef>

#include "platform/posix/utf_codec.h"

namespace platform {
namespace {

constexpr std::uint32_t kTypeSz = 1;
constexpr std::uint32_t kTypeBinary = 3;
constexpr std::uint32_t kTypeDword = 4;

bool isBlank(wchar_t c) {
    return c == L' ' || c == L'\t' || c == L'\r';
}

std::wstring trim(const std::wstring& s) {
    std::size_t begin = 0, end = s.size();
    while (begin < end && isBlank(s[begin]))
        ++begin;
    while (end > begin && isBlank(s[end - 1]))
        --end;
    return s.substr(begin, end - begin);
}

std::wstring foldCase(std::wstring s) {
    for (auto& c : s) {
        if (c >= L'A' && c <= L'Z')
            c = static_cast<wchar_t>(c - L'A' + L'a');
    }
    return s;
}

bool startsWithFolded(const std::wstring& s, const std::wstring& lowerPrefix) {
    return s.size() >= lowerPrefix.size() &&
           foldCase(s.substr(0, lowerPrefix.size())) == lowerPrefix;
}

int hexDigit(wchar_t c) {
    if (c >= L'0' && c <= L'9')
        return c - L'0';
    if (c >= L'a' && c <= L'f')
        return c - L'a' + 10;
    if (c >= L'A' && c <= L'F')
        return c - L'A' + 10;
    return -1;
}

// 1 to maxDigits hex digits and nothing else.
bool parseHexNumber(const std::wstring& s, std::size_t maxDigits, std::uint32_t& value) {
    if (s.empty() || s.size() > maxDigits)
        return false;
    value = 0;
    for (wchar_t c : s) {
        const int d = hexDigit(c);
        if (d < 0)
            return false;
        value = (value << 4) | static_cast<std::uint32_t>(d);
    }
    return true;
}

// Comma-separated bytes of one or two hex digits; a trailing comma is allowed.
bool parseHexList(const std::wstring& s, std::vector<std::uint8_t>& bytes) {
    std::size_t pos = 0;
    while (pos < s.size()) {
        std::size_t comma = s.find(L',', pos);
        const bool last = comma == std::wstring::npos;
        if (last)
            comma = s.size();
        const std::wstring token = trim(s.substr(pos, comma - pos));
        std::uint32_t byte = 0;
        if (token.empty() && last)
            break;
        if (!parseHexNumber(token, 2, byte))
            return false;
        bytes.push_back(static_cast<std::uint8_t>(byte));
        pos = comma + 1;
    }
    return true;
}

// A quoted text starting at pos (which holds the opening quote), with the
// escapes \\ and \". Leaves pos after the closing quote.
bool parseQuoted(const std::wstring& line, std::size_t& pos, std::wstring& out) {
    if (pos >= line.size() || line[pos] != L'"')
        return false;
    ++pos;
    out.clear();
    while (pos < line.size()) {
        const wchar_t c = line[pos++];
        if (c == L'"')
            return true;
        if (c == L'\\' && pos < line.size() && (line[pos] == L'\\' || line[pos] == L'"')) {
            out.push_back(line[pos++]);
        } else {
            out.push_back(c);
        }
    }
    return false;  // unterminated
}

std::vector<std::uint8_t> utf16LeBytes(const std::wstring& text, bool withNul) {
    std::vector<std::uint8_t> bytes;
    for (wchar_t c : text) {
        const auto unit = static_cast<std::uint32_t>(c);
        bytes.push_back(static_cast<std::uint8_t>(unit & 0xFF));
        bytes.push_back(static_cast<std::uint8_t>((unit >> 8) & 0xFF));
    }
    if (withNul)
        bytes.insert(bytes.end(), {0, 0});
    return bytes;
}

// "[HKEY_LOCAL_MACHINE\A\B]" or "[HKLM\A\B]" -> "hklm\a\b"; other hives keep
// their own (folded) name so they never match a local-machine lookup.
std::wstring normaliseKeyPath(const std::wstring& path) {
    std::wstring folded = foldCase(trim(path));
    while (!folded.empty() && folded.back() == L'\\')
        folded.pop_back();
    const std::size_t slash = folded.find(L'\\');
    const std::wstring hive = folded.substr(0, slash);
    const std::wstring rest = slash == std::wstring::npos ? std::wstring() : folded.substr(slash);
    if (hive == L"hkey_local_machine" || hive == L"hklm")
        return L"hklm" + rest;
    return folded;
}

class Parser {
public:
    Parser(const std::vector<std::wstring>& lines, std::map<std::wstring, RegFileKey>& keys)
        : m_lines(lines), m_keys(keys) {}

    void run() {
        for (m_index = 0; m_index < m_lines.size(); ++m_index) {
            const std::wstring line = trim(m_lines[m_index]);
            if (line.empty() || line[0] == L';')
                continue;
            if (line[0] == L'[') {
                keyLine(line);
            } else if (line[0] == L'"' || line[0] == L'@') {
                valueLine(line);
            }
            // Anything else (the header, stray text) is skipped.
        }
    }

private:
    void keyLine(const std::wstring& line) {
        m_current = nullptr;
        if (line.size() < 2 || line.back() != L']')
            return;
        const std::wstring path = line.substr(1, line.size() - 2);
        if (!path.empty() && path[0] == L'-') {
            m_keys.erase(normaliseKeyPath(path.substr(1)));
            return;
        }
        const std::wstring normalised = normaliseKeyPath(path);
        if (normalised.empty())
            return;
        m_current = &m_keys[normalised];
    }

    void valueLine(const std::wstring& line) {
        std::size_t pos = 0;
        std::wstring name;
        if (line[0] == L'@') {
            pos = 1;
        } else if (!parseQuoted(line, pos, name)) {
            return;
        }
        while (pos < line.size() && isBlank(line[pos]))
            ++pos;
        if (pos >= line.size() || line[pos] != L'=')
            return;
        const std::wstring data = trim(line.substr(pos + 1));
        RegFileValue value;
        bool remove = false;
        if (!parseData(data, value, remove) || !m_current)
            return;
        if (remove) {
            m_current->erase(foldCase(name));
        } else {
            (*m_current)[foldCase(name)] = std::move(value);
        }
    }

    bool parseData(const std::wstring& data, RegFileValue& value, bool& remove) {
        if (data == L"-") {
            remove = true;
            return true;
        }
        if (!data.empty() && data[0] == L'"') {
            std::size_t pos = 0;
            std::wstring text;
            if (!parseQuoted(data, pos, text) || pos != data.size())
                return false;
            value.type = kTypeSz;
            value.data = utf16LeBytes(text, true);
            return true;
        }
        if (startsWithFolded(data, L"dword:")) {
            std::uint32_t number = 0;
            if (!parseHexNumber(data.substr(6), 8, number))
                return false;
            value.type = kTypeDword;
            value.data = {static_cast<std::uint8_t>(number), static_cast<std::uint8_t>(number >> 8),
                          static_cast<std::uint8_t>(number >> 16),
                          static_cast<std::uint8_t>(number >> 24)};
            return true;
        }
        if (startsWithFolded(data, L"hex:")) {
            value.type = kTypeBinary;
            return parseHexList(withContinuation(data.substr(4)), value.data);
        }
        if (startsWithFolded(data, L"hex(")) {
            const std::size_t close = data.find(L"):");
            if (close == std::wstring::npos)
                return false;
            if (!parseHexNumber(data.substr(4, close - 4), 8, value.type))
                return false;
            return parseHexList(withContinuation(data.substr(close + 2)), value.data);
        }
        return false;
    }

    // A hex list continues over lines that end in a backslash.
    std::wstring withContinuation(std::wstring list) {
        list = trim(list);
        while (!list.empty() && list.back() == L'\\' && m_index + 1 < m_lines.size()) {
            list.pop_back();
            list += trim(m_lines[++m_index]);
        }
        return list;
    }

    const std::vector<std::wstring>& m_lines;
    std::map<std::wstring, RegFileKey>& m_keys;
    std::size_t m_index = 0;
    RegFileKey* m_current = nullptr;
};

}  // namespace

std::wstring decodeRegFileBytes(const std::vector<std::uint8_t>& bytes) {
    if (bytes.size() >= 2 && bytes[0] == 0xFF && bytes[1] == 0xFE) {
        std::wstring units;
        units.reserve(bytes.size() / 2);
        for (std::size_t i = 2; i + 1 < bytes.size(); i += 2) {
            units.push_back(static_cast<wchar_t>(bytes[i] | (bytes[i + 1] << 8)));
        }
        return units;
    }
    std::size_t start = 0;
    if (bytes.size() >= 3 && bytes[0] == 0xEF && bytes[1] == 0xBB && bytes[2] == 0xBF)
        start = 3;
    return utf8ToUtf16(reinterpret_cast<const char*>(bytes.data()) + start, bytes.size() - start);
}

RegFile RegFile::fromBytes(const std::vector<std::uint8_t>& bytes) {
    return fromText(decodeRegFileBytes(bytes));
}

RegFile RegFile::fromText(const std::wstring& text) {
    std::vector<std::wstring> lines;
    std::size_t pos = 0;
    while (pos <= text.size()) {
        std::size_t end = text.find(L'\n', pos);
        if (end == std::wstring::npos)
            end = text.size();
        lines.push_back(text.substr(pos, end - pos));
        pos = end + 1;
    }
    RegFile file;
    Parser(lines, file.m_keys).run();
    return file;
}

const RegFileKey* RegFile::findLocalMachineKey(const std::wstring& subKey) const {
    std::wstring path = subKey;
    while (!path.empty() && path.front() == L'\\')
        path.erase(0, 1);
    const auto it = m_keys.find(normaliseKeyPath(L"hklm\\" + path));
    return it == m_keys.end() ? nullptr : &it->second;
}

const RegFileValue* RegFile::findValue(const RegFileKey& key, const std::wstring& name) {
    const auto it = key.find(foldCase(name));
    return it == key.end() ? nullptr : &it->second;
}

}  // namespace platform
