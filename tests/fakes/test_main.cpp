// Test entry: diagnostic messages go to a recorder in tests (see
// fake_event_log.h), never to the system's log.
#include <gtest/gtest.h>

#include "platform/platform.h"

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    // Many tests use real loopback sockets. Winsock serves a process only
    // after it has started the socket library; started once here, a test's
    // own startup and cleanup pair never brings the count back to zero.
    const int socketLibrary = platform::nativeSockets().startup();
    const int result = RUN_ALL_TESTS();
    if (socketLibrary == 0)
        platform::nativeSockets().cleanup();
    return result;
}
