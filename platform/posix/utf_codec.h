// UTF-8 <-> UTF-16 with the replacement rules of the Windows conversions
// (flags 0): whatever is ill-formed becomes U+FFFD instead of failing.
// Wide strings hold one UTF-16 code unit per wchar_t.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace platform {

constexpr char32_t kReplacementChar = 0xFFFD;

// Decodes one code point from UTF-16 units at [pos, end); lone surrogates and
// units above 0xFFFF give U+FFFD. Advances pos past what was consumed.
char32_t nextUtf16CodePoint(const wchar_t* units, std::size_t& pos, std::size_t end);

// Appends the UTF-8 encoding of one code point.
void appendUtf8(std::string& out, char32_t cp);

// Appends one code point as one or two UTF-16 units.
void appendUtf16(std::wstring& out, char32_t cp);

// Each maximal ill-formed subpart of the input becomes one U+FFFD.
std::wstring utf8ToUtf16(const char* bytes, std::size_t length);
std::string utf16ToUtf8(const wchar_t* units, std::size_t length);

}  // namespace platform
