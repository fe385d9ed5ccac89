// SPDX-License-Identifier: Apache-2.0
// A platform library missing from the endpoint (a text file bind-mounted over it in this process's own mount
// namespace): the library still loads, the categories that need it report their failure values with one ERROR line
// naming it, and every other category answers. Each row in a new run of this program, which loads the library afresh.
#include "support/IgelFakes.h"
#include "support/Json.h"
#include "support/LoadedLibrary.h"
#include "support/LogWatch.h"
#include "support/MountNamespace.h"
#include "support/NetworkManagerService.h"
#include "support/OwnProcess.h"
#include "support/SystemBus.h"

#include <dlfcn.h>
#include <gtest/gtest.h>
#include <link.h>

#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>

using namespace TestSupport;

// The child's part: the reported "KEY=value" pairs and the keys present and absent are as the row says.
TEST(MissingLibrary, OneInitialiseInAProcessOfItsOwn)
{
    const char* initialise = getenv("CVCLIENT_LAZY_TEST_INITIALISE");
    if (initialise == nullptr) GTEST_SKIP() << "run by the test below, in a process of its own";
    const std::string reported = initialAnswer(initialise);
    std::istringstream expected(getenv("CVCLIENT_LAZY_TEST_EXPECTED"));
    for (std::string item; expected >> item;) {
        const bool absent = item[0] == '!';
        EXPECT_EQ(reported.find(" " + item.substr(absent ? 1 : 0)) == std::string::npos, absent) << item << reported;
    }
}

TEST(MissingLibrary, CategoriesThatNeedItReportFailuresTheOthersAnswer)
{
    // An IGEL OS endpoint with a management server certificate, for libcrypto's row.
    enterPrivateRoot();
    std::filesystem::create_directory("/wfs");
    ASSERT_EQ(std::system("openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -days 2 -keyout "
                          "/dev/null -out /wfs/server.crt -subj /CN=ums 2>/dev/null"), 0);
    const FakeIgelGet igel;
    // A machine id of the test's own, where the endpoint has one: the device id without libsystemd comes from it.
    const TempDir ids;
    std::optional<ScopedMount> machineId;
    if (std::filesystem::exists("/etc/machine-id")) {
        std::ofstream(ids.file("machine-id")) << "00112233445566778899aabbccddeeff\n";
        machineId.emplace(ids.file("machine-id"), "/etc/machine-id");
    }
    // Every row on a private system bus of the test's own, NetworkManager on it for the rows that want it.
    SystemBus::instance();
    struct Row {
        const char* soname;
        std::string categories, expected;
        std::vector<std::string> errors;
        bool networkManager = false;
    };
    for (const Row& row : std::vector<Row>{
             // sd-bus serves the categories that ask D-Bus services; the device id is read from its file then.
             {"libsystemd.so.0", R"({"name":"Name","status":2},{"name":"OS","status":2},{"name":"Corvane","status":2})",
              std::string("DEVICE_NAME=Unavailable DEVICE_ID=Unavailable DEVICE_OS_DESCRIPTION= "
                          "DEVICE_CORVANE_VERSION= ") +
                  (machineId ? "deviceId=33221100-5544-7746-8899-AABBCCDDEEFF" : "deviceId=Unavailable"),
              {"Category [Name] needs [libsystemd.so.0], which cannot be loaded: "}},
             // libnm is needed only where NetworkManager runs; elsewhere Network's interfaces come from the kernel
             // and Location has no access points, both without a line naming libnm.
             {"libnm.so.0", R"({"name":"Network","status":2},{"name":"OS","status":2},{"name":"Corvane","status":2})",
              "DEVICE_NETWORK_COUNT=Unavailable !DEVICE_NETWORK_0_ DEVICE_OS_DESCRIPTION= DEVICE_CORVANE_VERSION=",
              {"Category [Network] needs [libnm.so.0], which cannot be loaded: "}, true},
             {"libnm.so.0", R"({"name":"Network","status":2},{"name":"Location","status":2},{"name":"Corvane","status":2})",
              "!DEVICE_NETWORK_COUNT=Unavailable DEVICE_LOCATION_POSITION=Unavailable DEVICE_CORVANE_VERSION=", {}},
             // The keyboard is read through xcb's XKB, the monitors through its RandR.
             {"libxcb-xkb.so.1", R"({"name":"Region","status":2},{"name":"Display","status":2},{"name":"Corvane","status":2})",
              "DEVICE_REGION_KEYBOARD_LANGUAGE=Unavailable DEVICE_DISPLAY_COUNT=0 DEVICE_CORVANE_VERSION=",
              {"Category [Region] needs [libxcb-xkb.so.1], which cannot be loaded: "}},
             // Igel reads only its certificates through libcrypto.
             {"libcrypto.so.3", R"({"name":"Igel","status":2},{"name":"Corvane","status":2})",
              "DEVICE_IGEL_UMS_CERTIFICATE_SUBJECT=Unavailable DEVICE_IGEL_UMS_CERTIFICATE_SERIALNUMBER=Unavailable "
              "DEVICE_IGEL_STRUCTURETAG= DEVICE_CORVANE_VERSION=",
              {"Failed to determine certificate information of [/wfs/server.crt]: [libcrypto.so.3] cannot be loaded: "}},
         }) {
        std::optional<NetworkManagerService> networkManager;
        if (row.networkManager) {
            networkManager.emplace();
            networkManager->addEthernetDevice("eth0", NetworkManagerService::kActivated, "52:54:00:12:34:56", 1000);
        }
        void* loaded = dlopen(row.soname, RTLD_NOW | RTLD_LOCAL);
        link_map* map = nullptr;
        ASSERT_TRUE(loaded != nullptr && dlinfo(loaded, RTLD_DI_LINKMAP, &map) == 0) << row.soname;
        const TempDir files;
        std::ofstream(files.file("not-elf")) << "not a library\n";
        const ScopedMount hidden(files.file("not-elf"), map->l_name);
        std::filesystem::remove(LogWatch::logFile());  // the child's library starts it afresh
        const LogWatch log;
        const ScopedEnv initialise{"CVCLIENT_LAZY_TEST_INITIALISE", initialiseWith(row.categories)},
            expected{"CVCLIENT_LAZY_TEST_EXPECTED", row.expected};
        EXPECT_TRUE(passedInOwnProcess("MissingLibrary.OneInitialiseInAProcessOfItsOwn")) << row.soname;
        for (const std::string& line : row.errors) EXPECT_EQ(log.count("ERROR - " + line), 1U) << line;
        EXPECT_EQ(log.count(std::string("[") + row.soname + "]"), row.errors.size()) << log.text();
    }
}
