// The IGEL provider against the system as IGEL OS lays it out: IGEL's `get`
// tool as a script first on PATH answering from a table of files, /wfs with
// certificates made by openssl, /tmp/structuretag, and the watched
// /usr/bin/x11vnc and /usr/bin/wmconfig, all in this process's own mount
// namespace and root (run under `unshare -m --propagation private`).
#include "providers/igel/IgelProvider.h"

#include "support/Categories.h"
#include "support/IgelFakes.h"
#include "support/IgelRoot.h"
#include "support/LogWatch.h"
#include "support/MountNamespace.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <iostream>
#include <mutex>
#include <thread>

using namespace std::chrono_literals;
using TestSupport::LogWatch;
using TestSupport::makeCertificate;
using TestSupport::ScopedOverlay;
using TestSupport::ScopedTmpfs;

namespace {

PropertyMap read(const std::string& name, const std::string& host = "20.1.0.0", int32_t status = 2,
                 int32_t filter = 0)
{
    return TestSupport::readProvider<IgelProvider>(name, status, filter, host);
}

std::size_t countPrefix(const PropertyMap& properties, const std::string& prefix)
{
    std::size_t found = 0;
    for (const auto& [key, value] : properties) {
        found += key.rfind(prefix, 0) == 0 ? 1 : 0;
    }
    return found;
}

const std::string kFixed = "system.environment_variables.fixvariable";
const std::string kDynamic = "system.environment_variables.dynamicvariable";

class IgelSystem : public ::testing::Test {
protected:
    static void SetUpTestSuite() { TestSupport::makeRootDirectory("wfs"); }

    void setVariables() const
    {
        _get.set(kFixed + "0.name", "A");
        _get.set(kFixed + "0.value", "1");
        _get.set(kFixed + "1.name", "B");
        _get.set(kFixed + "1.value", "$(echo no) 'q'");
        _get.set(kDynamic + "0.name", "C");
        _get.set(kDynamic + "0.value", "3");
    }

    TestSupport::FakeIgelGet _get;
    ScopedTmpfs _wfs{"/wfs"};
};

}  // namespace

TEST_F(IgelSystem, ReportsManagementFactsForCurrentHosts)
{
    _get.set("system.remotemanager.ums_structure_tag", "tag-from-registry");
    _get.set("system.remotemanager.server0.ip", "10.0.0.1");
    _get.set("system.remotemanager.server0.port", "30001");
    _get.set("system.remotemanager.server1.ip", "ums2.example");
    _get.set("system.icg.server0.host", "host0");
    _get.set("system.icg.server0.port", "port0");
    _get.set("system.icg.server1.host", "host1");
    setVariables();
    makeCertificate(_wfs.write("server.crt", ""), "/C=DE/O=Example Org/CN=ums\\/one", "0x0A1B2C");

    const PropertyMap properties = read("Igel");
    EXPECT_EQ(properties.at("DEVICE_IGEL_STRUCTURETAG"), "tag-from-registry");
    EXPECT_EQ(properties.at("DEVICE_IGEL_UMS_SERVER"), "10.0.0.1:30001;ums2.example");
    EXPECT_EQ(properties.at("DEVICE_IGEL_ICG_SERVER"), "host0:port0;host1");
    EXPECT_EQ(properties.at("DEVICE_IGEL_UMS_CERTIFICATE_SERIALNUMBER"), "0A1B2C");
    EXPECT_EQ(properties.at("DEVICE_IGEL_UMS_CERTIFICATE_SUBJECT"), "C = DE, O = Example Org, CN = ums/one");
    EXPECT_EQ(properties.at("DEVICE_IGEL_UMS_CERTIFICATE_THUMBPRINT_SHA256").size(), 64U);
    // No gateway certificate on this device.
    EXPECT_EQ(properties.at("DEVICE_IGEL_ICG_CERTIFICATE_SERIALNUMBER"), "Unavailable");
    EXPECT_EQ(properties.at("DEVICE_IGEL_ICG_CERTIFICATE_SUBJECT"), "Unavailable");
    EXPECT_EQ(properties.at("DEVICE_IGEL_ICG_CERTIFICATE_THUMBPRINT_SHA256"), "Unavailable");
    EXPECT_EQ(properties.at("DEVICE_IGEL_ENVIRONMENT_COUNT"), "3");
    EXPECT_EQ(properties.at("DEVICE_IGEL_ENVIRONMENT_0_NAME"), "A");
    EXPECT_EQ(properties.at("DEVICE_IGEL_ENVIRONMENT_0_TYPE"), "Fixed");
    EXPECT_EQ(properties.at("DEVICE_IGEL_ENVIRONMENT_1_VALUE"), "$(echo no) 'q'");
    EXPECT_EQ(properties.at("DEVICE_IGEL_ENVIRONMENT_1_TYPE"), "Fixed");
    EXPECT_EQ(properties.at("DEVICE_IGEL_ENVIRONMENT_2_NAME"), "C");
    EXPECT_EQ(properties.at("DEVICE_IGEL_ENVIRONMENT_2_VALUE"), "3");
    EXPECT_EQ(properties.at("DEVICE_IGEL_ENVIRONMENT_2_TYPE"), "Dynamic");
    EXPECT_EQ(properties.size(), 10U + 9U);
    EXPECT_NE(_get.runs().find("LC_ALL=C system.remotemanager.server0.ip\n"), std::string::npos) << _get.runs();

    // "Custom" is for older hosts only.
    EXPECT_TRUE(read("Custom", "20.1.0.0").empty());
}

