// SPDX-License-Identifier: Apache-2.0
// The INFO and VERBOSE lines of one piece of work, kept back until it is known
// whether they are worth writing. A periodic check that finds nothing new
// would otherwise write a dozen lines for every category every interval.
//
//     Base::HeldLines held;            // this thread's INFO and VERBOSE lines wait
//     changes = checkForPropertyChanges();
//     if (!changes.empty()) {
//         held.release();              // written, with the times they were logged at
//     }                                // else dropped when `held` goes
//
// WARNING and ERROR lines are written at once, held or not: an administrator
// sees every one of them (each names what failed and with what). Past
// kMaximumLines held, what is held is written and the holding ends, so it
// never grows without bound. A HeldLines made on a thread that already holds
// does nothing.
#pragma once

#include <sys/time.h>

#include <cstddef>
#include <string>
#include <vector>

namespace Base {

class HeldLines {
public:
    static constexpr std::size_t kMaximumLines = 2000;
    static constexpr std::size_t kUsualLines = 128;

    HeldLines();
    ~HeldLines();
    HeldLines(const HeldLines&) = delete;
    HeldLines& operator=(const HeldLines&) = delete;

    // Writes what is held and ends the holding.
    void release();

    // For the log's sinks: keeps a line back (true) when the calling thread
    // holds and the line is INFO or VERBOSE.
    static bool hold(int level, const std::string& text);

private:
    struct Line {
        timeval time;
        int level;
        std::string text;
    };

    bool _active = false;
    std::vector<Line> _lines;
};

}  // namespace Base
