// SPDX-License-Identifier: Apache-2.0
#include "base/HeldLines.h"

#include "base/InstrumentationBuffer.h"
#include "base/Logging.h"

namespace Base {

namespace {

thread_local HeldLines* tHolding = nullptr;

}  // namespace

HeldLines::HeldLines()
{
    if (tHolding == nullptr) {
        tHolding = this;
        _active = true;
        // About what a periodic check of every category holds, so that
        // holding does not grow the list again and again.
        _lines.reserve(kUsualLines);
    }
}

HeldLines::~HeldLines()
{
    if (_active && tHolding == this) {
        tHolding = nullptr;
    }
}

void HeldLines::release()
{
    if (!_active) {
        return;
    }
    _active = false;
    if (tHolding == this) {
        tHolding = nullptr;
    }
    for (const Line& line : _lines) {
        InstrumentationBuffer::emit(line.level, line.text, &line.time);
    }
    _lines.clear();
}

bool HeldLines::hold(int level, const std::string& text)
{
    HeldLines* holding = tHolding;
    if (holding == nullptr || level < LogInfo) {
        return false;
    }
    if (holding->_lines.size() >= kMaximumLines) {
        holding->release();
        return false;
    }
    timeval now{};
    gettimeofday(&now, nullptr);
    holding->_lines.push_back(Line{now, level, text});
    return true;
}

}  // namespace Base
