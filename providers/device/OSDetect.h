// SPDX-License-Identifier: Apache-2.0
// Which endpoint operating system this is, answered once per process: IGEL OS
// when both of its tools, `get` and `get_unit_id`, are executables on PATH;
// any other system is a generic Linux. eLux has its value but is never
// detected.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>

class OSDetect {
public:
    enum : uint32_t { Unknown = 0, Igel = 1, Elux = 2, Linux = 3 };

    // Detects the system from the process's PATH now (again, if it was).
    static void PerformDetection();
    static bool IsIgel();
    static bool IsElux();
    static bool IsLinux();

    // The system that a PATH value (directories separated by colons) tells:
    // Igel when each of IGEL's tools is an executable regular file in one of
    // its directories, else Linux. Empty entries (the current directory) are
    // not looked in.
    static uint32_t detect(const std::string& path);

private:
    static uint32_t detected();

    static std::atomic<uint32_t> _os;
};
