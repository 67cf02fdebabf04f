// Default bodies of the seams: every call fails with "not supported". Real
// implementations and test fakes override what they provide.
#include <sstream>

#include "platform/errors.h"
#include "platform/platform.h"

namespace platform {

int Sockets::startup() {
    return kWsaSysNotReady;
}
int Sockets::cleanup() {
    return kWsaNotInitialised;
}
int Sockets::createTcp(Socket& out) {
    out = kInvalidSocket;
    return kWsaEAfNoSupport;
}
int Sockets::createTcp6(Socket& out) {
    out = kInvalidSocket;
    return kWsaEAfNoSupport;
}
int Sockets::setV6Only(Socket) {
    return kWsaENotSock;
}
int Sockets::limitConnectTime(Socket) {
    return 0;
}
int Sockets::setReuseAddr(Socket) {
    return kWsaENotSock;
}
int Sockets::setNoDelay(Socket) {
    return kWsaENotSock;
}
int Sockets::setNonBlocking(Socket) {
    return kWsaENotSock;
}
int Sockets::bind(Socket, const SockAddr&) {
    return kWsaENotSock;
}
int Sockets::listen(Socket, int) {
    return kWsaENotSock;
}
int Sockets::accept(Socket, Socket& out, SockAddr*) {
    out = kInvalidSocket;
    return kWsaENotSock;
}
int Sockets::connect(Socket, const SockAddr&) {
    return kWsaENotSock;
}
int Sockets::getSockName(Socket, SockAddr&) {
    return kWsaENotSock;
}
int Sockets::getSocketError(Socket, int& pending) {
    pending = 0;
    return kWsaENotSock;
}
int Sockets::send(Socket, const std::uint8_t*, int, int& sent) {
    sent = 0;
    return kWsaENotSock;
}
int Sockets::recv(Socket, std::uint8_t*, int, int& received) {
    received = 0;
    return kWsaENotSock;
}
int Sockets::shutdownSend(Socket) {
    return kWsaENotSock;
}
int Sockets::close(Socket) {
    return kWsaENotSock;
}
int Sockets::select(SocketSet*, SocketSet*, SocketSet*, long, int& ready) {
    ready = 0;
    return kWsaEInval;
}
int Sockets::getAddrInfo(const std::string&, std::vector<AddrInfo>&) {
    return kWsaNoRecovery;
}

long Registry::openKey(const std::wstring&, RegKey& out) {
    out = 0;
    return static_cast<long>(kErrorFileNotFound);
}
long Registry::queryValue(RegKey, const std::wstring&, std::uint32_t&, std::uint8_t*,
                          std::uint32_t&) {
    return static_cast<long>(kErrorFileNotFound);
}
void Registry::closeKey(RegKey) {}
long Registry::createKey(const std::wstring&, RegKey& out) {
    out = 0;
    return static_cast<long>(kErrorNotSupported);
}
long Registry::writeValue(RegKey, const std::wstring&, std::uint32_t, const std::uint8_t*,
                          std::uint32_t) {
    return static_cast<long>(kErrorNotSupported);
}
std::wstring Registry::describeSource(const std::wstring& subKey, bool& missing) {
    // A missing key is reported by every read of it already.
    missing = false;
    return L"registry key HKLM\\" + subKey;
}

void EventLog::report(const std::wstring&, std::uint16_t, const std::wstring&) {}
std::uint32_t EventLog::registerSource(const std::wstring&, const std::wstring&) {
    return kErrorNotSupported;
}
std::uint32_t EventLog::removeSource(const std::wstring&) {
    return kErrorNotSupported;
}

std::uint32_t TcpTable::getExtendedTcpTable(std::uint16_t, std::uint8_t*, std::uint32_t&,
                                            const TcpOwnerHint*) {
    return kErrorNotSupported;
}

std::uint32_t Identity::ownerSessionId(SocketOwner, std::int64_t, std::uint32_t&) {
    return kErrorNotSupported;
}
std::uint32_t Identity::enumerateSessions(std::vector<SessionEntry>&) {
    return kErrorNotSupported;
}
std::uint32_t Identity::queryUserToken(std::uint32_t, Token& out) {
    out = kInvalidToken;
    return kErrorNotSupported;
}
std::uint32_t Identity::duplicateToken(Token, Token& out) {
    out = kInvalidToken;
    return kErrorNotSupported;
}
void Identity::closeToken(Token) {}
std::uint32_t Identity::getTokenInformation(Token, std::uint32_t, std::uint8_t*, std::uint32_t,
                                            std::uint32_t& returned) {
    returned = 0;
    return kErrorNotSupported;
}
bool Identity::tokenUserSid(const std::vector<std::uint8_t>&, Sid&) {
    return false;
}
bool Identity::tokenGroupSids(const std::vector<std::uint8_t>&, std::vector<Sid>&) {
    return false;
}
std::uint32_t Identity::lookupAccountSid(const Sid&, std::uint32_t, std::wstring&, std::wstring&) {
    return kErrorNoneMapped;
}
bool Identity::sidToString(const Sid&, std::wstring&) {
    return false;
}

std::int32_t Files::programDataFolder(std::wstring&) {
    return static_cast<std::int32_t>(0x80070002u);  // HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND)
}
int Files::createDirectory(const std::wstring&) {
    return static_cast<int>(kErrorNotSupported);
}
wchar_t Files::separator() {
    return L'\\';
}
std::uint32_t Files::deleteFile(const std::wstring&) {
    return kErrorNotSupported;
}
bool Files::fileExists(const std::wstring&) {
    return false;
}
std::uint32_t Files::moveFileNoReplace(const std::wstring&, const std::wstring&) {
    return kErrorNotSupported;
}
std::unique_ptr<std::ostream> Files::openTextForWrite(const std::wstring&) {
    auto s = std::make_unique<std::ostringstream>();
    s->setstate(std::ios::failbit);
    return s;
}
std::unique_ptr<std::istream> Files::openTextForRead(const std::wstring&, std::uint32_t& error) {
    error = kErrorNotSupported;
    auto s = std::make_unique<std::istringstream>();
    s->setstate(std::ios::failbit);
    return s;
}
std::uint32_t Files::replacePrivateFile(const std::wstring&, const std::string&) {
    return kErrorNotSupported;
}
std::uint32_t Files::readWholeFile(const std::wstring&, std::string& out) {
    out.clear();
    return kErrorNotSupported;
}

std::uint32_t ServiceControl::startDispatcher(const std::wstring&, ServiceMainFn) {
    return kErrorFailedServiceControllerConnect;
}
std::uint32_t ServiceControl::registerHandler(const std::wstring&, ControlHandlerFn,
                                              StatusHandle& out) {
    out = 0;
    return kErrorNotSupported;
}
std::uint32_t ServiceControl::setStatus(StatusHandle, const ServiceStatus&) {
    return kErrorInvalidHandle;
}
std::uint32_t ServiceControl::setStatusText(const std::wstring&) {
    return kErrorNotSupported;
}
std::uint32_t ServiceControl::openManager(std::uint32_t, ScmHandle& out) {
    out = 0;
    return kErrorNotSupported;
}
std::uint32_t ServiceControl::createService(ScmHandle, const std::wstring&, const std::wstring&,
                                            const std::wstring&, ScmHandle& out) {
    out = 0;
    return kErrorNotSupported;
}
std::uint32_t ServiceControl::openService(ScmHandle, const std::wstring&, std::uint32_t,
                                          ScmHandle& out) {
    out = 0;
    return kErrorNotSupported;
}
std::uint32_t ServiceControl::controlStop(ScmHandle, ServiceStatus&) {
    return kErrorNotSupported;
}
std::uint32_t ServiceControl::queryStatus(ScmHandle, ServiceStatus&) {
    return kErrorNotSupported;
}
std::uint32_t ServiceControl::deleteService(ScmHandle) {
    return kErrorNotSupported;
}
std::uint32_t ServiceControl::setFailureActions(ScmHandle, const FailureActions&) {
    return kErrorNotSupported;
}
void ServiceControl::closeHandle(ScmHandle) {}

// Windows has nothing to prepare: a write to a broken pipe just fails.
void Process::prepareProcess() {}
bool Process::addConsoleCtrlHandler(ConsoleCtrlHandlerFn) {
    return false;
}
void Process::writeStdout(const std::string&) {}
bool Process::commandLineArgs(std::vector<std::wstring>&) {
    return false;
}
std::uint32_t Process::modulePath(std::uint32_t, std::wstring&) {
    return kErrorNotSupported;
}
std::uint32_t Process::lastError() {
    return 0;
}
void Process::setLastError(std::uint32_t) {}
bool Process::formatSystemMessage(std::uint32_t, std::wstring&) {
    return false;
}
void Process::sleepMillis(std::uint32_t) {}
std::uint32_t Process::raiseDescriptorLimit(std::uint64_t& limit) {
    limit = 0;
    return kErrorNotSupported;
}

std::int64_t Clock::nowTicks() {
    return 0;
}

int Text::wideToMultiByte(const wchar_t*, char*, int, std::uint32_t& error) {
    error = kErrorNotSupported;
    return 0;
}
int Text::multiByteToWide(const char*, wchar_t*, int, std::uint32_t& error) {
    error = kErrorNotSupported;
    return 0;
}
std::uint32_t Text::formatMessage(std::uint32_t, wchar_t*, std::uint32_t) {
    return 0;
}

}  // namespace platform
