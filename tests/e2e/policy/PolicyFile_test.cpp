// SPDX-License-Identifier: Apache-2.0
// The owner's policy at /etc/cvclient/policy.conf (with a hosts file, in an overlay over /etc in this process's own
// mount namespace), through the library's entry points, each policy in a new process. NetworkManager (dbusmock)
// sees two access points; a local HTTPS service records every connection it accepts.
#include "support/ChildProcess.h"
#include "support/HttpsServer.h"
#include "support/Json.h"
#include "support/LoadedLibrary.h"
#include "support/LogWatch.h"
#include "support/MountNamespace.h"
#include "support/OwnProcess.h"
#include "support/NetworkManagerService.h"
#include "support/SystemBus.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>

using namespace TestSupport;

namespace {
// The file's text; key prefixes reported and not; lines logged; the service's requests ("METHOD PATH ").
struct Row { std::string policy, present, absent; std::vector<std::string> logLines; std::string requests; };

// Serves one Initialise in a process of its own; true when every check there passed.
bool servedInChild(const std::string& initialise, const Row& row)
{
    const ScopedEnv message{"CVCLIENT_POLICY_TEST_INITIALISE", initialise},
        present{"CVCLIENT_POLICY_TEST_PRESENT", row.present}, absent{"CVCLIENT_POLICY_TEST_ABSENT", row.absent};
    return passedInOwnProcess("PolicyFile.OneInitialiseInAProcessOfItsOwn");
}
}  // namespace

// The child's part: the reported keys have the prefixes asked for and none of the others.
TEST(PolicyFile, OneInitialiseInAProcessOfItsOwn)
{
    const char* initialise = getenv("CVCLIENT_POLICY_TEST_INITIALISE");
    if (initialise == nullptr) GTEST_SKIP() << "run by the test below, in a process of its own";
    const std::string keys = initialAnswer(initialise);
    std::string prefix;
    for (const bool wanted : {true, false}) {
        std::istringstream prefixes(getenv(wanted ? "CVCLIENT_POLICY_TEST_PRESENT" : "CVCLIENT_POLICY_TEST_ABSENT"));
        while (prefixes >> prefix) EXPECT_EQ(keys.find(" " + prefix) != std::string::npos, wanted) << prefix << " in " << keys;
    }
}

TEST(PolicyFile, DeniedCategoriesHostsLocalAddressesAndAccessPoints)
{
    SystemBus::instance();
    NetworkManagerService manager;
    const std::string wireless = manager.addWiFiDevice("wlan0", NetworkManagerService::kActivated, "02:00:00:00:00:02", 0);
    manager.addAccessPoint(wireless, "cafe", "Cafe", "0A:00:00:00:00:01", 40, {});
    manager.addAccessPoint(wireless, "office", "Office", "0A:00:00:00:00:02", 90, {});
    const HttpsServer server;
    const ScopedEnv ca{"CORVANE_CERTIFICATE_FILE", HttpsServer::caFile()}, noProxy{"no_proxy", "*"};
    const TempDir layers;
    std::filesystem::create_directory(layers.file("upper")), std::filesystem::create_directory(layers.file("work"));
    const std::string options = "lowerdir=/etc,upperdir=" + layers.file("upper") + ",workdir=" + layers.file("work");
    const ScopedMount etc("overlay", "/etc", "overlay", options.c_str());
    std::ofstream("/etc/hosts") << "127.0.0.1 localhost geo.example.com\n";
    std::filesystem::create_directories("/etc/cvclient");

    const std::string port = server.url("").substr(server.url("").rfind(':'));
    const std::string initialise = initialiseWith(
        R"({"name":"OS","status":2},{"name":"Corvane","status":2},{"name":"Location","status":2,"config":[["LocateUrl",)"
        R"("https://geo.example.com)" + port + R"(/geolocate"]]},{"name":"Whois","status":1,"filter":3,"config":[[)"
        R"("ProviderIpUrl","https://127.0.0.1)" + port + R"(/ip"]]})");
    const std::string refused = "] refused by the policy [/etc/cvclient/policy.conf]: ";
    for (const Row& row : std::vector<Row>{
             // A public-looking name a wildcard allows, resolving to 127.0.0.1; a host not allowed.
             {"[categories]\ndeny=OS\n[web]\nallow-hosts=*.example.com\ndeny-local-addresses=true\n",
              "DEVICE_CORVANE_ DEVICE_LOCATION_ DEVICE_WHOIS_IP ", "DEVICE_OS_ ",
              {"INFO - Category [OS] is denied by the policy [/etc/cvclient/policy.conf]",
               "ERROR - Request to [https://geo.example.com" + port + "/geolocate" + refused + "address [127.0.0.1] is local",
               "ERROR - Request to [https://127.0.0.1" + port + "/ip" + refused + "host [127.0.0.1] is not among"},
              ""},
             // Only these categories; the one allowed host is asked, the access points stay on the endpoint.
             {"[categories]\nallow=Location,Whois,Corvane\n[web]\nallow-hosts=127.0.0.1\nsend-access-points=false\n",
              "DEVICE_CORVANE_ DEVICE_LOCATION_ DEVICE_WHOIS_IP ", "DEVICE_OS_ ", {"INFO - Category [OS] is denied"},
              "GET /ip "},
             // Not a key file: the categories that make web requests are left out, and no request is made.
             {"[web\nallow-hosts=*", "DEVICE_OS_ DEVICE_CORVANE_ ", "DEVICE_LOCATION_ DEVICE_WHOIS_ ",
              {"ERROR - Policy [/etc/cvclient/policy.conf] cannot be read", "Category [Location] is denied"}, ""},
         }) {
        std::ofstream("/etc/cvclient/policy.conf", std::ios::trunc) << row.policy;
        server.clearRequests();
        EXPECT_TRUE(servedInChild(initialise, row)) << row.policy;
        const std::string log = readWhole(LogWatch::logFile());
        for (const std::string& line : row.logLines) EXPECT_NE(log.find(line), std::string::npos) << line;
        std::string requests;
        for (const HttpsRequest& request : server.requests()) requests += request.method + " " + request.path + " ";
        EXPECT_EQ(requests, row.requests) << row.policy;
        EXPECT_EQ(server.connections(), row.requests.empty() ? 0U : 1U) << row.policy;
    }
}
