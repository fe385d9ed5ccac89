#include "providers/device/OSProvider.h"

#include "providers/device/OSDetect.h"
#include "support/Categories.h"
#include "support/TempDir.h"

#include <gtest/gtest.h>

#include <sys/utsname.h>

using TestSupport::readProvider;
using TestSupport::ScopedEnv;
using TestSupport::TempDir;

namespace {

// IGEL's tools, as small scripts in front of PATH; each run is recorded.
class FakeIgelTools {
public:
    FakeIgelTools(const std::string& version, const std::string& productName, const std::string& unitId)
        : _path("PATH", TestSupport::pathWith(_dir.path()))
    {
        _dir.script("get", "echo \"$@\" >> '" + _dir.file("runs") + "'\n"
                           "case \"$1\" in\n"
                           "  product.version) printf '%s\\n' '" + version + "' ;;\n"
                           "  product.productname) printf '%s\\n' '" + productName + "' ;;\n"
                           "esac");
        _dir.script("get_unit_id", "echo get_unit_id >> '" + _dir.file("runs") + "'\nprintf '" + unitId + "'");
    }
    std::string runs() const { return TestSupport::readWhole(_dir.file("runs")); }

private:
    TempDir _dir;
    ScopedEnv _path;
};

}  // namespace

TEST(OSProvider, ReportsIgelFactsFromItsTools)
{
    FakeIgelTools tools("11.09.100", "IGEL OS 11", "  00E0C5123456\n");
    utsname system{};
    ASSERT_EQ(uname(&system), 0);
    const PropertyMap all = readProvider<OSProvider>("OS");
    EXPECT_EQ(all.at("DEVICE_OS_NAME"), "IGEL");
    EXPECT_EQ(all.at("DEVICE_OS_VERSION"), "11.09.100");
    const std::string productId = TestSupport::readWhole("/etc/productid");
    if (productId.empty()) {
        EXPECT_EQ(all.at("DEVICE_OS_DESCRIPTION"), "IGEL OS 11 ()");
    }
    EXPECT_EQ(all.at("DEVICE_OS_TYPE"), "Client");
    EXPECT_EQ(all.at("DEVICE_OS_PLATFORM"), OSProvider::platformName(system.machine));
    EXPECT_EQ(all.at("DEVICE_OS_ID"), "00E0C5123456");
    EXPECT_EQ(all.size(), 6U);
}

TEST(OSProvider, BlankUnitIdIsUnavailableAndMissingOrFailingToolsGiveEmptyTexts)
{
    {
        FakeIgelTools tools("", "", " \t\n");
        EXPECT_EQ(readProvider<OSProvider>("OS", 1, 0x40).at("DEVICE_OS_ID"), "Unavailable");
    }
    // No IGEL tools at all, or tools that fail whatever they print.
    TempDir missing;
    TempDir failing;
    failing.script("get", "echo 11.09; exit 2");
    failing.script("get_unit_id", "echo 00E0C5123456; exit 2");
    for (const TempDir* tools : {&missing, &failing}) {
        ScopedEnv path("PATH", tools->path());
        const PropertyMap all = readProvider<OSProvider>("OS", 1, 0x04 | 0x40 | 0x02);
        EXPECT_EQ(all.at("DEVICE_OS_VERSION"), "");
        EXPECT_EQ(all.at("DEVICE_OS_ID"), "Unavailable");
        if (TestSupport::readWhole("/etc/productid").empty()) {
            EXPECT_EQ(all.at("DEVICE_OS_DESCRIPTION"), " ()");
        }
    }
}

TEST(OSProvider, CommandsRunOnlyForSelectedKeys)
{
    FakeIgelTools tools("1.0", "IGEL", "ID");
    EXPECT_TRUE(readProvider<OSProvider>("OS", 0, 0x7F).empty());
    EXPECT_TRUE(readProvider<OSProvider>("OS", 1, 0x20).empty());  // a bit the category does not use
    const PropertyMap platform = readProvider<OSProvider>("OS", 1, 0x10 | 0x01 | 0x08);
    EXPECT_EQ(platform.size(), 3U);
    EXPECT_EQ(tools.runs(), "");

    readProvider<OSProvider>("OS", 1, 0x04);
    EXPECT_EQ(tools.runs(), "product.version\n");
}

TEST(OSProvider, PlatformWords)
{
    EXPECT_EQ(OSProvider::platformName("x86_64"), "x64");
    EXPECT_EQ(OSProvider::platformName("i686"), "x86");
    EXPECT_EQ(OSProvider::platformName("i586"), "i586");
    EXPECT_EQ(OSProvider::platformName("aarch64"), "aarch64");
    EXPECT_EQ(OSProvider::getDeviceOS(), "IGEL");
}

TEST(OSDetect, AlwaysIgel)
{
    EXPECT_TRUE(OSDetect::IsIgel());
}
