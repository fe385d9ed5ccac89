// Which endpoint operating system this is; the library is built for IGEL OS.
#pragma once

#include <atomic>
#include <cstdint>

class OSDetect {
public:
    enum : uint32_t { Unknown = 0, Igel = 1, Elux = 2, Linux = 3 };

    static void PerformDetection();
    static bool IsIgel();

private:
    static uint32_t detected();

    static std::atomic<uint32_t> _os;
};
