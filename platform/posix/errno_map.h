// The one place where POSIX errors become the Windows numbers that the core
// and its messages use, and back again for their texts.
#pragma once

#include <cstdint>

namespace platform {

// errno of a socket call -> Winsock error number (WSAE...).
int wsaErrorFromErrno(int err);
// errno of a file or process call -> Win32 error code (ERROR_...).
std::uint32_t win32ErrorFromErrno(int err);
// getaddrinfo() result (EAI_...) -> Winsock resolver error (WSAHOST_NOT_FOUND ...).
int wsaErrorFromGai(int gaiResult, int savedErrno);
// A Winsock or Win32 number -> the errno whose text describes it, or 0.
int errnoFromWindowsError(std::uint32_t code);

}  // namespace platform
