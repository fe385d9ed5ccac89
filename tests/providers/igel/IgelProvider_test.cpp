// SPDX-License-Identifier: Apache-2.0
// The IGEL provider and its certificates: text rules against tables, then the
// system as IGEL OS lays it out in this process's own mount namespace and root
// (run under `unshare -m --propagation private`): IGEL's `get`, /wfs with
// certificates made by openssl, /tmp/structuretag, /usr/bin/x11vnc, wmconfig.
#include "providers/igel/Certificate.h"
#include "providers/igel/IgelProvider.h"

#include "support/Categories.h"
#include "support/IgelFakes.h"
#include "support/LogWatch.h"
#include "support/MainLoop.h"
#include "support/MountNamespace.h"
#include "support/TempDir.h"

#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/mount.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <fstream>

namespace fs = std::filesystem;
using Registry = std::map<std::string, std::string>;
using TestSupport::waitUntil;
static const std::string kFixed = "system.environment_variables.fixvariable";
static const std::string kDynamic = "system.environment_variables.dynamicvariable";

// What a shell command writes; "failed: " in front when it fails.
static std::string commandOutput(const std::string& command)
{
    std::string output;
    FILE* pipe = popen(command.c_str(), "r");
    for (int character; pipe != nullptr && (character = fgetc(pipe)) != EOF;) output += static_cast<char>(character);
    return pipe != nullptr && pclose(pipe) == 0 ? output : "failed: " + output;
}

TEST(IgelProvider, ServerListsAreHostAndOptionalPortUpToTheFirstGap)
{
    const Registry registry{{"system.remotemanager.server0.ip", "10.0.0.1"}, {"system.remotemanager.server0.port", "1"},
                            {"system.remotemanager.server1.ip", "ums2"},     {"system.icg.server0.host", "h0"},
                            {"system.icg.server1.host", "h1"},               {"system.icg.server1.port", "p1"},
                            {"system.icg.server3.host", "h3"}};
    const auto lookup = [&registry](const std::string& key) -> std::optional<std::string> {
        return registry.contains(key) ? registry.at(key) : "";
    };
    EXPECT_EQ(IgelProvider::umsServers(lookup), "10.0.0.1:1;ums2");
    EXPECT_EQ(IgelProvider::icgServers(lookup), "h0;h1:p1");
    EXPECT_EQ(IgelProvider::umsServers([](const std::string&) { return std::nullopt; }), "");
    // Every key answered: sixteen servers ("x:x" each), twenty variables of each kind.
    const auto every = [](const std::string&) { return std::optional<std::string>("x"); };
    EXPECT_EQ(IgelProvider::umsServers(every).size(), 16U * 4 - 1);
    EXPECT_EQ(IgelProvider::readVariables(every).size(), 40U);
    // A variable without a name ends its list; its value is not asked for.
    std::vector<std::string> asked;
    const Registry variables{{"system.environment_variables.fixvariable0.name", "A"},
                             {"system.environment_variables.fixvariable0.value", "1"},
                             {"system.environment_variables.dynamicvariable0.value", "orphan"}};
    const auto recorded = [&](const std::string& key) -> std::optional<std::string> {
        asked.push_back(key);
        return variables.contains(key) ? variables.at(key) : "";
    };
    EXPECT_EQ(IgelProvider::readVariables(recorded).size(), 1U);
    EXPECT_EQ(asked, (std::vector<std::string>{"system.environment_variables.fixvariable0.name",
                                               "system.environment_variables.fixvariable0.value",
                                               "system.environment_variables.fixvariable1.name",
                                               "system.environment_variables.dynamicvariable0.name"}));
}

