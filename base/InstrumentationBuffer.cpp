// SPDX-License-Identifier: Apache-2.0
#include "base/InstrumentationBuffer.h"

#include "base/HeldLines.h"
#include "base/Logging.h"


#include <cstdio>

void InstrumentationThreadState::cleanup(void* state)
{
    delete static_cast<InstrumentationThreadState*>(state);
}

InstrumentationBuffer::InstrumentationBuffer(pthread_key_t key) : _key(key) {}

InstrumentationBuffer::~InstrumentationBuffer() = default;

InstrumentationThreadState* InstrumentationBuffer::state()
{
    auto* current = static_cast<InstrumentationThreadState*>(pthread_getspecific(_key));
    if (current != nullptr) {
        return current;
    }
    auto* created = new (std::nothrow) InstrumentationThreadState();
    if (created == nullptr) {
        return nullptr;
    }
    const int error = pthread_setspecific(_key, created);
    if (error != 0) {
        std::printf("Instrumentation failed to set thread state error [%d]", error);
        delete created;
        return nullptr;
    }
    return created;
}

void InstrumentationBuffer::emit(int level, const std::string& text, const timeval* time)
{
    if (time == nullptr && Base::HeldLines::hold(level, text)) {
        return;
    }
    Base::writeSyslogLine(level, text.c_str());
    if ((Base::logFlags() & 1U) != 0) {
        std::fwrite(text.data(), 1, text.size(), stdout);
        std::fflush(stdout);
    }
    Base::writeLogFileLine(text, time);
}

void InstrumentationBuffer::flushLine()
{
    InstrumentationThreadState* current = state();
    if (current == nullptr || current->text.empty()) {
        return;
    }
    emit(current->level, current->text);
    current->text.clear();
    current->level = 7;
}

int InstrumentationBuffer::sync()
{
    flushLine();
    return 0;
}

InstrumentationBuffer::int_type InstrumentationBuffer::overflow(int_type c)
{
    if (traits_type::eq_int_type(c, traits_type::eof())) {
        flushLine();
        return traits_type::not_eof(c);
    }
    InstrumentationThreadState* current = state();
    if (current != nullptr) {
        current->text.push_back(traits_type::to_char_type(c));
    }
    return c;
}

std::streamsize InstrumentationBuffer::xsputn(const char_type* text, std::streamsize count)
{
    InstrumentationThreadState* current = state();
    if (current != nullptr && count > 0) {
        current->text.append(text, static_cast<std::size_t>(count));
    }
    return count;
}