TEST_F(IgelSystem, OlderHostsGetNoEnvironmentUnderIgelButCustomKeys)
{
    setVariables();
    for (const std::string host : {"19.9", "", "20.0.9.9"}) {
        const PropertyMap igel = read("Igel", host);
        EXPECT_EQ(countPrefix(igel, "DEVICE_IGEL_ENVIRONMENT"), 0U) << host;
        EXPECT_EQ(igel.count("DEVICE_IGEL_UMS_SERVER"), 1U) << host;

        const PropertyMap custom = read("Custom", host);
        EXPECT_EQ(custom, (PropertyMap{
                              {"DEVICE_CUSTOM_COUNT", "3"},
                              {"DEVICE_CUSTOM_0_PATH", kFixed + "0"},
                              {"DEVICE_CUSTOM_0_NAME", "A"},
                              {"DEVICE_CUSTOM_0_VALUE", "1"},
                              {"DEVICE_CUSTOM_1_PATH", kFixed + "1"},
                              {"DEVICE_CUSTOM_1_NAME", "B"},
                              {"DEVICE_CUSTOM_1_VALUE", "$(echo no) 'q'"},
                              {"DEVICE_CUSTOM_2_PATH", kDynamic + "0"},
                              {"DEVICE_CUSTOM_2_NAME", "C"},
                              {"DEVICE_CUSTOM_2_VALUE", "3"},
                          }))
            << host;
    }
}

TEST_F(IgelSystem, NothingConfiguredGivesEmptyListsAndZeroCounts)
{
    const PropertyMap properties = read("Igel");
    EXPECT_EQ(properties.at("DEVICE_IGEL_STRUCTURETAG"), "");
    EXPECT_EQ(properties.at("DEVICE_IGEL_UMS_SERVER"), "");
    EXPECT_EQ(properties.at("DEVICE_IGEL_ICG_SERVER"), "");
    EXPECT_EQ(properties.at("DEVICE_IGEL_ENVIRONMENT_COUNT"), "0");
    EXPECT_EQ(read("Custom", "19.9"), (PropertyMap{{"DEVICE_CUSTOM_COUNT", "0"}}));
}

TEST_F(IgelSystem, StructureTagFileComesBeforeTheRegistry)
{
    _get.set("system.remotemanager.ums_structure_tag", "from-registry");
    ScopedOverlay tmp("/tmp");
    tmp.write("structuretag", "  from-file \n");
    EXPECT_EQ(read("Igel", "20.1", 1, 0x1), (PropertyMap{{"DEVICE_IGEL_STRUCTURETAG", "from-file"}}));
    tmp.write("structuretag", "\n");
    EXPECT_EQ(read("Igel", "20.1", 1, 0x1), (PropertyMap{{"DEVICE_IGEL_STRUCTURETAG", "from-registry"}}));
}

TEST_F(IgelSystem, GatewaysFallBackToTheLegacyFile)
{
    _wfs.write(".icg.cfg", "<icg-agent>\n  <address>\n    value=<icg.example>\n  </address>\n"
                           "  <port>\n    value=<8443>\n  </port>\n</icg-agent>\n"
                           "<icg-agent>\n  <port>\n    value=<9443>\n  </port>\n</icg-agent>\n");
    EXPECT_EQ(read("Igel", "20.1", 1, 0x20), (PropertyMap{{"DEVICE_IGEL_ICG_SERVER", "icg.example:8443"}}));
    // The registry wins when it names a gateway.
    _get.set("system.icg.server0.host", "registry.example");
    EXPECT_EQ(read("Igel", "20.1", 1, 0x20), (PropertyMap{{"DEVICE_IGEL_ICG_SERVER", "registry.example"}}));
}