TEST(Certificate, ReadsOpensslsLinesAndFormatsTheSlashFormOfNames)
{
    const std::pair<std::string, std::string> names[] = {
        {" /C=DE/O=Example Org/CN=host", "C=DE,O=Example Org,CN=host"}, {"/C=DE/CN=a/b", "C=DE,CN=a/b"},
        {"/C=DE/CN=a/1=b", "C=DE,CN=a/1=b"}, {"/CN=path/to/x", "CN=path/to/x"}, {",/ CN=x", "CN=x"}, {"///", ""},
        {"C = DE, O = Example Org, CN = a/b ", "C = DE, O = Example Org, CN = a/b"}};
    for (auto [subject, formatted] : names) {
        Certificate::formatSubjectName(subject);
        EXPECT_EQ(subject, formatted);
    }
    const std::pair<const char*, const char*> outputs[] = {
        {"subject=/C=DE/CN=host\nserial=0A1B\nSHA256 Fingerprint=AB:CD:EF:09\n", "C=DE,CN=host|0A1B|ABCDEF09"},
        {"subject=C = DE, CN = h\nserial= 0A1B \nsha256 Fingerprint= 12:34:ab \nnoise", "C = DE, CN = h|0A1B|1234ab"},
        // A value holding "=" is split at the first one only; other names are ignored.
        {"issuer=CN=ca\nsubject=CN=a=b", "CN=a=b||"}};
    for (const auto& [output, facts] : outputs) {
        const Certificate read = Certificate::parse(output, "f").value_or(Certificate{"none", "", ""});
        EXPECT_EQ(read.subject + "|" + read.serialNumber + "|" + read.thumbprint, facts);
    }
    EXPECT_FALSE(Certificate::parse("Could not read certificate\nissuer=CN=x", "f"));  // no fact at all
}

namespace {

PropertyMap read(const std::string& name, const std::string& host, int32_t status = 2, int32_t filter = 0)
{
    return TestSupport::readProvider<IgelProvider>(name, status, filter, host);
}

void makeCertificate(const std::string& path, const std::string& subject, const std::string& serial)
{
    const std::string command = "openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -days 2 "
                                "-utf8 -keyout /dev/null -out " + path + " -subj '" + subject + "' -set_serial " + serial;
    ASSERT_EQ(std::system((command + " 2>/dev/null").c_str()), 0) << command;
}

bool use(const char* program) { return close(open(program, O_RDONLY | O_CLOEXEC)) == 0; }

class IgelSystem : public ::testing::Test {
protected:
    // A root of this process's own, so that /wfs can exist, and layers of its
    // own over /usr/bin and /tmp.
    static void SetUpTestSuite()
    {
        TestSupport::enterPrivateRoot();
        for (const std::string directory : {"/usr/bin", "/tmp"}) {
            fs::create_directories("/layers" + directory + "/upper"), fs::create_directories("/layers" + directory + "/work");
            const std::string layers = "lowerdir=" + directory + ",upperdir=/layers" + directory +
                                       "/upper,workdir=/layers" + directory + "/work";
            ASSERT_EQ(mount("overlay", directory.c_str(), "overlay", 0, layers.c_str()), 0) << directory;
        }
    }
    // The test run's own log file in the machine's /tmp is removed at the end.
    static void TearDownTestSuite() { umount2("/tmp", MNT_DETACH); }

    void SetUp() override
    {
        for (const char* made : {"/usr/bin/x11vnc", "/usr/bin/wmconfig", "/tmp/structuretag", "/wfs"}) fs::remove_all(made);
        fs::create_directory("/wfs");
    }

    const TestSupport::FakeIgelGet _get;
};

}  // namespace

// Decoded in this process, a certificate reads as the openssl command reports it: escapes, several values in one
// name part, serial numbers of every sign and size, DER, the first of several, text before it.
TEST(Certificate, DecodesAsTheOpensslCommandReports)
{
    const TestSupport::TempDir dir;
    const std::pair<const char*, const char*> made[] = {
        {"/C=DE/O=Example Org/CN=ums\\/one", "0x0A1B2C"}, {"/CN=Z\xC3\xBCrich/O=\xC3\x9C", "0"},
        {"/CN=a+OU=b/O=x\\,y", "-5"}, {"/emailAddress=a@b.c/CN= lead/DC=x;y<z>#\"q", "123456789012345678901234567890"}};
    std::string first;
    for (const auto& [subject, serial] : made) {
        const std::string file = dir.file(std::to_string(&subject - &made[0].first) + ".pem");
        makeCertificate(file, subject, serial);
        first = first.empty() ? file : first;
        for (const std::string& form : {file, file + ".der"}) {
            if (form != file) commandOutput("openssl x509 -in " + file + " -outform DER -out " + form);
            const std::string expected =
                commandOutput("openssl x509 -in " + form + " -subject -serial -fingerprint -sha256 -noout");
            EXPECT_EQ(Certificate::describe(TestSupport::readWhole(form)).value_or("none"), expected) << form;
        }
    }
    const std::string pem = TestSupport::readWhole(first);
    EXPECT_EQ(Certificate::describe("notes\n" + pem + pem).value_or("none"),
              commandOutput("openssl x509 -in " + first + " -subject -serial -fingerprint -sha256 -noout"));
    for (const std::string& none : {std::string(), std::string("junk"), pem.substr(0, pem.size() / 2)}) {
        EXPECT_FALSE(Certificate::describe(none)) << none;
    }
}

