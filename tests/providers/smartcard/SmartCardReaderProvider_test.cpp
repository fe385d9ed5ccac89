// SmartCardReaderProvider against a real pcscd with the virtual readers of
// vsmartcard's driver, and against no pcscd at all. pcsc-lite itself is the
// real library, loaded by the provider.
#include "providers/smartcard/SmartCardReaderProvider.h"

#include "support/Categories.h"
#include "support/LogWatch.h"
#include "support/PcscDaemon.h"
#include "support/TempDir.h"

#include <gtest/gtest.h>

#include <dlfcn.h>
#include <gnu/libc-version.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <latch>
#include <string>
#include <thread>
#include <vector>

using TestSupport::LogWatch;
using TestSupport::PcscDaemon;
using TestSupport::ScopedEnv;
using TestSupport::TempDir;

namespace {

// pcsc-lite's client keeps the socket name it reads first: this process's own
// socket is named before main, ahead of any read of any test.
const std::string kPcscdSocket = PcscDaemon::nameSocketForThisProcess();

constexpr const char* kLoadLine = "INFO - Loading smartcard library [libpcsclite.so.1]...\n";
// pcsc-lite's results 0x8010001D and 0x8010002E, in decimal.
constexpr const char* kNoServiceLine =
    "ERROR - Failed to establish smartcard reader context error [2148532253] message [Service not available.]\n";
constexpr const char* kNoReadersLine =
    "ERROR - Failed to list smartcard readers error [2148532270] message [Cannot find a smart card reader.]\n";
constexpr const char* kNotLoadedLine = "ERROR - Failed to load smartcard library\n";

const PropertyMap kTwoReaders{
    {"DEVICE_SMARTCARDREADER_COUNT", "2"},
    {"DEVICE_SMARTCARDREADER_0_NAME", "Virtual PCD 00 00"},
    {"DEVICE_SMARTCARDREADER_1_NAME", "Virtual PCD 00 01"},
};
const PropertyMap kNoReaders{{"DEVICE_SMARTCARDREADER_COUNT", "0"}};

PropertyMap readReaders(int32_t status = 2, int32_t filter = 0)
{
    return TestSupport::readProvider<SmartCardReaderProvider>("SmartCardReader", status, filter);
}

// Whether pcsc-lite is in this process yet, asked without loading it.
bool pcscLiteLoaded()
{
    void* handle = dlopen("libpcsclite.so.1", RTLD_LAZY | RTLD_NOLOAD);
    if (handle != nullptr) {
        dlclose(handle);
    }
    return handle != nullptr;
}

}  // namespace

// First in the file: run alone (as ctest runs every test) or first in the
// binary, its reads are the first of the process.
TEST(SmartCardReaderProvider, LoadsPcscLiteOnceEvenForTwoReadersAtTheSameTime)
{
    const bool loadedBefore = pcscLiteLoaded();
    LogWatch log;

    // No key wanted: pcsc-lite is neither loaded nor asked.
    EXPECT_TRUE(readReaders(0, 0x03).empty());
    EXPECT_TRUE(readReaders(1, 0x04).empty());
    EXPECT_EQ(pcscLiteLoaded(), loadedBefore);
    EXPECT_EQ(log.count("Loading smartcard library"), 0U);

    // Two connections read at the same time, each through its own provider,
    // a few times over.
    PcscDaemon daemon(PcscDaemon::Readers::TwoVirtual);
    constexpr int kRounds = 10;
    std::latch start(2);
    std::vector<PropertyMap> first;
    std::vector<PropertyMap> second;
    const auto read = [&start](std::vector<PropertyMap>& readings) {
        start.arrive_and_wait();
        for (int round = 0; round < kRounds; ++round) {
            readings.push_back(readReaders());
        }
    };
    std::thread one(read, std::ref(first));
    std::thread two(read, std::ref(second));
    one.join();
    two.join();
    EXPECT_EQ(first, std::vector<PropertyMap>(kRounds, kTwoReaders));
    EXPECT_EQ(second, std::vector<PropertyMap>(kRounds, kTwoReaders));
    EXPECT_EQ(readReaders(), kTwoReaders);

    EXPECT_TRUE(pcscLiteLoaded());
    EXPECT_EQ(log.count(kLoadLine), loadedBefore ? 0U : 1U);
    EXPECT_EQ(log.count(" : ERROR - "), 0U) << log.text();
}

