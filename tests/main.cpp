// Test entry point: every test program runs with one QCoreApplication, so that event loops,
// timers and sockets work in tests the way they do in the driver's threads, and in a network of
// its own (support/ownnetwork.h), so that test programs run side by side.
#include "support/ownnetwork.h"

#include <QCoreApplication>

#include <gtest/gtest.h>

#include <csignal>
#include <cstdlib>
#include <cstring>
#include <pthread.h>

#if defined(__SANITIZE_ADDRESS__)
namespace {
// Set in a child of fork(), a death test's above all. Another thread of the parent may have held
// one of the allocator's locks at the fork; the leak check at the child's exit takes every one of
// them, and the child would hang there. Children are not checked for leaks; the parent is.
volatile std::sig_atomic_t forkedChild = 0;
}  // namespace

extern "C" int __lsan_is_turned_off()
{
    return forkedChild;
}
#endif

int main(int argc, char **argv)
{
#if defined(__SANITIZE_ADDRESS__)
    ::pthread_atfork(nullptr, nullptr, [] { forkedChild = 1; });
#endif
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
