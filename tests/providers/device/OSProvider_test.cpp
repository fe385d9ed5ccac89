// SPDX-License-Identifier: Apache-2.0
// The OS provider on IGEL OS (its tools faked first on PATH) and on a generic Linux (os-release files bound over
// /etc/os-release and /usr/lib/os-release in the test process's own mount namespace).
#include "providers/device/OSProvider.h"

#include "providers/device/OSDetect.h"
#include "providers/igel/ScreenSaverProvider.h"
#include "support/Categories.h"
#include "support/MountNamespace.h"
#include "support/TempDir.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <sys/utsname.h>

#include <optional>

using namespace TestSupport;

TEST(OSProvider, ReportsIgelFactsFromItsToolsAndRunsThemOnlyWhenSelected)
{
    TempDir tools;
    ScopedEnv path("PATH", pathWith(tools.path()));
    tools.script("get", "echo \"$@\" >> '" + tools.file("runs") + "'\ncase \"$1\" in\n"
                        "  product.version) echo 11.09.100 ;;\n  product.productname) echo 'IGEL OS 11' ;;\nesac");
    tools.script("get_unit_id", "printf '  00E0C5123456\\n'");
    OSDetect::PerformDetection();
    ASSERT_TRUE(OSDetect::IsIgel());
    EXPECT_EQ(OSProvider::getDeviceOS(), "IGEL");
    EXPECT_TRUE(readProvider<OSProvider>("OS", 0, 0x7F).empty());
    EXPECT_EQ(readProvider<OSProvider>("OS", 1, 0x10 | 0x01 | 0x08).size(), 3U);
    EXPECT_EQ(readWhole(tools.file("runs")), "");

    utsname system{};
    ASSERT_EQ(uname(&system), 0);
    const PropertyMap all = readProvider<OSProvider>("OS");
    EXPECT_EQ(all.size(), 6U);
    EXPECT_EQ(all.at("DEVICE_OS_NAME"), "IGEL");
    EXPECT_EQ(all.at("DEVICE_OS_VERSION"), "11.09.100");
    EXPECT_EQ(all.at("DEVICE_OS_TYPE"), "Client");
    EXPECT_EQ(all.at("DEVICE_OS_PLATFORM"), OSProvider::platformName(system.machine));
    EXPECT_EQ(all.at("DEVICE_OS_ID"), "00E0C5123456");
    if (readWhole("/etc/productid").empty()) {
        EXPECT_EQ(all.at("DEVICE_OS_DESCRIPTION"), "IGEL OS 11 ()");
    }

    // A blank unit id, and tools that fail whatever they print.
    tools.script("get_unit_id", "printf ' \\t\\n'");
    EXPECT_EQ(readProvider<OSProvider>("OS", 1, 0x40).at("DEVICE_OS_ID"), "Unavailable");
    tools.script("get", "echo 11.09; exit 2");
    tools.script("get_unit_id", "echo 00E0C5123456; exit 2");
    EXPECT_EQ(readProvider<OSProvider>("OS", 1, 0x04 | 0x40),
              (PropertyMap{{"DEVICE_OS_VERSION", ""}, {"DEVICE_OS_ID", "Unavailable"}}));
}

TEST(OSProvider, IgelOsIsBothOfItsToolsExecutableOnPath)
{
    const TempDir both, one, plain, directory;
    both.script("get", ""), both.script("get_unit_id", "");
    one.script("get", "");
    plain.write("get", ""), plain.write("get_unit_id", "");
    std::filesystem::create_directory(directory.file("get")), directory.script("get_unit_id", "");
    const std::pair<std::string, uint32_t> paths[] = {
        {both.path(), OSDetect::Igel},
        {"/nonexistent::" + one.path() + ":" + both.path(), OSDetect::Igel},
        {one.path() + ":" + directory.path(), OSDetect::Igel},  // each found somewhere
        {one.path(), OSDetect::Linux},
        {plain.path(), OSDetect::Linux},      // not executable
        {directory.path(), OSDetect::Linux},  // `get` a directory
        {"", OSDetect::Linux},
    };
    for (const auto& [path, os] : paths) EXPECT_EQ(OSDetect::detect(path), os) << path;
}

