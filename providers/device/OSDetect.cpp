#include "providers/device/OSDetect.h"

std::atomic<uint32_t> OSDetect::_os{OSDetect::Unknown};

void OSDetect::PerformDetection()
{
    _os = Igel;
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

