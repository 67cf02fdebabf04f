#include "tools/loadgen/paced_load.h"

#include <sys/epoll.h>
#include <sys/socket.h>
#include <sys/timerfd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>

#include "tools/common/tool_net.h"
#include "tools/loadgen/bench_net.h"

namespace {

using bench::Clock;

struct Flight {
    toolnet::Fd fd;
    Clock::time_point start;
    bool connected = false;
    bool gotFirstByte = false;
    double setupMs = 0;
    std::string head;  // the first bytes of the response
};

class PacedRun {
public:
    PacedRun(const PacedOptions& options, PacedResult& result)
        : m_options(options), m_result(result) {}

    bool run() {
        m_epoll = toolnet::Fd(::epoll_create1(EPOLL_CLOEXEC));
        m_timer = toolnet::Fd(::timerfd_create(CLOCK_MONOTONIC, TFD_CLOEXEC | TFD_NONBLOCK));
        if (!m_epoll.valid() || !m_timer.valid() || !watch(m_timer.get(), EPOLLIN))
            return false;
        m_begin = Clock::now();
        Clock::time_point lastSweep = m_begin;
        std::vector<epoll_event> events(256);
        while (m_next < m_options.connections || m_inFlight > 0) {
            startDue();
            const int n = ::epoll_wait(m_epoll.get(), events.data(), 256, 100);
            for (int i = 0; i < n; ++i) {
                const int fd = events[i].data.fd;
                if (fd == m_timer.get()) {
                    std::uint64_t expirations = 0;
                    (void)!::read(fd, &expirations, sizeof expirations);
                } else {
                    serve(fd, events[i].events);
                }
            }
            if (bench::millisSince(lastSweep) > 100) {
                expireLate();
                lastSweep = Clock::now();
            }
        }
        m_result.seconds = bench::millisSince(m_begin) / 1000;
        return true;
    }

private:
    Clock::time_point scheduled(long index) const {
        const auto offset =
            std::chrono::duration<double>(static_cast<double>(index) / m_options.rate);
        return m_begin + std::chrono::duration_cast<Clock::duration>(offset);
    }

    bool watch(int fd, std::uint32_t events) {
        epoll_event ev{};
        ev.events = events;
        ev.data.fd = fd;
        return ::epoll_ctl(m_epoll.get(), EPOLL_CTL_ADD, fd, &ev) == 0;
    }

    // Starts every connection whose time has come, then sets the timer for
    // the next one.
    void startDue() {
        const Clock::time_point now = Clock::now();
        while (m_next < m_options.connections && scheduled(m_next) <= now) {
            m_result.latenessMs.push_back(
                std::chrono::duration<double, std::milli>(now - scheduled(m_next)).count());
            startOne();
            if (++m_next == m_options.connections && m_next > 1) {
                m_result.startedPerSecond =
                    static_cast<double>(m_next - 1) / (bench::millisSince(m_begin) / 1000);
            }
        }
        if (m_next == m_options.connections)
            return;
        const auto at = scheduled(m_next).time_since_epoch();  // CLOCK_MONOTONIC
        itimerspec deadline{};
        deadline.it_value.tv_sec = std::chrono::duration_cast<std::chrono::seconds>(at).count();
        deadline.it_value.tv_nsec = static_cast<long>((at % std::chrono::seconds(1)).count());
        ::timerfd_settime(m_timer.get(), TFD_TIMER_ABSTIME, &deadline, nullptr);
    }

    void startOne() {
        auto flight = std::make_unique<Flight>();
        flight->start = Clock::now();
        flight->fd =
            toolnet::connectLoopback(m_options.port, toolnet::kNonBlocking | toolnet::kNoDelay);
        if (!flight->fd.valid()) {
            fail(std::string("connect: ") + std::strerror(errno));
            return;
        }
        const int fd = flight->fd.get();
        if (!watch(fd, EPOLLIN | EPOLLOUT)) {
            fail(std::string("epoll: ") + std::strerror(errno));
            return;
        }
        if (static_cast<std::size_t>(fd) >= m_flights.size())
            m_flights.resize(static_cast<std::size_t>(fd) + 1);
        m_flights[fd] = std::move(flight);
        m_result.maxInFlight = std::max(m_result.maxInFlight, ++m_inFlight);
    }

    void serve(int fd, std::uint32_t events) {
        if (static_cast<std::size_t>(fd) >= m_flights.size() || !m_flights[fd])
            return;
        Flight& f = *m_flights[fd];
        if (!f.connected) {
            int error = 0;
            socklen_t len = sizeof error;
            ::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &len);
            if (error != 0 || !(events & EPOLLOUT)) {
                finish(fd, std::string("connect: ") + std::strerror(error ? error : ECONNRESET));
                return;
            }
            f.connected = true;
            if (!toolnet::writeAll(fd, m_options.request)) {
                finish(fd, std::string("send: ") + std::strerror(errno));
                return;
            }
            epoll_event ev{};
            ev.events = EPOLLIN;
            ev.data.fd = fd;
            ::epoll_ctl(m_epoll.get(), EPOLL_CTL_MOD, fd, &ev);
            return;
        }
        readAvailable(fd, f);
    }

    void readAvailable(int fd, Flight& f) {
        char buf[16 * 1024];
        for (;;) {
            const ssize_t got = ::recv(fd, buf, sizeof buf, MSG_DONTWAIT);
            if (got < 0 && errno == EINTR)
                continue;
            if (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
                return;
            if (got < 0) {
                finish(fd, std::string("recv: ") + std::strerror(errno));
                return;
            }
            if (got == 0) {
                const bool ok = f.head.compare(0, 12, "HTTP/1.1 200") == 0 ||
                                f.head.compare(0, 12, "HTTP/1.0 200") == 0;
                finish(fd, ok ? "" : "unexpected response: " + f.head.substr(0, f.head.find('\r')));
                return;
            }
            if (!f.gotFirstByte) {
                f.gotFirstByte = true;
                f.setupMs = bench::millisSince(f.start);
            }
            if (f.head.size() < 64)
                f.head.append(buf, static_cast<std::size_t>(got));
        }
    }

    void finish(int fd, const std::string& failure) {
        if (failure.empty()) {
            ++m_result.ok;
            m_result.setupMs.push_back(m_flights[fd]->setupMs);
        } else {
            fail(failure);
        }
        ::epoll_ctl(m_epoll.get(), EPOLL_CTL_DEL, fd, nullptr);
        m_flights[fd].reset();
        --m_inFlight;
    }

    void fail(const std::string& failure) {
        if (m_result.failed++ == 0)
            m_result.firstFailure = failure;
    }

    void expireLate() {
        for (std::size_t fd = 0; fd < m_flights.size(); ++fd) {
            if (m_flights[fd] && bench::millisSince(m_flights[fd]->start) > m_options.timeoutMs)
                finish(static_cast<int>(fd), "no complete response in time");
        }
    }

    const PacedOptions& m_options;
    PacedResult& m_result;
    toolnet::Fd m_epoll;
    toolnet::Fd m_timer;
    Clock::time_point m_begin;
    long m_next = 0;
    long m_inFlight = 0;
    std::vector<std::unique_ptr<Flight>> m_flights;  // by descriptor
};

}  // namespace

PacedResult runPaced(const PacedOptions& options) {
    PacedResult result;
    PacedRun run(options, result);
    if (!run.run()) {
        result.failed = options.connections;
        result.firstFailure = std::string("setup: ") + std::strerror(errno);
    }
    return result;
}