TEST(SmartCardReaderProvider, WithoutPcscdThereAreNoReaders)
{
    ASSERT_FALSE(std::filesystem::exists(kPcscdSocket));
    LogWatch log;
    EXPECT_EQ(readReaders(), kNoReaders);
    EXPECT_EQ(log.count(kNoServiceLine), 1U) << log.text();
    EXPECT_TRUE(log.contains("VERBOSE - Getting SMARTCARDREADER properties...\n"));
    EXPECT_TRUE(log.contains("VERBOSE - Done getting SMARTCARDREADER properties.\n"));
    EXPECT_FALSE(log.contains("Failed to list"));

    // The count is reported only when selected, failure or not.
    EXPECT_EQ(readReaders(1, 0x01), kNoReaders);
    EXPECT_TRUE(readReaders(1, 0x02).empty());
}

TEST(SmartCardReaderProvider, PcscdWithoutReadersGivesNoReaders)
{
    PcscDaemon daemon(PcscDaemon::Readers::None);
    LogWatch log;
    const int sockets = TestSupport::openSocketCount();
    EXPECT_EQ(readReaders(), kNoReaders);
    EXPECT_EQ(readReaders(), kNoReaders);
    // Each context was released although listing failed: its connection is closed.
    EXPECT_EQ(TestSupport::openSocketCount(), sockets);
    EXPECT_EQ(log.count(kNoReadersLine), 2U) << log.text() << daemon.output();
    EXPECT_FALSE(log.contains("Failed to establish"));
}

TEST(SmartCardReaderProvider, ReportsPcscdsReadersAsTheyAreAtEachRead)
{
    {
        PcscDaemon daemon(PcscDaemon::Readers::TwoVirtual);
        LogWatch log;
        const int sockets = TestSupport::openSocketCount();
        EXPECT_EQ(readReaders(), kTwoReaders) << daemon.output();
        EXPECT_EQ(readReaders(), kTwoReaders);
        EXPECT_EQ(TestSupport::openSocketCount(), sockets);
        EXPECT_EQ(log.count("INFO - Processing smartcard reader [Virtual PCD 00 00]\n"), 2U);
        EXPECT_EQ(log.count("INFO - Processing smartcard reader [Virtual PCD 00 01]\n"), 2U);
        EXPECT_EQ(log.count(" : ERROR - "), 0U) << log.text();
    }
    // pcscd went away, then came back without readers: nothing of an earlier
    // read is kept.
    LogWatch log;
    EXPECT_EQ(readReaders(), kNoReaders);
    EXPECT_EQ(log.count(kNoServiceLine), 1U) << log.text();
    PcscDaemon daemon(PcscDaemon::Readers::None);
    EXPECT_EQ(readReaders(), kNoReaders);
    EXPECT_EQ(log.count(kNoReadersLine), 1U) << log.text();
    EXPECT_EQ(log.count("Processing smartcard reader"), 0U);
}

TEST(SmartCardReaderProvider, ReportsOnlyTheSelectedKeys)
{
    PcscDaemon daemon(PcscDaemon::Readers::TwoVirtual);
    const PropertyMap countOnly{{"DEVICE_SMARTCARDREADER_COUNT", "2"}};
    const PropertyMap namesOnly{
        {"DEVICE_SMARTCARDREADER_0_NAME", "Virtual PCD 00 00"},
        {"DEVICE_SMARTCARDREADER_1_NAME", "Virtual PCD 00 01"},
    };
    EXPECT_EQ(readReaders(1, 0x01), countOnly);
    EXPECT_EQ(readReaders(1, 0x01 | 0x04), countOnly);
    EXPECT_EQ(readReaders(1, 0x02), namesOnly);
    EXPECT_EQ(readReaders(1, 0x03), kTwoReaders);
    EXPECT_EQ(readReaders(2, 0x01), kTwoReaders);  // status 2 wants every key
    EXPECT_TRUE(readReaders(0, 0x03).empty());
}

