// A service host of its own for each test, over fakes for the service
// manager, the process, the registry, the files and the event log, with the
// debug mode off.
#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "platform/errors.h"
#include "platform/platform.h"
#include "service/command_line.h"
#include "service/service_host.h"
#include "support/logging.h"
#include "tests/fakes/fake_event_log.h"
#include "tests/fakes/fake_files.h"
#include "tests/fakes/fake_process.h"
#include "tests/fakes/fake_registry.h"
#include "tests/fakes/fake_service_control.h"
#include "userinfo/user_information.h"

// Records diagnostic messages and lets a test wait for one.
class WaitableEventLog : public FakeEventLog {
public:
    void report(const std::wstring& source, std::uint16_t type, const std::wstring& text) override {
        FakeEventLog::report(source, type, text);
        std::lock_guard<std::mutex> lock(m_waitMutex);
        m_arrived.notify_all();
    }
    bool waitFor(const std::string& fragment,
                 std::chrono::milliseconds limit = std::chrono::seconds(20)) {
        std::unique_lock<std::mutex> lock(m_waitMutex);
        return m_arrived.wait_for(lock, limit, [&] { return contains(fragment); });
    }

private:
    std::mutex m_waitMutex;
    std::condition_variable m_arrived;
};

class ServiceHostTest : public ::testing::Test {
protected:
    ServiceHostTest() : m_scope(makePlatform()) { setDebugMode(false); }
    ~ServiceHostTest() override { setDebugMode(false); }

    // Runs the program's entry with `args` after the program's name.
    int runEntry(ServiceHost& host, std::vector<std::string> args) {
        args.insert(args.begin(), "vornclient");
        std::vector<char*> argv;
        for (auto& a : args)
            argv.push_back(&a[0]);
        argv.push_back(nullptr);
        return serviceEntry(host, static_cast<int>(args.size()), argv.data());
    }
    int runEntry(std::vector<std::string> args) { return runEntry(m_host, std::move(args)); }

    // What the program printed since the last call.
    std::string console() { return m_process.takeStdout(); }

    // Reports of one state, in order.
    std::vector<platform::ServiceStatus> reportsOf(std::uint32_t state) const {
        std::vector<platform::ServiceStatus> out;
        for (const auto& r : m_scm.reports()) {
            if (r.currentState == state)
                out.push_back(r);
        }
        return out;
    }

    WaitableEventLog m_log;
    FakeServiceControl m_scm;
    FakeProcess m_process;
    FakeRegistry m_registry;
    FakeFiles m_files;
    platform::Identity m_identity;  // every call fails: no sessions

private:
    platform::Platform makePlatform() {
        platform::Platform p = platform::native();
        p.eventLog = &m_log;
        p.serviceControl = &m_scm;
        p.process = &m_process;
        p.registry = &m_registry;
        p.files = &m_files;
        p.identity = &m_identity;
        return p;
    }

    platform::ScopedPlatform m_scope;

protected:
    // Declared after the platform's scope, so that it is gone before the
    // fakes are.
    ServiceHost m_host;
};
