// Test entry point: every test program runs with one QCoreApplication, so that event loops,
// timers and sockets work in tests the way they do in the driver's threads, and in a network of
// its own (support/ownnetwork.h), so that test programs run side by side.
#include "support/ownnetwork.h"

#include <QCoreApplication>

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>

int main(int argc, char **argv)
{
    // First, while the program has one thread. Programs that start the real driver are built
    // with STM_FIXED_PORT_TESTS: they take turns where no network of their own can be made, and
    // always when built for the machine's network ("shared").
#ifdef STM_FIXED_PORT_TESTS
    if (std::strcmp(STM_FIXED_PORT_TESTS, "shared") == 0)
        ::setenv("STM_TEST_NETWORK", "shared", 1);
    ownnetwork::setUpForTests(argc, argv, true);
#else
    ownnetwork::setUpForTests(argc, argv, false);
#endif
    ::testing::InitGoogleTest(&argc, argv);
    QCoreApplication app(argc, argv);
    return RUN_ALL_TESTS();
}
