#include "providers/device/OSProvider.h"

#include "providers/device/OSDetect.h"
#include "support/Categories.h"
#include "support/TempDir.h"

#include <gtest/gtest.h>

#include <sys/utsname.h>

using namespace TestSupport;

TEST(OSProvider, ReportsIgelFactsFromItsToolsAndRunsThemOnlyWhenSelected)
{
    TempDir tools;
    ScopedEnv path("PATH", pathWith(tools.path()));
    tools.script("get", "echo \"$@\" >> '" + tools.file("runs") + "'\ncase \"$1\" in\n"
                        "  product.version) echo 11.09.100 ;;\n  product.productname) echo 'IGEL OS 11' ;;\nesac");
    tools.script("get_unit_id", "printf '  00E0C5123456\\n'");
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

TEST(OSProvider, PlatformWords)
{
    const std::pair<const char*, const char*> words[] = {
        {"x86_64", "x64"}, {"i686", "x86"}, {"i586", "i586"}, {"aarch64", "aarch64"}};
    for (const auto& [machine, word] : words) {
        EXPECT_EQ(OSProvider::platformName(machine), word);
    }
    EXPECT_EQ(OSProvider::getDeviceOS(), "IGEL");
    EXPECT_TRUE(OSDetect::IsIgel());
}
