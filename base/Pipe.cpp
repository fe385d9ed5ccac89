#include "base/Pipe.h"

namespace Base {

Pipe::Pipe(const std::string& command) : _stream(popen(command.c_str(), "r")) {}

Pipe::~Pipe()
{
    close();
}

int Pipe::close()
{
    if (_stream == nullptr) {
        return -1;
    }
    const int status = pclose(_stream);
    _stream = nullptr;
    return status;
}

}  // namespace Base