TEST_F(IgelSystem, SelectedKeysOnlyAndOnlyTheirWork)
{
    makeCertificate(_wfs.write("icgcert.crt", ""), "/CN=gateway", "0x99");
    _get.forget();
    const PropertyMap properties = read("Igel", "20.1", 1, 0x40 | 0x80);
    EXPECT_EQ(properties, (PropertyMap{{"DEVICE_IGEL_ICG_CERTIFICATE_SERIALNUMBER", "99"},
                                       {"DEVICE_IGEL_ICG_CERTIFICATE_SUBJECT", "CN = gateway"}}));
    // Only the environment variables are read without being selected.
    EXPECT_EQ(_get.runs().find("remotemanager"), std::string::npos) << _get.runs();
    EXPECT_EQ(_get.runs().find("system.icg"), std::string::npos) << _get.runs();
}

TEST_F(IgelSystem, CertificatesOpensslCannotReadAreUnavailable)
{
    // Tests run as root, who can read every file: a directory at the path and
    // a file that is no PEM certificate stand for unreadable ones.
    std::filesystem::create_directory("/wfs/server.crt");
    _wfs.write("icgcert.crt", "-----BEGIN CERTIFICATE-----\nbroken\n-----END CERTIFICATE-----\n");
    const LogWatch log;
    const PropertyMap properties = read("Igel", "20.1", 1, 0x4 | 0x8 | 0x10 | 0x40 | 0x80 | 0x100);
    EXPECT_EQ(properties.size(), 6U);
    for (const auto& [key, value] : properties) {
        EXPECT_EQ(value, "Unavailable") << key;
    }
    EXPECT_TRUE(log.contains("ERROR - Failed to determine certificate information from command [openssl x509 -in "
                             "/wfs/server.crt -subject -serial -fingerprint -sha256 -noout]"));
}

namespace {

// Counts the change callback's calls and lets the test wait for them.
class Notifications {
public:
    Provider::ChangeCallback callback()
    {
        return [this](std::shared_ptr<Category const> category) {
            std::lock_guard<std::mutex> lock(_mutex);
            ++_count;
            _name = category->name;
            _changed.notify_all();
        };
    }
    bool waitFor(int count)
    {
        std::unique_lock<std::mutex> lock(_mutex);
        return _changed.wait_for(lock, 10s, [&] { return _count >= count; });
    }
    int count() const
    {
        std::lock_guard<std::mutex> lock(_mutex);
        return _count;
    }
    std::string name() const
    {
        std::lock_guard<std::mutex> lock(_mutex);
        return _name;
    }

private:
    mutable std::mutex _mutex;
    std::condition_variable _changed;
    int _count = 0;
    std::string _name;
};

void openAndClose(const char* path, int flags)
{
    const int fd = open(path, flags | O_CLOEXEC);
    ASSERT_GE(fd, 0) << path;
    close(fd);
}

bool waitForLog(const LogWatch& log, const std::string& line, std::size_t count = 1)
{
    const auto deadline = std::chrono::steady_clock::now() + 10s;
    while (log.count(line) < count) {
        if (std::chrono::steady_clock::now() > deadline) {
            return false;
        }
        std::this_thread::sleep_for(1ms);
    }
    return true;
}

// Both watched programs, written with `content` in a layer over /usr/bin, and
// a provider for a host of version `host` that watches them after start().
struct WatchedPrograms {
    WatchedPrograms(const std::string& content, const std::string& host)
        : provider(TestSupport::category("Igel"), host)
    {
        bin.write("x11vnc", content);
        bin.write("wmconfig", content);
    }
    // Starts the watch; true once both programs are watched.
    bool start()
    {
        provider.monitorForChanges(notifications.callback());
        return waitForLog(log, "Watching for file events on x11vnc and wmconfig...");
    }

    ScopedOverlay bin{"/usr/bin"};
    const LogWatch log;
    Notifications notifications;
    IgelProvider provider;
};

}  // namespace