TEST_F(IgelSystem, ReadsTheRegistryTheFilesAndTheCertificates)
{
    const std::string ums = "system.remotemanager.";
    for (const auto& [key, value] : Registry{
             {ums + "ums_structure_tag", "from-registry"}, {ums + "server0.ip", "10.0.0.1"},
             {ums + "server0.port", "30001"}, {ums + "server1.ip", "ums2"}, {"system.icg.server0.host", "icg"},
             {kFixed + "0.name", "A"}, {kFixed + "0.value", "1"}, {kFixed + "1.name", "B"},
             {kFixed + "1.value", "$(echo no) 'q'"}, {kFixed + "2.name", "C"}, {kFixed + "3.name", "D"},
             {kFixed + "3.value", "4"}, {kDynamic + "0.name", "E"}, {kDynamic + "0.value", "5"}}) {
        _get.set(key, value);
    }
    makeCertificate("/wfs/server.crt", "/C=DE/O=Example Org/CN=ums\\/one", "0x0A1B2C");
    std::ofstream("/wfs/icgcert.crt") << "-----BEGIN CERTIFICATE-----\nbroken\n-----END CERTIFICATE-----\n";
    std::ofstream("/tmp/structuretag") << "  from-file \n";
    const TestSupport::LogWatch log;
    PropertyMap igel = read("Igel", "20.1.0.0");
    EXPECT_EQ(igel["DEVICE_IGEL_UMS_CERTIFICATE_THUMBPRINT_SHA256"].size(), 64U);
    igel.erase("DEVICE_IGEL_UMS_CERTIFICATE_THUMBPRINT_SHA256");
    EXPECT_EQ(igel, (PropertyMap{
        {"DEVICE_IGEL_STRUCTURETAG", "from-file"}, {"DEVICE_IGEL_UMS_SERVER", "10.0.0.1:30001;ums2"},
        {"DEVICE_IGEL_ICG_SERVER", "icg"}, {"DEVICE_IGEL_UMS_CERTIFICATE_SERIALNUMBER", "0A1B2C"},
        {"DEVICE_IGEL_UMS_CERTIFICATE_SUBJECT", "C = DE, O = Example Org, CN = ums/one"},
        {"DEVICE_IGEL_ICG_CERTIFICATE_SERIALNUMBER", "Unavailable"}, {"DEVICE_IGEL_ICG_CERTIFICATE_SUBJECT", "Unavailable"},
        {"DEVICE_IGEL_ICG_CERTIFICATE_THUMBPRINT_SHA256", "Unavailable"}, {"DEVICE_IGEL_ENVIRONMENT_COUNT", "3"},
        {"DEVICE_IGEL_ENVIRONMENT_0_NAME", "A"}, {"DEVICE_IGEL_ENVIRONMENT_0_VALUE", "1"},
        {"DEVICE_IGEL_ENVIRONMENT_0_TYPE", "Fixed"}, {"DEVICE_IGEL_ENVIRONMENT_1_NAME", "B"},
        {"DEVICE_IGEL_ENVIRONMENT_1_VALUE", "$(echo no) 'q'"}, {"DEVICE_IGEL_ENVIRONMENT_1_TYPE", "Fixed"},
        {"DEVICE_IGEL_ENVIRONMENT_2_NAME", "E"}, {"DEVICE_IGEL_ENVIRONMENT_2_VALUE", "5"},
        {"DEVICE_IGEL_ENVIRONMENT_2_TYPE", "Dynamic"}}));
    EXPECT_TRUE(log.contains("ERROR - Certificate [/wfs/icgcert.crt] could not be read"));
    EXPECT_NE(_get.runs().find("LC_ALL=C system.remotemanager.server0.ip\n"), std::string::npos) << _get.runs();
    // Hosts before 20.1: no variables under "Igel", the older keys under "Custom", which is empty for newer hosts.
    EXPECT_EQ(read("Igel", "20.0.9.9").size(), 9U);
    EXPECT_EQ(read("Custom", ""),
              (PropertyMap{{"DEVICE_CUSTOM_COUNT", "3"}, {"DEVICE_CUSTOM_0_PATH", kFixed + "0"},
                           {"DEVICE_CUSTOM_0_NAME", "A"}, {"DEVICE_CUSTOM_0_VALUE", "1"},
                           {"DEVICE_CUSTOM_1_PATH", kFixed + "1"}, {"DEVICE_CUSTOM_1_NAME", "B"},
                           {"DEVICE_CUSTOM_1_VALUE", "$(echo no) 'q'"}, {"DEVICE_CUSTOM_2_PATH", kDynamic + "0"},
                           {"DEVICE_CUSTOM_2_NAME", "E"}, {"DEVICE_CUSTOM_2_VALUE", "5"}}));
    EXPECT_TRUE(read("Custom", "20.1").empty());
}

