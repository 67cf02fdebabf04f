// Error numbers as the Windows platform reports them. The POSIX layer maps
// errno onto these in one table, so the core and its messages are the same
// on both platforms.
#pragma once

#include <cstdint>

namespace platform {

// Win32 system error codes (GetLastError).
constexpr std::uint32_t kErrorSuccess = 0;
constexpr std::uint32_t kErrorFileNotFound = 2;
constexpr std::uint32_t kErrorPathNotFound = 3;
constexpr std::uint32_t kErrorAccessDenied = 5;
constexpr std::uint32_t kErrorInvalidHandle = 6;
constexpr std::uint32_t kErrorNotEnoughMemory = 8;
constexpr std::uint32_t kErrorNotSupported = 50;
constexpr std::uint32_t kErrorFileExists = 80;
constexpr std::uint32_t kErrorInvalidParameter = 87;
constexpr std::uint32_t kErrorCallNotImplemented = 120;
constexpr std::uint32_t kErrorInsufficientBuffer = 122;
constexpr std::uint32_t kErrorAlreadyExists = 183;
constexpr std::uint32_t kErrorMoreData = 234;
constexpr std::uint32_t kErrorNoMoreItems = 259;
constexpr std::uint32_t kErrorNoToken = 1008;
constexpr std::uint32_t kErrorServiceDoesNotExist = 1060;
constexpr std::uint32_t kErrorServiceNotActive = 1062;
constexpr std::uint32_t kErrorServiceSpecificError = 1066;
constexpr std::uint32_t kErrorServiceExists = 1073;
constexpr std::uint32_t kErrorFailedServiceControllerConnect = 1063;
constexpr std::uint32_t kErrorNoneMapped = 1332;

// No file there, or no folder on the way to it.
inline bool isNotFound(std::uint32_t error) {
    return error == kErrorFileNotFound || error == kErrorPathNotFound;
}

// Windows Sockets error codes (WSAGetLastError).
constexpr int kWsaEIntr = 10004;
constexpr int kWsaEBadF = 10009;
constexpr int kWsaEAcces = 10013;
constexpr int kWsaEFault = 10014;
constexpr int kWsaEInval = 10022;
constexpr int kWsaEMFile = 10024;
constexpr int kWsaEWouldBlock = 10035;
constexpr int kWsaEInProgress = 10036;
constexpr int kWsaEAlready = 10037;
constexpr int kWsaENotSock = 10038;
constexpr int kWsaEMsgSize = 10040;
constexpr int kWsaEProtoNoSupport = 10043;
constexpr int kWsaEOpNotSupp = 10045;
constexpr int kWsaEAfNoSupport = 10047;
constexpr int kWsaEAddrInUse = 10048;
constexpr int kWsaEAddrNotAvail = 10049;
constexpr int kWsaENetDown = 10050;
constexpr int kWsaENetUnreach = 10051;
constexpr int kWsaENetReset = 10052;
constexpr int kWsaEConnAborted = 10053;
constexpr int kWsaEConnReset = 10054;
constexpr int kWsaENoBufs = 10055;
constexpr int kWsaEIsConn = 10056;
constexpr int kWsaENotConn = 10057;
constexpr int kWsaEShutdown = 10058;
constexpr int kWsaETimedOut = 10060;
constexpr int kWsaEConnRefused = 10061;
constexpr int kWsaEHostUnreach = 10065;
constexpr int kWsaSysNotReady = 10091;
constexpr int kWsaNotInitialised = 10093;
constexpr int kWsaHostNotFound = 11001;
constexpr int kWsaTryAgain = 11002;
constexpr int kWsaNoRecovery = 11003;
constexpr int kWsaNoData = 11004;
constexpr int kWsaTypeNotFound = 10109;

}  // namespace platform
