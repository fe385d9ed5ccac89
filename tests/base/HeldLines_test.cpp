// SPDX-License-Identifier: Apache-2.0
#include "base/HeldLines.h"

#include "base/Logging.h"
#include "support/LogWatch.h"

#include <gtest/gtest.h>

#include <iostream>
#include <thread>

// Held INFO and VERBOSE lines are dropped unless released; WARNING and ERROR lines are written at once; another
// thread and a nested holding are not affected; past the bound, everything held is written.
TEST(HeldLines, VerboseLinesWaitAndAnythingElseBringsThemOut)
{
    const TestSupport::LogWatch log;
    {
        Base::HeldLines held;
        TRACE_VERBOSE << "held-1 dropped" << std::endl;
        std::thread([] { TRACE_VERBOSE << "held-2 other thread" << std::endl; }).join();
    }
    {
        Base::HeldLines held;
        TRACE_INFO << "held-3 released" << std::endl;
        Base::HeldLines inner;
        inner.release();
        TRACE_VERBOSE << "held-4 released" << std::endl;
        held.release();
        TRACE_VERBOSE << "held-5 after release" << std::endl;
    }
    {
        Base::HeldLines held;
        TRACE_VERBOSE << "held-6 before a warning" << std::endl;
        TRACE_WARNING << "held-7 warning" << std::endl;
        TRACE_VERBOSE << "held-8 after the warning" << std::endl;
    }
    {
        Base::HeldLines held;  // past its bound, what is held is written and the holding ends
        for (std::size_t line = 0; line <= Base::HeldLines::kMaximumLines; ++line) {
            TRACE_VERBOSE << "held-9" << std::endl;
        }
    }
    const std::string text = log.text();
    std::string seen;
    for (std::size_t at = text.find("held-"); at != std::string::npos; at = text.find("held-", at + 1)) {
        seen += text[at + 5];
    }
    EXPECT_EQ(seen, "23457" + std::string(Base::HeldLines::kMaximumLines + 1, '9'));
}
