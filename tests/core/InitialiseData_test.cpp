// SPDX-License-Identifier: Apache-2.0
#include "core/InitialiseData.h"

#include "support/LogWatch.h"

#include <gtest/gtest.h>

namespace {
// What a document gave: "error" (the defaults kept), or the interval, the host version and each category as
// name:status:filter,key=value...
std::string summary(const InitialiseData& data)
{
    std::string text = std::to_string(data.getPropertyCheckInterval()) + " [" + data.getHostVersion() + "]";
    for (const auto& category : data.getCategories()) {
        text += " " + category->name + ":" + std::to_string(category->status) + ":" + std::to_string(category->filter);
        for (const auto& [key, value] : category->config) text += "," + key + "=" + value;
    }
    return data.hasError() ? (text == "60000 []" ? "error" : "error " + text) : text;
}
std::string data(const std::string& members) { return R"({"id":"Initialize","data":{)" + members + "}}"; }
std::string properties(const std::string& elements) { return data(R"("properties":[)" + elements + "]"); }
}  // namespace

// Each document, what it gives, and the one WARNING or ERROR line it logs ("": none).
TEST(InitialiseData, ReadsTheInstructionByTheRules)
{
    const std::string refused = " : InitialiseData : ERROR - Unexpected instruction in document\n";
    const std::string syntax = " : InitialiseData : ERROR - Failed to parse initialise data at offset [";
    const std::string warning = " : InitialiseData : WARNING - ";
    const std::string deep = std::string(1000000, '[') + std::string(1000000, ']');
    const std::vector<std::tuple<std::string, std::string, std::string>> cases = {
        {R"({"id":"Initialize","data":{"propertyCheckInterval":30000,"softwareVersion":"4.2.1.7","properties":[
           {"name":"Name","status":1,"filter":5,"config":[["mode","fast"],["retries",3]]},{"name":"OS"}],"x":{}}})",
         "30000 [4.2.1.7] Name:1:5,mode=fast,retries=3 OS:2:0", ""},
        {R"({"id":"initialize","data":{}})", "error", refused},
        {R"({"id":"Initialize\u0000","data":{}})", "error", refused},
        {R"({"id":"Initialize","data":[]})", "error", refused},
        {deep, "error", refused},
        {"", "error", syntax + "0] error [The document is empty."},
        {data("") + " {}", "error", syntax + "30] error [The document root must not be followed by other values."},
        {std::string(1000000, '['), "error", syntax + "1000000]"},
        {properties(R"({"name":"OS"})") + std::string("\0{]", 3), "60000 [] OS:2:0", ""},
        {data(R"("propertyCheckInterval":100)"), "100 []", ""},
        {data(R"("propertyCheckInterval":99)"), "100 []", warning},
        {data(R"("propertyCheckInterval":-2147483648)"), "-2147483648 []", ""},
        {data(R"("propertyCheckInterval":2147483648)"), "60000 []", warning},
        {data(R"("propertyCheckInterval":1000.0)"), "60000 []", warning},
        {data(R"("propertyCheckInterval":"1000","softwareVersion":"4.2\u00001")"), "60000 [4.2]", ""},
        {properties(R"(5,"OS",null,[],{},{"name":"Name","deep":)" + deep + "}"), "60000 [] Name:2:0", ""},
        {properties(R"({"name":"OS"},{"name":7})"), "60000 [] OS:2:0", "WARNING - Ignoring category [1]"},
        {properties(R"({"name":"OS","status":1},{"name":"OS"},{"name":"OS","status":0})"),
         "60000 [] OS:1:0 OS:0:0", "WARNING - Ignoring category [1] since category [OS] is already requested\n"},
        {properties(R"({"name":"a","status":-3,"filter":-1},{"name":"b","status":"0","filter":1.0},)"
                    R"({"name":"c","status":4294967295,"filter":[1]})"),
         "60000 [] a:-3:-1 b:2:0 c:2:0", ""},
        {properties(R"({"name":"n\u0000x","config":[["A","x"],["A","y"],["B",-7],["C",true],["D"],["E",1.5],)"
                    R"(["F",5000000000],["G","a","b"],[5,"x"],["k\u0000y","v\u0000w"]]})"),
         "60000 [] n:2:0,A=x,B=-7,k=v", ""},
    };
    for (const auto& [document, expected, logged] : cases) {
        SCOPED_TRACE(document.substr(0, 200));
        const TestSupport::LogWatch log;
        EXPECT_EQ(summary(InitialiseData(document)), expected);
        EXPECT_EQ(log.count(" : WARNING - ") + log.count(" : ERROR - "), logged.empty() ? 0U : 1U) << log.text();
        EXPECT_NE(log.text().find(logged), std::string::npos) << log.text();
    }
}
