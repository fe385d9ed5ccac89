// The IGEL provider's text rules, with registry answers given as a table.
// Readings against the system's files and tools: IgelProviderSystem_test.cpp.
#include "providers/igel/IgelProvider.h"

#include "support/Categories.h"
#include "support/LogWatch.h"

#include <gtest/gtest.h>

#include <chrono>
#include <map>

namespace {

using Registry = std::map<std::string, std::string>;

// The registry as `get` answers it: a key it does not know prints nothing.
IgelProvider::Lookup lookup(const Registry& registry, std::vector<std::string>* asked = nullptr)
{
    return [registry, asked](const std::string& key) -> std::optional<std::string> {
        if (asked != nullptr) {
            asked->push_back(key);
        }
        const auto found = registry.find(key);
        return found != registry.end() ? found->second : "";
    };
}

}  // namespace

TEST(IgelProvider, ServerListsJoinHostAndOptionalPort)
{
    const Registry registry{
        {"system.remotemanager.server0.ip", "10.0.0.1"}, {"system.remotemanager.server0.port", "30001"},
        {"system.remotemanager.server1.ip", "ums.example"},
        {"system.icg.server0.host", "host0"}, {"system.icg.server0.port", "port0"},
        {"system.icg.server1.host", "host1"},
        // Beyond the first gap: never read.
        {"system.icg.server3.host", "host3"},
    };
    EXPECT_EQ(IgelProvider::umsServers(lookup(registry)), "10.0.0.1:30001;ums.example");
    EXPECT_EQ(IgelProvider::icgServers(lookup(registry)), "host0:port0;host1");
    EXPECT_EQ(IgelProvider::icgServers(lookup({})), "");
    // A tool that cannot be started is no server.
    EXPECT_EQ(IgelProvider::umsServers([](const std::string&) { return std::nullopt; }), "");
}

TEST(IgelProvider, AtMostSixteenServers)
{
    Registry registry;
    for (int i = 0; i < 20; ++i) {
        registry["system.remotemanager.server" + std::to_string(i) + ".ip"] = "h" + std::to_string(i);
    }
    std::vector<std::string> asked;
    const std::string list = IgelProvider::umsServers(lookup(registry, &asked));
    EXPECT_EQ(std::count(list.begin(), list.end(), ';'), 15);
    EXPECT_EQ(list.substr(list.rfind(';') + 1), "h15");
    EXPECT_EQ(asked.size(), 32U);
}

TEST(IgelProvider, LegacyGatewayFileListsEveryAgentWithAnAddress)
{
    const std::string config = "<config>\n"
                               "<icg-agent>\n<address>\nvalue=<icg1.example>\n</address>\n"
                               "<port>\nvalue=<8443>\n</port>\n</icg-agent>\n"
                               "<icg-agent>\n<port>\nvalue=<9443>\n</port>\n</icg-agent>\n"
                               "</config>\n";
    EXPECT_EQ(IgelProvider::parseIcgConfig(config), "icg1.example:8443");

    // An agent without an address does not take the next agent's.
    const std::string first = "<icg-agent><port>value=<1></port></icg-agent>"
                              "<icg-agent><address>value=<two></address></icg-agent>";
    EXPECT_EQ(IgelProvider::parseIcgConfig(first), "two");

    // No port, an element without a value, an agent never closed.
    EXPECT_EQ(IgelProvider::parseIcgConfig("<icg-agent><address>value=<a></address></icg-agent>"
                                           "<icg-agent><address>none</address><port>value=<2></port></icg-agent>"
                                           "<icg-agent><address>value=<b></address></icg-agent>"
                                           "<icg-agent><address>value=<c></address>"),
              "a;b");
    EXPECT_EQ(IgelProvider::parseIcgConfig(""), "");
    EXPECT_EQ(IgelProvider::parseIcgConfig("<icg-agent><address>value=<x</address></icg-agent>"), "");
}

TEST(IgelProvider, VariablesAreFixedThenDynamicEachEndingAtTheFirstGap)
{
    const std::string fixed = "system.environment_variables.fixvariable";
    const std::string dynamic = "system.environment_variables.dynamicvariable";
    const Registry registry{
        {fixed + "0.name", "A"}, {fixed + "0.value", "1"},
        {fixed + "1.name", "B"}, {fixed + "1.value", "two words"},
        // An empty value ends the fixed list.
        {fixed + "2.name", "C"},
        {fixed + "3.name", "D"}, {fixed + "3.value", "4"},
        {dynamic + "0.name", "E"}, {dynamic + "0.value", "5"},
    };
    const std::vector<IgelProvider::Variable> variables = IgelProvider::readVariables(lookup(registry));
    ASSERT_EQ(variables.size(), 3U);
    EXPECT_EQ(variables[0].path, fixed + "0");
    EXPECT_EQ(variables[0].type, "Fixed");
    EXPECT_EQ(variables[1].value, "two words");
    EXPECT_EQ(variables[1].type, "Fixed");
    EXPECT_EQ(variables[2].path, dynamic + "0");
    EXPECT_EQ(variables[2].name, "E");
    EXPECT_EQ(variables[2].type, "Dynamic");
}

TEST(IgelProvider, AtMostTwentyVariablesOfEachKind)
{
    Registry registry;
    for (const std::string kind : {"fixvariable", "dynamicvariable"}) {
        for (int i = 0; i < 25; ++i) {
            const std::string path = "system.environment_variables." + kind + std::to_string(i);
            registry[path + ".name"] = "N";
            registry[path + ".value"] = "V";
        }
    }
    EXPECT_EQ(IgelProvider::readVariables(lookup(registry)).size(), 40U);
}

TEST(IgelProvider, CustomIsEmptyForCurrentHostsAndOtherCategoriesAreEmpty)
{
    for (const std::string version : {"20.1", "20.1.0.0", "21.0"}) {
        IgelProvider provider(TestSupport::category("Custom"), version);
        std::future<PropertyMap> reading = provider.getProperties();
        ASSERT_EQ(reading.wait_for(std::chrono::seconds(0)), std::future_status::ready);
        EXPECT_TRUE(reading.get().empty());
    }
    IgelProvider other(TestSupport::category("Other"), "19.0");
    EXPECT_TRUE(other.getProperties().get().empty());
}

TEST(IgelProvider, OnlyIgelForCurrentHostsMonitors)
{
    const TestSupport::LogWatch log;
    int calls = 0;
    for (const auto& [name, version] : std::vector<std::pair<std::string, std::string>>{
             {"Igel", "19.9"}, {"Igel", ""}, {"Custom", "20.1"}, {"Custom", "19.9"}}) {
        IgelProvider provider(TestSupport::category(name), version);
        provider.monitorForChanges([&calls](std::shared_ptr<Category const>) { ++calls; });
        provider.close();
        provider.close();
    }
    EXPECT_EQ(calls, 0);
    EXPECT_FALSE(log.contains("inotify"));
}
