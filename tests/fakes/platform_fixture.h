// Installs the native platform with a recording event log (and optionally a
// fake clock) for the duration of a test.
#pragma once

#include <memory>

#include "platform/platform.h"
#include "tests/fakes/fake_clock.h"
#include "tests/fakes/fake_event_log.h"

class RecordingPlatform {
public:
    explicit RecordingPlatform(bool fakeClock = false) : m_scope(make(fakeClock)) {}
    FakeEventLog& log() { return m_log; }
    FakeClock& clock() { return m_clock; }
    // The platform now in use, to override further seams:
    //   platform::Platform p = platform::current(); p.registry = &fake;
    //   platform::ScopedPlatform more(p);

private:
    platform::Platform make(bool fakeClock) {
        platform::Platform p = platform::native();
        p.eventLog = &m_log;
        if (fakeClock)
            p.clock = &m_clock;
        return p;
    }
    FakeEventLog m_log;
    FakeClock m_clock;
    platform::ScopedPlatform m_scope;
};