// Elsewhere the facts come from os-release, nothing of IGEL's is started, and what only IGEL's tools know keeps
// its failure value.
TEST(OSProvider, AGenericLinuxReportsItsReleaseFileAndStartsNoIgelTool)
{
    const TempDir files, tools;
    tools.script("get", "touch '" + tools.file("ran") + "'");  // without get_unit_id: not IGEL OS
    const ScopedEnv path("PATH", pathWith(tools.path()));
    OSDetect::PerformDetection();
    ASSERT_TRUE(OSDetect::IsLinux());
    EXPECT_EQ(OSProvider::getDeviceOS(), "Linux");
    utsname system{};
    ASSERT_EQ(uname(&system), 0);
    const auto os = [&](const char* name, const char* version, const char* description) {
        return PropertyMap{{"DEVICE_OS_NAME", name}, {"DEVICE_OS_VERSION", version},
                           {"DEVICE_OS_DESCRIPTION", description}, {"DEVICE_OS_TYPE", "Client"},
                           {"DEVICE_OS_PLATFORM", OSProvider::platformName(system.machine)},
                           {"DEVICE_OS_ID", "Unavailable"}};
    };
    const std::string fifo = files.file("fifo");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0644), 0);
    // /etc/os-release is often a link to /usr/lib/os-release: the file is bound over what it names.
    const std::string hostile = "NAME=\"$(touch " + tools.file("ran") + ")\"\nPRETTY_NAME=";
    const std::pair<std::optional<std::string>, PropertyMap> cases[] = {
        {"NAME=\"Debian GNU/Linux\"\nVERSION_ID=\"12\"\nPRETTY_NAME=\"Debian GNU/Linux 12 (bookworm)\"\n",
         os("Debian GNU/Linux", "12", "Debian GNU/Linux 12 (bookworm)")},
        {"NAME=Ubuntu\nVERSION_ID=\"22.04\"\nPRETTY_NAME=\"Ubuntu 22.04.3 LTS\"\n",
         os("Ubuntu", "22.04", "Ubuntu 22.04.3 LTS")},
        {"NAME=\"Fedora Linux\"\nVERSION_ID=39\nPRETTY_NAME=\"Fedora Linux 39 (Workstation Edition)\"\n",
         os("Fedora Linux", "39", "Fedora Linux 39 (Workstation Edition)")},
        {"NAME=\"Alpine Linux\"\nID=alpine\n", os("Alpine Linux", "Unavailable", "Linux")},
        // Only the first 64 KiB are read.
        {hostile + std::string(100000, 'x') + "\n",
         os(("$(touch " + tools.file("ran") + ")").c_str(), "Unavailable",
            std::string(65536 - hostile.size(), 'x').c_str())},
        {std::nullopt, os("Unavailable", "Unavailable", "Unavailable")},  // a FIFO: never waited on
    };
    for (const auto& [text, expected] : cases) {
        const ScopedMount release(text ? files.write("os-release", *text) : fifo, "/etc/os-release");
        const PropertyMap reading = readProvider<OSProvider>("OS");
        EXPECT_TRUE(reading == expected) << text.value_or("(fifo)").substr(0, 80);
    }
    EXPECT_EQ(readProvider<ScreenSaverProvider>("ScreenSaver"),
              (PropertyMap{{"DEVICE_SCREENSAVER_ENABLED", "false"}, {"DEVICE_SCREENSAVER_SECURE", "false"},
                           {"DEVICE_SCREENSAVER_TIMEOUT", "0"}, {"DEVICE_SCREENSAVER_FILENAME", ""}}));
    EXPECT_FALSE(std::filesystem::exists(tools.file("ran")));
}

TEST(OSProvider, PlatformWords)
{
    const std::pair<const char*, const char*> words[] = {
        {"x86_64", "x64"}, {"i686", "x86"}, {"i586", "i586"}, {"aarch64", "aarch64"}};
    for (const auto& [machine, word] : words) EXPECT_EQ(OSProvider::platformName(machine), word);
}
