#include "core/InitialiseData.h"

#include "properties/Category.h"
#include "support/LogWatch.h"
#include "support/TempDir.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace {

using TestSupport::LogWatch;
using TestSupport::readWhole;
using ::testing::HasSubstr;
using ::testing::Not;

// A refused document: the error flag, the defaults untouched, and the ERROR
// line that says why.
void expectRejected(const std::string& document, const std::string& reason)
{
    SCOPED_TRACE(document);
    LogWatch log;
    const InitialiseData data(document);
    EXPECT_TRUE(data.hasError());
    EXPECT_TRUE(data.getCategories().empty());
    EXPECT_EQ(data.getPropertyCheckInterval(), 60000);
    EXPECT_EQ(data.getHostVersion(), "");
    EXPECT_THAT(log.text(), HasSubstr(" : InitialiseData : ERROR - " + reason));
}

using Config = std::map<std::string, std::string>;

// An Initialise document whose "data" object has the given members.
std::string initialise(const std::string& members)
{
    return R"({"id":"Initialize","data":{)" + members + "}}";
}

// An Initialise document whose categories are the given array elements.
std::string withProperties(const std::string& elements)
{
    return initialise(R"("properties":[)" + elements + "]");
}

std::vector<std::string> namesOf(const InitialiseData& data)
{
    std::vector<std::string> names;
    for (const auto& category : data.getCategories()) {
        names.push_back(category->name);
    }
    return names;
}

TEST(InitialiseData, ReadsACompleteDocument)
{
    const InitialiseData data(R"({
        "id": "Initialize",
        "data": {
            "propertyCheckInterval": 30000,
            "softwareVersion": "4.2.1.7",
            "properties": [
                {"name": "Name", "status": 1, "filter": 5, "config": [["mode", "fast"], ["retries", 3]]},
                {"name": "OS"}
            ],
            "unknownMember": {"ignored": true}
        }
    })");

    EXPECT_FALSE(data.hasError());
    EXPECT_EQ(data.getPropertyCheckInterval(), 30000);
    EXPECT_EQ(data.getHostVersion(), "4.2.1.7");
    ASSERT_EQ(data.getCategories().size(), 2U);
    const Category& name = *data.getCategories()[0];
    EXPECT_EQ(name.name, "Name");
    EXPECT_EQ(name.status, 1);
    EXPECT_EQ(name.filter, 5);
    EXPECT_EQ(name.config, (Config{{"mode", "fast"}, {"retries", "3"}}));
    const Category& os = *data.getCategories()[1];
    EXPECT_EQ(os.name, "OS");
    EXPECT_EQ(os.status, 2);
    EXPECT_EQ(os.filter, 0);
    EXPECT_TRUE(os.config.empty());
}

TEST(InitialiseData, RejectsDocumentsThatAreNotAnInitialiseInstruction)
{
    const std::vector<std::string> documents = {
        R"({"id":"initialize","data":{}})",
        R"({"id":"INITIALIZE","data":{}})",
        R"({"id":"Initialize ","data":{}})",
        R"({"id":" Initialize","data":{}})",
        R"({"id":"Initialise","data":{}})",
        R"({"id":"Initialize\u0000","data":{}})",
        R"({"id":"Initialize\u0000x","data":{}})",
        R"({"id":"Init","data":{}})",
        R"({"id":"","data":{}})",
        R"({"id":"Initialize","data":[]})",
        R"({"id":"Initialize","data":null})",
        R"({"id":"Initialize","data":"text"})",
        R"({"id":"Initialize"})",
        R"({"ID":"Initialize","data":{}})",
        R"({"data":{"propertyCheckInterval":5}})",
        R"({"id":5,"data":{}})",
        R"({"id":["Initialize"],"data":{}})",
        R"(["Initialize",{}])",
        R"("Initialize")",
        R"(42)",
        R"(null)",
    };
    for (const std::string& document : documents) {
        expectRejected(document, "Unexpected instruction in document\n");
    }
}

