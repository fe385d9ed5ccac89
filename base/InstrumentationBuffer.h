// SPDX-License-Identifier: Apache-2.0
// The stream buffer installed into std::clog: collects each thread's line on
// its own and emits it, whole, when the line is flushed.
#pragma once

#include <pthread.h>
#include <sys/time.h>

#include <streambuf>
#include <string>

struct InstrumentationThreadState {
    int level = 7;
    std::string text;

    // pthread key destructor: frees a thread's state when the thread exits.
    static void cleanup(void* state);
};

class InstrumentationBuffer : public std::streambuf {
public:
    explicit InstrumentationBuffer(pthread_key_t key);
    ~InstrumentationBuffer() override;

    InstrumentationBuffer(const InstrumentationBuffer&) = delete;
    InstrumentationBuffer& operator=(const InstrumentationBuffer&) = delete;

    // The calling thread's state, created on first use; null when it cannot
    // be stored (the failure is reported on stdout).
    InstrumentationThreadState* state();

    // Emits `text` at `level` to every sink; `time`, when given, is the time
    // the line was logged at (else now). Lines the thread holds back
    // (Base::HeldLines) wait.
    static void emit(int level, const std::string& text, const timeval* time = nullptr);

protected:
    int sync() override;
    int_type overflow(int_type c) override;
    std::streamsize xsputn(const char_type* text, std::streamsize count) override;

private:
    void flushLine();

    pthread_key_t _key;
};
