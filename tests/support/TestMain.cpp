// SPDX-License-Identifier: Apache-2.0
// Test main: the library logs to a file of the test run's own, removed when every test passed.
#include "core/cvclient.h"

#include <gtest/gtest.h>
#include <unistd.h>

int main(int argc, char** argv)
{
    ::testing::InitGoogleTest(&argc, argv);
    const std::string ownLog = "/tmp/cvclient-test-" + std::to_string(getpid()) + ".log";
    const bool own = setenv("CORVANE_LOGGING_FILE", ownLog.c_str(), 0) == 0 && ownLog == getenv("CORVANE_LOGGING_FILE");
#ifndef CVCLIENT_NO_TRACE_INIT
    TRACE_INIT(0);
#endif
    const int result = RUN_ALL_TESTS();
    if (own && result == 0 && getenv("CVCLIENT_KEEP_TEST_LOG") == nullptr) unlink(ownLog.c_str());
    return result;
}