TEST(InitialiseData, ReportsSyntaxErrorsWithOffsetAndReason)
{
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"", "offset [0] error [The document is empty."},
        {"   ", "offset [3] error [The document is empty."},
        {"{", "offset [1] error [Missing a name for object member."},
        {"xyz", "offset [0] error [Invalid value."},
        {" ]", "offset [1] error [Invalid value."},
        {R"({"id":"Initialize","data":{}} {})", "offset [30] error [The document root must not be followed by other values."},
        {R"({"id":"Initialize","data":{"properties":[}})", "offset [41] error [Invalid value."},
        {std::string("{\"id\":\"Initialize\"\0,\"data\":{}}", 30), "offset [18] error [Missing a comma or '}' after an object member."},
    };
    for (const auto& [document, reason] : cases) {
        expectRejected(document, "Failed to parse initialise data at " + reason);
    }
}

TEST(InitialiseData, ParsesUpToAnEmbeddedNul)
{
    const std::string document = withProperties(R"({"name":"OS"})");
    for (const std::string& tail : {std::string(), std::string("garbage"), std::string("{]"), std::string(1, '\0')}) {
        SCOPED_TRACE("tail [" + tail + "]");
        const InitialiseData data(document + std::string(1, '\0') + tail);
        EXPECT_FALSE(data.hasError());
        EXPECT_EQ(namesOf(data), std::vector<std::string>{"OS"});
    }
}

