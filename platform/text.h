// Text seam: UTF-16 <-> UTF-8 conversion and system error texts.
// Wide strings hold UTF-16 code units on every platform.
#pragma once

#include <cstdint>
#include <string>

namespace platform {

class Text {
public:
    virtual ~Text() = default;
    // WideCharToMultiByte(CP_UTF8, 0, source as NUL-terminated, ...): with out
    // null returns the size needed (terminating NUL included); otherwise the
    // bytes written. 0 on failure, with error set to the last-error code.
    virtual int wideToMultiByte(const wchar_t* source, char* out, int outSize,
                                std::uint32_t& error);
    // MultiByteToWideChar(CP_UTF8, 0, source as NUL-terminated, ...).
    virtual int multiByteToWide(const char* source, wchar_t* out, int outSize,
                                std::uint32_t& error);
    // FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM, language 0, no arguments)
    // into a buffer of `capacity` units; returns the units written, 0 on failure.
    virtual std::uint32_t formatMessage(std::uint32_t code, wchar_t* out, std::uint32_t capacity);
};

}  // namespace platform
