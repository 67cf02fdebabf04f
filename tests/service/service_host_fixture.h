// Puts the service host in the state of a fresh process, over fakes for the
// service manager, the process, the registry, the files and the event log,
// and restores that state afterwards.
#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>

#include <gtest/gtest.h>

#include "platform/errors.h"
#include "platform/platform.h"
#include "service/console.h"
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
    ServiceHostTest() : m_scope(makePlatform()) { resetHost(); }
    ~ServiceHostTest() override { resetHost(); }

    static void resetHost() {
        g_debugMode = false;
        g_statusHandle = 0;
        g_serviceStatus = platform::ServiceStatus{};
        resetStatusCheckPoint();
        clearServerStopPending();
        g_userInfo.reset();
        g_statusInterval = std::chrono::milliseconds(2000);
    }

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
};
