// Test entry: diagnostic messages go to a recorder in tests (see
// fake_event_log.h), never to the system's log.
#include <gtest/gtest.h>

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
