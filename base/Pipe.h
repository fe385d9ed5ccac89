// A popen pipe that is always closed: close() hands back pclose's status, the
// destructor closes a pipe nobody closed.
#pragma once

#include <cstdio>
#include <string>

namespace Base {

class Pipe {
public:
    // Starts `command` through the shell, reading its standard output.
    explicit Pipe(const std::string& command);
    ~Pipe();

    Pipe(const Pipe&) = delete;
    Pipe& operator=(const Pipe&) = delete;

    bool isOpen() const { return _stream != nullptr; }
    FILE* stream() const { return _stream; }

    // Waits for the command and returns pclose's raw status (-1 when not open).
    int close();

private:
    FILE* _stream;
};

}  // namespace Base
