// SPDX-License-Identifier: Apache-2.0
#include "providers/device/OSDetect.h"

#include "base/Logging.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <iostream>

std::atomic<uint32_t> OSDetect::_os{OSDetect::Unknown};

namespace {

bool onPath(const std::string& path, const std::string& tool)
{
    for (std::size_t start = 0; start <= path.size();) {
        const std::size_t end = std::min(path.find(':', start), path.size());
        const std::string directory = path.substr(start, end - start);
        start = end + 1;
        if (directory.empty()) {
            continue;
        }
        const std::string file = directory + "/" + tool;
        struct stat status {};
        if (stat(file.c_str(), &status) == 0 && S_ISREG(status.st_mode) && access(file.c_str(), X_OK) == 0) {
            return true;
        }
    }
    return false;
}

}  // namespace

uint32_t OSDetect::detect(const std::string& path)
{
    return onPath(path, "get") && onPath(path, "get_unit_id") ? Igel : Linux;
}

void OSDetect::PerformDetection()
{
    const char* path = std::getenv("PATH");
    const uint32_t os = detect(path != nullptr ? path : "");
    TRACE_INFO << "Endpoint operating system [" << (os == Igel ? "IGEL OS" : "Linux")
               << "]: IGEL's tools get and get_unit_id " << (os == Igel ? "are" : "are not both") << " on PATH"
               << std::endl;
    _os = os;
}

uint32_t OSDetect::detected()
{
    if (_os == Unknown) {
        PerformDetection();
    }
    return _os;
}

bool OSDetect::IsIgel()
{
    return detected() == Igel;
}

bool OSDetect::IsElux()
{
    return detected() == Elux;
}

bool OSDetect::IsLinux()
{
    return detected() == Linux;
}
