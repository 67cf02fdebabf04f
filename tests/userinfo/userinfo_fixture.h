// Installs fake identity, TCP table and files seams and a recording event
// log for the duration of a test.
#pragma once

#include <string>
#include <vector>

#include "platform/platform.h"
#include "support/logging.h"
#include "tests/fakes/fake_files.h"
#include "tests/fakes/fake_identity.h"
#include "tests/fakes/fake_tcp_table.h"
#include "tests/fakes/platform_fixture.h"

class UserinfoPlatform {
public:
    UserinfoPlatform() : m_scope(make()) {}

    FakeEventLog& log() { return m_recording.log(); }
    FakeClock& clock() { return m_recording.clock(); }
    std::vector<std::string> messages() { return log().narrowTexts(); }
    std::vector<std::uint16_t> types() {
        std::vector<std::uint16_t> out;
        for (const auto& e : log().events())
            out.push_back(e.type);
        return out;
    }

    FakeIdentity identity;
    FakeTcpTable tcpTable;
    FakeFiles files;

private:
    platform::Platform make() {
        platform::Platform p = platform::current();
        p.identity = &identity;
        p.tcpTable = &tcpTable;
        p.files = &files;
        return p;
    }

    // A clock of its own, so messages held back once a second by an earlier
    // test are due again.
    RecordingPlatform m_recording{true};
    platform::ScopedPlatform m_scope;
};
