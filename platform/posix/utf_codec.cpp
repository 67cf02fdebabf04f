#include "platform/posix/utf_codec.h"

namespace platform {
namespace {

bool isHighSurrogate(std::uint32_t u) {
    return u >= 0xD800 && u <= 0xDBFF;
}
bool isLowSurrogate(std::uint32_t u) {
    return u >= 0xDC00 && u <= 0xDFFF;
}

// The accepted range of the second byte of a sequence led by `lead`, so
// that overlong forms, surrogates and values above U+10FFFF are refused at
// the earliest byte possible.
void secondByteRange(unsigned char lead, unsigned char& low, unsigned char& high) {
    low = 0x80;
    high = 0xBF;
    if (lead == 0xE0)
        low = 0xA0;
    if (lead == 0xED)
        high = 0x9F;
    if (lead == 0xF0)
        low = 0x90;
    if (lead == 0xF4)
        high = 0x8F;
}

// Number of bytes a sequence with this lead byte has; 0 for a byte that
// cannot begin one.
int sequenceLength(unsigned char lead) {
    if (lead < 0x80)
        return 1;
    if (lead >= 0xC2 && lead <= 0xDF)
        return 2;
    if (lead >= 0xE0 && lead <= 0xEF)
        return 3;
    if (lead >= 0xF0 && lead <= 0xF4)
        return 4;
    return 0;
}

// Decodes one code point at pos; on an ill-formed sequence returns U+FFFD
// and consumes its maximal subpart (at least one byte).
char32_t nextUtf8CodePoint(const unsigned char* bytes, std::size_t& pos, std::size_t end) {
    const unsigned char lead = bytes[pos++];
    const int length = sequenceLength(lead);
    if (length == 1)
        return lead;
    if (length == 0)
        return kReplacementChar;
    char32_t cp = lead & (0xFF >> (length + 1));
    for (int i = 1; i < length; ++i) {
        unsigned char low = 0x80, high = 0xBF;
        if (i == 1)
            secondByteRange(lead, low, high);
        if (pos >= end || bytes[pos] < low || bytes[pos] > high)
            return kReplacementChar;
        cp = (cp << 6) | (bytes[pos++] & 0x3F);
    }
    return cp;
}

}  // namespace

char32_t nextUtf16CodePoint(const wchar_t* units, std::size_t& pos, std::size_t end) {
    const std::uint32_t u = static_cast<std::uint32_t>(units[pos++]);
    if (u > 0xFFFF || isLowSurrogate(u))
        return kReplacementChar;
    if (!isHighSurrogate(u))
        return u;
    if (pos < end && isLowSurrogate(static_cast<std::uint32_t>(units[pos]))) {
        const std::uint32_t low = static_cast<std::uint32_t>(units[pos++]);
        return 0x10000 + ((u - 0xD800) << 10) + (low - 0xDC00);
    }
    return kReplacementChar;
}

void appendUtf8(std::string& out, char32_t cp) {
    if (cp < 0x80) {
        out.push_back(static_cast<char>(cp));
    } else if (cp < 0x800) {
        out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else if (cp < 0x10000) {
        out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else {
        out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    }
}

void appendUtf16(std::wstring& out, char32_t cp) {
    if (cp < 0x10000) {
        out.push_back(static_cast<wchar_t>(cp));
    } else {
        cp -= 0x10000;
        out.push_back(static_cast<wchar_t>(0xD800 + (cp >> 10)));
        out.push_back(static_cast<wchar_t>(0xDC00 + (cp & 0x3FF)));
    }
}

std::wstring utf8ToUtf16(const char* bytes, std::size_t length) {
    std::wstring out;
    out.reserve(length);
    const auto* b = reinterpret_cast<const unsigned char*>(bytes);
    std::size_t pos = 0;
    while (pos < length)
        appendUtf16(out, nextUtf8CodePoint(b, pos, length));
    return out;
}

std::string utf16ToUtf8(const wchar_t* units, std::size_t length) {
    std::string out;
    out.reserve(length);
    std::size_t pos = 0;
    while (pos < length)
        appendUtf8(out, nextUtf16CodePoint(units, pos, length));
    return out;
}

}  // namespace platform
