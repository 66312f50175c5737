// Entry point of the update fault tests: GoogleTest with a QCoreApplication,
// which the worker needs to find the folder beside the executable.
#include <gtest/gtest.h>

#include <QCoreApplication>

#include <csignal>

int main(int argc, char** argv)
{
    // Tests fill the disk with a file size limit: a write past it must fail
    // with EFBIG instead of ending the process.
    std::signal(SIGXFSZ, SIG_IGN);
    ::testing::InitGoogleTest(&argc, argv);
    QCoreApplication app(argc, argv);
    return RUN_ALL_TESTS();
}