TEST_F(IgelSystem, UseOfTheWatchedProgramsIsReportedAtOnce)
{
    WatchedPrograms watched("#!/bin/sh\n", "20.1.0.0");
    ASSERT_TRUE(watched.start());
    EXPECT_TRUE(watched.log.contains("Successfully added inotify watch for x11vnc"));
    EXPECT_TRUE(watched.log.contains("Successfully added inotify watch for wmconfig"));

    openAndClose("/usr/bin/x11vnc", O_RDONLY);
    ASSERT_TRUE(watched.notifications.waitFor(1));
    EXPECT_EQ(watched.notifications.name(), "Igel");
    const int afterX11vnc = watched.notifications.count();
    openAndClose("/usr/bin/wmconfig", O_WRONLY);
    ASSERT_TRUE(watched.notifications.waitFor(afterX11vnc + 1));

    // Many uses at once: every event is looked at, whether the kernel hands
    // them over in one read or several.
    const std::size_t before = watched.log.count("Inotify event is mask [");
    for (int i = 0; i < 20; ++i) {
        openAndClose("/usr/bin/x11vnc", O_RDONLY);
    }
    EXPECT_TRUE(waitForLog(watched.log, "Inotify event is mask [", before + 40));

    const auto start = std::chrono::steady_clock::now();
    watched.provider.close();
    const auto took = std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now() - start);
    std::cout << "[ MEASURE  ] close() of the IGEL watch took " << took.count() << " us" << std::endl;
    EXPECT_TRUE(watched.log.contains("Watch of inotify was closed."));
    EXPECT_TRUE(watched.log.contains("Successfully removed inotify x11vnc watch"));
    EXPECT_TRUE(watched.log.contains("Successfully closed inotify watch"));
    EXPECT_TRUE(watched.log.contains("Done shutting down inotify."));

    // Closed: further use is not reported.
    const int closed = watched.notifications.count();
    openAndClose("/usr/bin/x11vnc", O_RDONLY);
    std::this_thread::sleep_for(20ms);
    EXPECT_EQ(watched.notifications.count(), closed);
}

TEST_F(IgelSystem, WatchEndsWhenTheWatchedProgramsGo)
{
    WatchedPrograms watched("", "20.1");
    ASSERT_TRUE(watched.start());

    // Replaced by an update: the kernel drops the watch of the old file.
    std::filesystem::remove("/usr/bin/x11vnc");
    ASSERT_TRUE(waitForLog(watched.log, "Inotify x11vnc watch was removed by the system"));
    const int before = watched.notifications.count();
    openAndClose("/usr/bin/wmconfig", O_RDONLY);
    ASSERT_TRUE(watched.notifications.waitFor(before + 1));

    std::filesystem::remove("/usr/bin/wmconfig");
    ASSERT_TRUE(waitForLog(watched.log, "Watch of inotify was closed."));
    watched.provider.close();
    EXPECT_TRUE(watched.log.contains("Done shutting down inotify."));
}

TEST_F(IgelSystem, MissingProgramsAreLoggedAndCloseStillWorks)
{
    const LogWatch log;
    IgelProvider provider(TestSupport::category("Igel"), "21.0");
    provider.monitorForChanges([](std::shared_ptr<Category const>) {});
    ASSERT_TRUE(waitForLog(log, "Watch of inotify was closed."));
    EXPECT_TRUE(log.contains("ERROR - Failed to add inotify x11vnc watch error [2] message ["));
    EXPECT_TRUE(log.contains("ERROR - Failed to add inotify wmconfig watch error [2] message ["));
    provider.close();
    // The provider still reads.
    EXPECT_EQ(provider.getProperties().get().count("DEVICE_IGEL_ENVIRONMENT_COUNT"), 1U);
}

TEST_F(IgelSystem, DestroyingAWatchingProviderStopsTheWatch)
{
    ScopedOverlay bin("/usr/bin");
    bin.write("x11vnc", "");
    const LogWatch log;
    {
        IgelProvider provider(TestSupport::category("Igel"), "20.1");
        provider.monitorForChanges([](std::shared_ptr<Category const>) {});
        provider.monitorForChanges([](std::shared_ptr<Category const>) {});
        ASSERT_TRUE(waitForLog(log, "Watching for file events on x11vnc and wmconfig..."));
    }
    EXPECT_EQ(log.count("Watching for file events on x11vnc and wmconfig..."), 1U);
    EXPECT_TRUE(log.contains("Done shutting down inotify."));
}
