#include "platform/posix/errno_map.h"

#include <netdb.h>

#include <cerrno>
#include <cstddef>

#include "platform/errors.h"

namespace platform {
namespace {

struct ErrnoPair {
    int err;
    int windows;
};

// Socket errors: errno <-> Winsock.
constexpr ErrnoPair kSocketErrors[] = {
    {EINTR, kWsaEIntr},
    {EBADF, kWsaENotSock},
    {EACCES, kWsaEAcces},
    {EPERM, kWsaEAcces},
    {EFAULT, kWsaEFault},
    {EINVAL, kWsaEInval},
    {EMFILE, kWsaEMFile},
    {ENFILE, kWsaEMFile},
    {EAGAIN, kWsaEWouldBlock},
    {EINPROGRESS, kWsaEWouldBlock},  // a non-blocking connect in progress, as Winsock reports it
    {EALREADY, kWsaEAlready},
    {ENOTSOCK, kWsaENotSock},
    {EMSGSIZE, kWsaEMsgSize},
    {EPROTONOSUPPORT, kWsaEProtoNoSupport},
    {EOPNOTSUPP, kWsaEOpNotSupp},
    {EAFNOSUPPORT, kWsaEAfNoSupport},
    {EADDRINUSE, kWsaEAddrInUse},
    {EADDRNOTAVAIL, kWsaEAddrNotAvail},
    {ENETDOWN, kWsaENetDown},
    {ENETUNREACH, kWsaENetUnreach},
    {ENETRESET, kWsaENetReset},
    {ECONNABORTED, kWsaEConnAborted},
    {ECONNRESET, kWsaEConnReset},
    {EPIPE, kWsaEConnReset},
    {ENOBUFS, kWsaENoBufs},
    {ENOMEM, kWsaENoBufs},
    {EISCONN, kWsaEIsConn},
    {ENOTCONN, kWsaENotConn},
    {ESHUTDOWN, kWsaEShutdown},
    {ETIMEDOUT, kWsaETimedOut},
    {ECONNREFUSED, kWsaEConnRefused},
    {EHOSTUNREACH, kWsaEHostUnreach},
    {EHOSTDOWN, kWsaEHostUnreach},
};

// File and process errors: errno <-> Win32.
constexpr ErrnoPair kSystemErrors[] = {
    {ENOENT, static_cast<int>(kErrorFileNotFound)},
    {ENOTDIR, static_cast<int>(kErrorPathNotFound)},
    {EACCES, static_cast<int>(kErrorAccessDenied)},
    {EPERM, static_cast<int>(kErrorAccessDenied)},
    {EROFS, static_cast<int>(kErrorAccessDenied)},
    {EBADF, static_cast<int>(kErrorInvalidHandle)},
    {ENOMEM, static_cast<int>(kErrorNotEnoughMemory)},
    {EEXIST, static_cast<int>(kErrorAlreadyExists)},
    {EINVAL, static_cast<int>(kErrorInvalidParameter)},
    {ENOSYS, static_cast<int>(kErrorCallNotImplemented)},
    {EOPNOTSUPP, static_cast<int>(kErrorNotSupported)},
    {ERANGE, static_cast<int>(kErrorInsufficientBuffer)},
    {ESRCH, static_cast<int>(kErrorInvalidParameter)},
    {ENOSPC, 112},        // ERROR_DISK_FULL
    {EXDEV, 17},          // ERROR_NOT_SAME_DEVICE
    {ENAMETOOLONG, 206},  // ERROR_FILENAME_EXCED_RANGE
    {ENOTEMPTY, 145},     // ERROR_DIR_NOT_EMPTY
    {EIO, 1117},          // ERROR_IO_DEVICE
    {EMFILE, 4},          // ERROR_TOO_MANY_OPEN_FILES
    {ENFILE, 4},
};

template <std::size_t N>
int lookup(const ErrnoPair (&table)[N], int err, int fallback) {
    for (const auto& p : table) {
        if (p.err == err)
            return p.windows;
    }
    return fallback;
}

template <std::size_t N>
int reverse(const ErrnoPair (&table)[N], int windows) {
    for (const auto& p : table) {
        if (p.windows == windows)
            return p.err;
    }
    return 0;
}

}  // namespace

int wsaErrorFromErrno(int err) {
    return lookup(kSocketErrors, err, kWsaEInval);
}

std::uint32_t win32ErrorFromErrno(int err) {
    return static_cast<std::uint32_t>(lookup(kSystemErrors, err, 31));  // ERROR_GEN_FAILURE
}

int wsaErrorFromGai(int gaiResult, int savedErrno) {
    switch (gaiResult) {
        case 0:
            return 0;
        case EAI_NONAME:
#ifdef EAI_NODATA
        case EAI_NODATA:
#endif
#ifdef EAI_ADDRFAMILY
        case EAI_ADDRFAMILY:
#endif
            return kWsaHostNotFound;
        case EAI_AGAIN:
            return kWsaTryAgain;
        case EAI_FAIL:
            return kWsaNoRecovery;
        case EAI_FAMILY:
            return kWsaEAfNoSupport;
        case EAI_MEMORY:
            return kWsaENoBufs;
        case EAI_SERVICE:
            return kWsaTypeNotFound;
        case EAI_SOCKTYPE:
            return 10044;  // WSAESOCKTNOSUPPORT
        case EAI_SYSTEM:
            return wsaErrorFromErrno(savedErrno);
        default:
            return kWsaNoRecovery;
    }
}

int errnoFromWindowsError(std::uint32_t code) {
    const int c = static_cast<int>(code);
    if (c == kWsaEWouldBlock)
        return EWOULDBLOCK;
    if (c == kWsaEConnReset)
        return ECONNRESET;
    if (c == kWsaENotSock)
        return ENOTSOCK;
    if (c == kWsaEAcces)
        return EACCES;
    if (c == kWsaEMFile)
        return EMFILE;
    if (c == kWsaENoBufs)
        return ENOBUFS;
    if (int e = reverse(kSocketErrors, c))
        return e;
    return reverse(kSystemErrors, c);
}

}  // namespace platform
