// SPDX-License-Identifier: Apache-2.0
// SmartCardReaderProvider through the real pcsc-lite against a real pcscd with
// the two virtual readers of vsmartcard's vpcd driver, one without, and none.
#include "providers/smartcard/SmartCardReaderProvider.h"

#include "support/Categories.h"
#include "support/ChildProcess.h"
#include "support/LogWatch.h"
#include "support/MainLoop.h"

#include <gtest/gtest.h>

#include <sched.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <functional>
#include <optional>
#include <thread>

namespace {

// Stands for /run, where pcscd keeps its socket and PID file, in each pcscd's
// own namespace. pcsc-lite's client reads the socket's name once per process:
// it is named before main.
const TestSupport::TempDir kRun;
const std::string kSocket = kRun.file("pcscd/pcscd.comm");
[[maybe_unused]] const int kNamed = setenv("PCSCLITE_CSOCK_NAME", kSocket.c_str(), 1);

// pcscd in mount and network namespaces of its own (kRun as /run, the virtual
// readers' TCP port private), with the two virtual readers or none. It loads
// its readers before it accepts clients.
struct Pcscd {
    explicit Pcscd(bool readers)
    {
        std::filesystem::create_directory(_files.file("conf"));
        _files.write("conf/vpcd", readers ? "FRIENDLYNAME \"Virtual PCD\"\nDEVICENAME /dev/null:35963\nCHANNELID "
                                            "35963\nLIBPATH /usr/lib/pcsc/drivers/serial/libifdvpcd.so\n"
                                          : "");
        _pid = TestSupport::startChild({"/usr/sbin/pcscd", "--foreground", "--config", _files.file("conf")}, {}, [&] {
            return unshare(CLONE_NEWNS | CLONE_NEWNET) == 0 && mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0 &&
                   mount(kRun.path().c_str(), "/run", nullptr, MS_BIND, nullptr) == 0;
        });
        EXPECT_TRUE(TestSupport::waitUntil([] {
            sockaddr_un address{AF_UNIX, {}};
            kSocket.copy(address.sun_path, sizeof(address.sun_path) - 1);
            const int client = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
            const bool accepted = connect(client, reinterpret_cast<sockaddr*>(&address), sizeof(address)) == 0;
            return close(client) == 0 && accepted;
        }));
    }
    ~Pcscd() { TestSupport::stopChild(_pid); }
    const TestSupport::TempDir _files;
    pid_t _pid;
};

PropertyMap readers(int32_t status = 2, int32_t filter = 0)
{
    return TestSupport::readProvider<SmartCardReaderProvider>("SmartCardReader", status, filter);
}

}  // namespace

TEST(SmartCardReaderProvider, ReportsPcscdsReadersAsTheyAreAtEachRead)
{
    const PropertyMap none{{"DEVICE_SMARTCARDREADER_COUNT", "0"}};
    const PropertyMap two{{"DEVICE_SMARTCARDREADER_COUNT", "2"},
                          {"DEVICE_SMARTCARDREADER_0_NAME", "Virtual PCD 00 00"},
                          {"DEVICE_SMARTCARDREADER_1_NAME", "Virtual PCD 00 01"}};
    const TestSupport::LogWatch log;
    EXPECT_EQ(readers(), none);
    EXPECT_EQ(log.count("ERROR - Failed to establish smartcard reader context error [2148532253] message [Service "
                        "not available.]\n"), 1U) << log.text();
    {
        const Pcscd daemon(true);
        // Two connections read at the same time, each through its own provider.
        std::vector<PropertyMap> readings[2];
        const auto read = [&readings](int which) { for (int i = 0; i < 5; ++i) readings[which].push_back(readers()); };
        std::thread other(read, 0);
        read(1);
        other.join();
        EXPECT_EQ(readings[0], std::vector<PropertyMap>(5, two));
        EXPECT_EQ(readings[1], readings[0]);
        // Only the selected keys: status 2 wants every key, 0 none.
        EXPECT_EQ(readers(1, 0x01 | 0x04), (PropertyMap{{"DEVICE_SMARTCARDREADER_COUNT", "2"}}));
        EXPECT_EQ(readers(1, 0x02).size(), 2U);
        EXPECT_EQ(readers(2, 0x01), two);
        EXPECT_TRUE(readers(0, 0x03).empty());
    }
    // pcscd again, without readers: nothing of the earlier reads is kept.
    const Pcscd daemon(false);
    EXPECT_EQ(readers(), none);
    EXPECT_TRUE(readers(1, 0x02).empty());
    EXPECT_EQ(log.count("ERROR - Failed to list smartcard readers error [2148532270] message [Cannot find a smart "
                        "card reader.]\n"), 2U) << log.text();
}

// pcscd stopping, and starting again with other readers, are announced (the watch comes back with pcscd), while
// readings go on; after close nothing is.
TEST(SmartCardReaderProvider, PcscdComingAndGoingIsAnnouncedUntilClose)
{
    std::optional<Pcscd> daemon(std::in_place, true);
    // Two connections watch at once: each is told.
    std::atomic<int> changes{0}, others{0};
    SmartCardReaderProvider provider(TestSupport::category("SmartCardReader"), "20.1");
    provider.monitorForChanges([&changes](std::shared_ptr<Category const>) { ++changes; });
    provider.awaitMonitoring();
    SmartCardReaderProvider other(TestSupport::category("SmartCardReader"), "20.1");
    other.monitorForChanges([&others](std::shared_ptr<Category const>) { ++others; });
    other.awaitMonitoring();
    const struct {
        const char* what;
        std::function<void()> change;
        const char* count;
    } steps[] = {
        {"stopped", [&] { daemon.reset(); }, "0"},
        {"started without readers", [&] { daemon.emplace(false); }, "0"},
        {"started again with readers", [&] { daemon.reset(), daemon.emplace(true); }, "2"},
    };
    for (const auto& step : steps) {
        const int before = changes, othersBefore = others;
        step.change();
        EXPECT_TRUE(TestSupport::waitUntil([&] { return changes > before && others > othersBefore; })) << step.what;
        EXPECT_EQ(readers(1, 0x01).at("DEVICE_SMARTCARDREADER_COUNT"), step.count) << step.what;
    }
    provider.close();
    other.close();
    const int closed = changes;
    daemon.reset();
    EXPECT_FALSE(TestSupport::waitUntil([&] { return changes > closed; }, std::chrono::milliseconds(200)));
}
