// Small helpers shared by the Win32 seam implementations.
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>

#include "platform/unique_handle.h"

namespace platform {
namespace win32 {

// A kernel object handle that is null when there is none (a process).
struct KernelHandleTraits {
    using Handle = HANDLE;
    static Handle invalid() { return nullptr; }
    static void release(Handle handle) { ::CloseHandle(handle); }
};
using KernelHandle = UniqueHandle<KernelHandleTraits>;

// A file handle, INVALID_HANDLE_VALUE when there is none.
struct FileHandleTraits {
    using Handle = HANDLE;
    static Handle invalid() { return INVALID_HANDLE_VALUE; }
    static void release(Handle handle) { ::CloseHandle(handle); }
};
using FileHandle = UniqueHandle<FileHandleTraits>;

// A buffer the system allocated with LocalAlloc for the caller.
template <typename Pointer>
struct LocalMemoryTraits {
    using Handle = Pointer;
    static Handle invalid() { return nullptr; }
    static void release(Handle memory) { ::LocalFree(memory); }
};
template <typename Pointer>
using LocalMemory = UniqueHandle<LocalMemoryTraits<Pointer>>;

// A FILETIME's two halves as the clock seam's ticks (100 ns since 1601).
inline std::int64_t ticksFromFileTime(std::uint32_t low, std::uint32_t high) {
    return static_cast<std::int64_t>((std::uint64_t{high} << 32) | low);
}

// UTF-8 to UTF-16 for handing text to wide system calls. Ill-formed input
// becomes U+FFFD; an empty or unconvertible input gives an empty string.
std::wstring utf8ToUtf16(const std::string& text);

}  // namespace win32
}  // namespace platform
