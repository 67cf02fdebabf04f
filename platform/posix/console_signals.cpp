#include "platform/posix/console_signals.h"

#include <pthread.h>
#include <signal.h>

#include <array>
#include <atomic>
#include <mutex>
#include <system_error>
#include <thread>

namespace platform {
namespace {

constexpr std::size_t kMaxHandlers = 32;

// Trivially destructible, so the waiting thread, which lives until the
// process ends, never sees them destroyed under it.
std::array<std::atomic<ConsoleCtrlHandlerFn>, kMaxHandlers> g_handlers{};
std::atomic<std::size_t> g_handlerCount{0};
std::mutex g_registrationMutex;
bool g_waiterStarted = false;

sigset_t consoleSignals() {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGQUIT);
    return set;
}

bool handledByAny(std::uint32_t ctrlType) {
    for (std::size_t i = g_handlerCount.load(); i > 0; --i) {
        ConsoleCtrlHandlerFn handler = g_handlers[i - 1].load();
        if (handler != nullptr && handler(ctrlType))
            return true;
    }
    return false;
}

// Nobody handled the event: let the signal do what it does by default.
void applyDefaultAction(int sig) {
    struct sigaction action {};
    action.sa_handler = SIG_DFL;
    sigemptyset(&action.sa_mask);
    sigaction(sig, &action, nullptr);
    sigset_t only;
    sigemptyset(&only);
    sigaddset(&only, sig);
    pthread_sigmask(SIG_UNBLOCK, &only, nullptr);
    raise(sig);
}

void waitForConsoleSignals() {
    const sigset_t set = consoleSignals();
    for (;;) {
        int sig = 0;
        if (sigwait(&set, &sig) != 0)
            continue;
        const std::uint32_t ctrlType = sig == SIGINT ? kCtrlCEvent : kCtrlBreakEvent;
        if (!handledByAny(ctrlType))
            applyDefaultAction(sig);
    }
}

}  // namespace

bool addConsoleSignalHandler(ConsoleCtrlHandlerFn handler) {
    std::lock_guard<std::mutex> lock(g_registrationMutex);
    const std::size_t count = g_handlerCount.load();
    if (count == kMaxHandlers)
        return false;
    if (!g_waiterStarted) {
        const sigset_t set = consoleSignals();
        pthread_sigmask(SIG_BLOCK, &set, nullptr);
        try {
            std::thread(waitForConsoleSignals).detach();
        } catch (const std::system_error&) {
            return false;
        }
        g_waiterStarted = true;
    }
    g_handlers[count].store(handler);
    g_handlerCount.store(count + 1);
    return true;
}

}  // namespace platform
