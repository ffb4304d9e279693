// Test entry point: every test program runs with one QCoreApplication, so that event loops,
// timers and sockets work in tests the way they do in the driver's threads.
#include <QCoreApplication>

#include <gtest/gtest.h>

int main(int argc, char **argv)
{
    ::testing::InitGoogleTest(&argc, argv);
    QCoreApplication app(argc, argv);
    return RUN_ALL_TESTS();
}
