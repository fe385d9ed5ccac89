// Test main: logging goes to a file of the test run's own, never to the
// machine's default log file.
#include "core/cvclient.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <unistd.h>

int main(int argc, char** argv)
{
    ::testing::InitGoogleTest(&argc, argv);
    std::string ownLog;
    if (std::getenv("CORVANE_LOGGING_FILE") == nullptr) {
        ownLog = "/tmp/cvclient-test-" + std::to_string(getpid()) + ".log";
        setenv("CORVANE_LOGGING_FILE", ownLog.c_str(), 1);
    }
#ifndef CVCLIENT_NO_TRACE_INIT
    TRACE_INIT(0);
#endif
    const int result = RUN_ALL_TESTS();
    if (!ownLog.empty() && result == 0 && std::getenv("CVCLIENT_KEEP_TEST_LOG") == nullptr) {
        unlink(ownLog.c_str());
    }
    return result;
}