TEST_F(IgelSystem, SelectedKeysOnlyWithTheirFallbacks)
{
    // An empty structure tag file gives the registry's tag; no gateway in the
    // registry, those of the legacy file (an agent without address is none).
    _get.set("system.remotemanager.ums_structure_tag", "from-registry");
    std::ofstream("/tmp/structuretag") << "\n";
    std::ofstream("/wfs/.icg.cfg") << "<icg-agent>\n <port>\n  value=<1>\n </port>\n</icg-agent>\n<icg-agent>\n"
                                      " <address>\n  value=<icg.example>\n </address>\n <port>value=<8443></port>\n"
                                      "</icg-agent>\n<icg-agent><address>value=<b></address></icg-agent>\n";
    makeCertificate("/wfs/icgcert.crt", "/CN=gateway", "0x99");
    EXPECT_EQ(read("Igel", "20.1", 1, 0x1 | 0x20 | 0x40 | 0x80),
              (PropertyMap{{"DEVICE_IGEL_STRUCTURETAG", "from-registry"}, {"DEVICE_IGEL_ICG_SERVER", "icg.example:8443;b"},
                           {"DEVICE_IGEL_ICG_CERTIFICATE_SERIALNUMBER", "99"},
                           {"DEVICE_IGEL_ICG_CERTIFICATE_SUBJECT", "CN = gateway"}}));
    // Management servers not selected: not asked for.
    EXPECT_EQ(_get.runs().find("remotemanager.server"), std::string::npos);
    EXPECT_EQ(read("Custom", "19.9"), (PropertyMap{{"DEVICE_CUSTOM_COUNT", "0"}}));
}

TEST_F(IgelSystem, UseOfAWatchedProgramIsAChangeUntilBothProgramsAreGone)
{
    // Only x11vnc, then both programs; each watch ends by itself, closing its
    // inotify descriptor, once the programs are gone.
    for (const bool both : {false, true}) {
        for (const char* program : {"/usr/bin/x11vnc", both ? "/usr/bin/wmconfig" : "/usr/bin/x11vnc"}) std::ofstream{program};
        std::atomic<int> changes = 0;
        IgelProvider provider(TestSupport::category("Igel"), "20.1");
        provider.monitorForChanges([&changes](auto changed) { changes += changed->name == "Igel" ? 1 : 0; });
        EXPECT_TRUE(waitUntil([&] { return use("/usr/bin/x11vnc") && changes > 0; })) << both;
        fs::remove("/usr/bin/x11vnc");
        if (both) {
            changes = 0;
            EXPECT_TRUE(waitUntil([&] { return use("/usr/bin/wmconfig") && changes > 0; }));
            fs::remove("/usr/bin/wmconfig");
        }
        EXPECT_TRUE(waitUntil([] { return TestSupport::inotifyDescriptors() == 0; })) << both;
    }
}

TEST_F(IgelSystem, OnlyIgelOfHostsFrom20_1WatchesAndMissingProgramsAreErrors)
{
    const TestSupport::LogWatch log;
    for (const auto& [name, host] : {std::pair{"Igel", "20.0"}, {"Custom", "21.0"}, {"Igel", "21.0"}}) {
        IgelProvider provider(TestSupport::category(name), host);
        provider.monitorForChanges([](std::shared_ptr<Category const>) {});
        provider.close();
    }
    EXPECT_EQ(log.count("ERROR - Failed to add inotify x11vnc watch error [2] message ["), 1U) << log.text();
    EXPECT_EQ(log.count("ERROR - Failed to add inotify wmconfig watch error [2] message ["), 1U);
}