namespace {

std::string describe(const PropertyMap& reading)
{
    std::string text = "{";
    for (const auto& [key, value] : reading) {
        text += " " + key + "=\"" + value + "\"";
    }
    return text + " }";
}

// The end of a test process made only for the reads: exits with 0 when both
// readings were "no readers". exit() unwinds nothing, so this process's own
// copy of the test's files goes first.
[[noreturn]] void readTwiceAndExit(const TempDir& files)
{
    const PropertyMap first = readReaders();
    const PropertyMap second = readReaders();
    std::error_code ignored;
    std::filesystem::remove_all(files.path(), ignored);
    const bool expected = first == kNoReaders && second == kNoReaders;
    if (!expected) {
        std::fprintf(stderr, "readings %s and %s\n", describe(first).c_str(), describe(second).c_str());
    }
    std::exit(expected ? 0 : 1);
}

// The file of the C library: a library that is no pcsc-lite.
std::string cLibraryFile()
{
    Dl_info info{};
    if (dladdr(reinterpret_cast<void*>(&gnu_get_libc_version), &info) == 0 || info.dli_fname == nullptr) {
        return {};
    }
    return info.dli_fname;
}

}  // namespace

// A broken pcsc-lite can only be met by the first read of a process, since
// the library is loaded once. These tests read in a new process made from this
// binary (a death test in the "threadsafe" style runs the binary again, up to
// the test's statement), whose dynamic loader finds a stand-in file for
// "libpcsclite.so.1" first, through LD_LIBRARY_PATH.
class SmartCardReaderProviderInNewProcess : public ::testing::Test {
protected:
    void SetUp() override
    {
        _style = GTEST_FLAG_GET(death_test_style);
        GTEST_FLAG_SET(death_test_style, "threadsafe");
    }
    void TearDown() override { GTEST_FLAG_SET(death_test_style, _style); }

    std::string standIn() const { return _files.file("libpcsclite.so.1"); }

    // Reads twice in a new process and expects no readers both times; gives
    // that process's log.
    LogWatch readTwiceInNewProcess()
    {
        const ScopedEnv loaderPath("LD_LIBRARY_PATH", _files.path());
        const ScopedEnv logFile("CORVANE_LOGGING_FILE", _files.file("process.log"));
        const LogWatch log;
        EXPECT_EXIT(readTwiceAndExit(_files), ::testing::ExitedWithCode(0), "");
        return log;
    }

    TempDir _files;

private:
    std::string _style;
};

TEST_F(SmartCardReaderProviderInNewProcess, LibraryThatCannotBeLoadedGivesNoReadersAndIsNotRetried)
{
    _files.write("libpcsclite.so.1", "");
    const LogWatch log = readTwiceInNewProcess();
    SCOPED_TRACE(log.text());
    EXPECT_EQ(log.count(kLoadLine), 1U);
    EXPECT_EQ(log.count("ERROR - Failed to load smartcard library error [" + standIn() + ": file too short]\n"), 1U);
    EXPECT_EQ(log.count(kNotLoadedLine), 2U);
    EXPECT_EQ(log.count("Failed to find smartcard symbol"), 0U);
    EXPECT_EQ(log.count("Failed to establish"), 0U);
}

TEST_F(SmartCardReaderProviderInNewProcess, LibraryWithoutPcscFunctionsGivesNoReadersAndIsNotRetried)
{
    const std::string cLibrary = cLibraryFile();
    ASSERT_FALSE(cLibrary.empty());
    std::filesystem::create_symlink(cLibrary, standIn());
    const LogWatch log = readTwiceInNewProcess();
    SCOPED_TRACE(log.text());
    EXPECT_EQ(log.count(kLoadLine), 1U);
    // The lookup stops at the first missing function.
    EXPECT_EQ(log.count("ERROR - Failed to find smartcard symbol SCardEstablishContext error ["), 1U);
    EXPECT_EQ(log.count("undefined symbol: SCardEstablishContext]\n"), 1U);
    EXPECT_EQ(log.count("Failed to find smartcard symbol"), 1U);
    EXPECT_EQ(log.count(kNotLoadedLine), 2U);
    EXPECT_EQ(log.count("Failed to establish"), 0U);
}