TEST(InitialiseData, ReadsOnlyThirtyTwoBitIntegerIntervals)
{
    struct Case {
        std::string value;
        int32_t interval;
        bool warns;
    };
    const std::vector<Case> cases = {
        {"1000", 1000, false},
        {"100", 100, false},
        {"99", 100, true},
        {"1", 100, true},
        {"0", 0, false},
        {"-5", -5, false},
        {"2147483647", 2147483647, false},
        {"-2147483648", INT32_MIN, false},
        {"1.5", 60000, true},
        {"1000.0", 60000, true},
        {"1e3", 60000, true},
        {"5000000000", 60000, true},
        {"2147483648", 60000, true},
        {"-2147483649", 60000, true},
        {R"("1000")", 60000, false},
        {"true", 60000, false},
        {"null", 60000, false},
        {"[1000]", 60000, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE("propertyCheckInterval " + c.value);
        LogWatch log;
        const InitialiseData data(initialise(R"("propertyCheckInterval":)" + c.value));
        EXPECT_FALSE(data.hasError());
        EXPECT_EQ(data.getPropertyCheckInterval(), c.interval);
        if (c.warns) {
            EXPECT_THAT(log.text(), HasSubstr(" : InitialiseData : WARNING - "));
        } else {
            EXPECT_THAT(log.text(), Not(HasSubstr(" : WARNING - ")));
        }
    }
}

TEST(InitialiseData, ReadsTheSoftwareVersionOnlyFromAString)
{
    const std::vector<std::pair<std::string, std::string>> cases = {
        {R"("4.2.1")", "4.2.1"},
        {R"("")", ""},
        {R"("4.2\u00001")", "4.2"},
        {R"(4.2)", ""},
        {R"(null)", ""},
        {R"(["4.2"])", ""},
    };
    for (const auto& [value, version] : cases) {
        SCOPED_TRACE("softwareVersion " + value);
        const InitialiseData data(initialise(R"("softwareVersion":)" + value));
        EXPECT_FALSE(data.hasError());
        EXPECT_EQ(data.getHostVersion(), version);
    }
}

TEST(InitialiseData, AcceptsDocumentsWithoutUsableCategories)
{
    const std::vector<std::string> documents = {
        initialise(""),
        initialise(R"("properties":[])"),
        initialise(R"("properties":{"name":"OS"})"),
        initialise(R"("properties":"OS")"),
        initialise(R"("properties":null)"),
        withProperties(R"(5,"OS",null,[],[{"name":"OS"}],{},{"status":2})"),
    };
    for (const std::string& document : documents) {
        SCOPED_TRACE(document);
        const InitialiseData data(document);
        EXPECT_FALSE(data.hasError());
        EXPECT_TRUE(data.getCategories().empty());
        EXPECT_EQ(data.getPropertyCheckInterval(), 60000);
    }
}

TEST(InitialiseData, SkipsCategoriesWithoutAStringNameAndLogsWhy)
{
    LogWatch log;
    const InitialiseData data(
        withProperties(R"("OS",{"status":2},{"name":7},{"name":null},{"name":["x"]},{"name":"Name"},{"name":"OS"})"));

    EXPECT_FALSE(data.hasError());
    EXPECT_EQ(namesOf(data), (std::vector<std::string>{"Name", "OS"}));
    const std::string added = log.text();
    EXPECT_THAT(added, HasSubstr(" : InitialiseData : VERBOSE - Ignoring category [1] since no name field\n"));
    for (const std::string index : {"[2]", "[3]", "[4]"}) {
        EXPECT_THAT(added, HasSubstr(" : InitialiseData : WARNING - Ignoring category " + index));
    }
    EXPECT_THAT(added, Not(HasSubstr("Ignoring category [0]")));
    EXPECT_THAT(added, Not(HasSubstr("Ignoring category [5]")));
}

TEST(InitialiseData, ReadsACategorySwitchedOnTwiceOnce)
{
    struct Case {
        std::string elements;
        std::vector<std::pair<std::string, int32_t>> kept;  // name and status
        std::vector<std::string> dropped;                   // indexes of the WARNING lines
    };
    const std::vector<Case> cases = {
        {R"({"name":"OS","status":0},{"name":"Name"},{"name":"OS","status":1,"filter":4},{"name":""})",
         {{"OS", 0}, {"Name", 2}, {"OS", 1}, {"", 2}}, {}},
        {R"({"name":"Corvane","status":0},{"name":"Corvane","status":2})", {{"Corvane", 0}, {"Corvane", 2}}, {}},
        {R"({"name":"OS","status":1},{"name":"OS"},{"name":"OS","status":0},{"name":"Name"},{"name":"OS","status":-1})",
         {{"OS", 1}, {"OS", 0}, {"Name", 2}}, {"[1]", "[4]"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.elements);
        LogWatch log;
        const InitialiseData data(withProperties(c.elements));
        std::vector<std::pair<std::string, int32_t>> kept;
        for (const auto& category : data.getCategories()) {
            kept.emplace_back(category->name, category->status);
        }
        EXPECT_EQ(kept, c.kept);
        EXPECT_EQ(log.count(" : InitialiseData : WARNING - Ignoring category ["), c.dropped.size());
        for (const std::string& index : c.dropped) {
            EXPECT_THAT(log.text(), HasSubstr("WARNING - Ignoring category " + index + " since category [OS] is "
                                              "already requested\n"));
        }
    }
}

TEST(InitialiseData, ParsesDeepDocumentsWithoutRecursion)
{
    const std::size_t depth = 1000000;
    const std::string arrays = std::string(depth, '[') + std::string(depth, ']');
    std::string objects;
    for (std::size_t i = 0; i < depth; ++i) {
        objects += R"({"a":)";
    }
    objects += "0" + std::string(depth, '}');
    expectRejected(arrays, "Unexpected instruction in document\n");
    expectRejected(objects, "Unexpected instruction in document\n");
    expectRejected(std::string(depth, '['), "Failed to parse initialise data at offset [" + std::to_string(depth) + "]");
    const InitialiseData nested(withProperties(R"({"name":"OS","deep":)" + arrays + "}"));
    EXPECT_FALSE(nested.hasError());
    EXPECT_EQ(namesOf(nested), std::vector<std::string>{"OS"});
}

TEST(InitialiseData, CutsTextsAtTheirFirstNul)
{
    const InitialiseData data(
        withProperties(R"({"name":"na\u0000me","config":[["ke\u0000y","va\u0000lue"],["\u0000","empty name"]]})"));
    ASSERT_EQ(data.getCategories().size(), 1U);
    const Category& category = *data.getCategories()[0];
    EXPECT_EQ(category.name, "na");
    EXPECT_EQ(category.name.size(), 2U);
    EXPECT_EQ(category.config, (Config{{"ke", "va"}, {"", "empty name"}}));
}

TEST(InitialiseData, ReadsStatusAndFilterOnlyFromIntegers)
{
    struct Case {
        std::string members;
        int32_t status;
        int32_t filter;
    };
    const std::vector<Case> cases = {
        {R"("status":0,"filter":7)", 0, 7},
        {R"("status":1,"filter":-1)", 1, -1},
        {R"("status":-3)", -3, 0},
        {R"("status":"2","filter":"3")", 2, 0},
        {R"("status":0.0,"filter":3.0)", 2, 0},
        {R"("status":1.5,"filter":1e1)", 2, 0},
        {R"("status":4294967295,"filter":4294967295)", 2, 0},
        {R"("status":null,"filter":true)", 2, 0},
        {R"("status":[0],"filter":{"bit":1})", 2, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.members);
        const InitialiseData data(withProperties(R"({"name":"OS",)" + c.members + "}"));
        ASSERT_EQ(data.getCategories().size(), 1U);
        EXPECT_EQ(data.getCategories()[0]->status, c.status);
        EXPECT_EQ(data.getCategories()[0]->filter, c.filter);
    }
}

TEST(InitialiseData, ReadsConfigPairsOfStringOrIntegerValues)
{
    struct Case {
        std::string config;
        Config expected;
    };
    const std::vector<Case> cases = {
        {R"([["A","x"],["A","y"],["B",7],["C",true],["D"]])", {{"A", "x"}, {"B", "7"}}},
        {R"([["neg",-5],["max",2147483647],["min",-2147483648]])",
         {{"neg", "-5"}, {"max", "2147483647"}, {"min", "-2147483648"}}},
        {R"([["big",5000000000],["fraction",1.5],["whole",2.0],["null",null],["list",["x"]],["object",{}]])", {}},
        {R"([["empty",""],["spaced"," v "]])", {{"empty", ""}, {"spaced", " v "}}},
        {R"([["three","a","b"],[],[5,"x"],[null,"x"],"pair",{"A":"x"},7])", {}},
        {R"([["skipped",true],["skipped","later"]])", {{"skipped", "later"}}},
        {R"([["first",1],["first","text"]])", {{"first", "1"}}},
        {R"({"A":"x"})", {}},
        {R"("A=x")", {}},
        {R"([])", {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.config);
        const InitialiseData data(withProperties(R"({"name":"OS","config":)" + c.config + "}"));
        EXPECT_FALSE(data.hasError());
        ASSERT_EQ(data.getCategories().size(), 1U);
        EXPECT_EQ(data.getCategories()[0]->config, c.expected);
    }
}

TEST(Category, SelectsKeysByStatusAndFilterBits)
{
    struct Case {
        int32_t status;
        int32_t filter;
        uint32_t bit;
        bool selected;
    };
    const std::vector<Case> cases = {
        {2, 0, 0x01, true},
        {2, 0, 0x80000000U, true},
        {0, -1, 0x01, false},
        {0, 0x0F, 0x04, false},
        {1, 0x05, 0x01, true},
        {1, 0x05, 0x02, false},
        {1, 0x05, 0x04, true},
        {1, 0, 0x01, false},
        {3, 0x08, 0x08, true},
        {3, 0x08, 0x10, false},
        {-1, 0x10, 0x10, true},
        {1, -1, 0x80000000U, true},
        {1, INT32_MIN, 0x80000000U, true},
        {1, INT32_MIN, 0x40000000U, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE("status " + std::to_string(c.status) + " filter " + std::to_string(c.filter) + " bit " +
                     std::to_string(c.bit));
        Category category;
        category.status = c.status;
        category.filter = c.filter;
        EXPECT_EQ(category.selects(c.bit), c.selected);
    }
}

TEST(Category, DefaultsToEverything)
{
    const Category category;
    EXPECT_EQ(category.status, 2);
    EXPECT_EQ(category.filter, 0);
    EXPECT_TRUE(category.selects(0x01));
}

}  // namespace
