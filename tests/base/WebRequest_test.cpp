// SPDX-License-Identifier: Apache-2.0
// WebRequest, with CustomCurlOpt's time-outs, against one local HTTPS service.
#include "base/CustomCurlOpt.h"
#include "base/WebRequest.h"

#include "support/HttpsServer.h"
#include "support/LogWatch.h"

#include <array>
#include <optional>
#include <tuple>

using TestSupport::HttpsServer;
using TestSupport::LogWatch;
using TestSupport::ScopedEnv;

namespace {

class WebRequestTest : public TestSupport::HttpsTest {
protected:
    bool get(const std::string& path) { return WebRequest::getJson(server->url(path), response); }
    rapidjson::Document response;
    // Generous time-outs: each handle loads the system's CA certificates, slow under TSan.
    ScopedEnv directory{"CORVANE_CERTIFICATE_DIR", {}}, verify{"CORVANE_CERTIFICATE_VERIFY", {}},
        timeout{"CORVANE_CURLOPT_TIMEOUT", "90000"}, connect{"CORVANE_CURLOPT_CONNECTTIMEOUT", "90000"};
};

TEST_F(WebRequestTest, GetAsksForJsonPostSendsTheCompactDocumentAndOnly2xxIsAnAnswer)
{
    rapidjson::Document request;
    request.Parse(R"({ "ssid" : "Caf\u00e9 \"1\"", "aps" : [ {"n":1} ] })");
    const std::string sent = "{\"ssid\":\"Caf\xC3\xA9 \\\"1\\\"\",\"aps\":[{\"n\":1}]}";
    server->setAnswer("/", {.body = R"({"redirected":1})"});
    for (const int status : {200, 204, 301, 404, 499, 500}) {
        const std::string path = "/status" + std::to_string(status);
        server->setAnswer(path, {.status = status, .body = status == 204 ? "" : R"({"city":"Z\u00fcrich"})"});
        LogWatch log;
        EXPECT_EQ(get(path + "?key=1"), status == 200) << status;
        EXPECT_TRUE(status == 204 || response["city"].GetString() == std::string("Z\xC3\xBCrich")) << status;
        EXPECT_EQ(WebRequest::postJson(server->url(path), request, response), status == 200) << status;
        EXPECT_EQ(log.count("] failed with HTTP status [" + std::to_string(status) + "]"), status / 100 != 2 ? 2U : 0U);
        const auto requests = server->requests();
        ASSERT_EQ(requests.size(), 2U) << "no redirect is followed";
        server->clearRequests();
        EXPECT_EQ(requests[0].method + requests[0].path + requests[0].header("accept"),
                  "GET" + path + "?key=1application/json");
        EXPECT_EQ(requests[1].method + " " + requests[1].body + " " + requests[1].header("content-length") + " " +
                      requests[1].header("content-type") + " " + requests[1].header("accept") +
                      requests[1].header("transfer-encoding") + requests[1].header("expect"),
                  "POST " + sent + " " + std::to_string(sent.size()) + " application/json; charset=utf-8 application/json--");
    }
}

TEST_F(WebRequestTest, FailuresLeaveTheirErrorLine)
{
    constexpr std::size_t kLimit = 1024 * 1024;
    server->setAnswer("/silent", {.neverAnswer = true});
    server->setAnswer("/html", {.status = 502, .body = "<html>Bad gateway</html>"});
    // Up to the limit passes, one byte more fails however it arrives.
    server->setAnswer("/limit", {.body = "\"" + std::string(kLimit - 2, 'a') + "\""});
    server->setAnswer("/over", {.body = "\"" + std::string(kLimit - 1, 'a') + "\""});
    // As deep as an answer within the limit can be: parsed without recursion.
    server->setAnswer("/deep", {.body = std::string(kLimit / 2, '[') + std::string(kLimit / 2, ']')});
    EXPECT_TRUE(get("/limit") && get("/deep"));
    const std::pair<std::string, std::string> cases[] = {
        {server->url("/silent"), "] failed with error [28] message [Timeout was reached]"},
        {"https://127.0.0.1:1/x", "] failed with error [7] message [Couldn't connect to server]"},
        {server->url("/html"), "ERROR - Failed to parse response error [3] reading [<html>Bad gateway</html>]"},
        {server->url("/over"), "ERROR - Response from [" + server->url("/over") + "] exceeds [1048576] bytes"},
        {"file:///etc/hostname", "] failed with error [1]"},
    };
    for (const auto& [url, line] : cases) {
        const ScopedEnv shortTimeout("CORVANE_CURLOPT_TIMEOUT", url == server->url("/silent") ? "300" : "90000");
        LogWatch log;
        EXPECT_FALSE(WebRequest::getJson(url, response)) << url;
        EXPECT_FALSE(WebRequest::postJson(url, rapidjson::Document(rapidjson::kObjectType), response)) << url;
        EXPECT_EQ(log.count(line), 2U) << url << "\n" << log.text().substr(0, 2000);
    }
}

TEST_F(WebRequestTest, OnlyTrustedCertificatesUnlessVerificationIsSwitchedOff)
{
    HttpsServer stranger(false);
    stranger.setAnswer("/geo", {.body = "[1]"});
    for (const std::string value : {"", "true", "no", "false", "FALSE", "0"}) {
        const bool off = value == "false" || value == "FALSE" || value == "0";
        const ScopedEnv setting("CORVANE_CERTIFICATE_VERIFY", value);
        LogWatch log;
        EXPECT_EQ(WebRequest::getJson(stranger.url("/geo"), response), off) << value;
        EXPECT_EQ(log.contains("] failed with error [60]"), !off) << value;
        EXPECT_EQ(log.contains("WARNING - Setting curl CA verify to FALSE"), off) << value;
    }
    EXPECT_EQ(stranger.requests().size(), 3U);
    server->setAnswer("/geo", {.body = "[1]"});
    LogWatch log;
    const ScopedEnv missing("CORVANE_CERTIFICATE_FILE", "/nonexistent/ca.pem");
    EXPECT_FALSE(get("/geo"));
    EXPECT_TRUE(log.contains("] failed with error [77]"));
    const TestSupport::TempDir certificates;
    certificates.write("test-ca.pem", TestSupport::readWhole(HttpsServer::caFile()));
    const ScopedEnv noFile("CORVANE_CERTIFICATE_FILE", {}), withDirectory("CORVANE_CERTIFICATE_DIR", certificates.path());
    EXPECT_TRUE(get("/geo"));
}

TEST(WebRequestArguments, ReplaceTheFirstPlaceholderIgnoringCaseAndReadTimeOuts)
{
    for (auto [text, name, expected] : std::initializer_list<std::array<std::string, 3>>{
             {"?ip=%IP%&again=%IP%", "%ip%", "?ip=V&again=%IP%"}, {"a%Lng%b", "%LNG%", "aVb"},
             {"?ip=%IP%", "%lat%", "?ip=%IP%"}, {"", "%IP%", ""}}) {
        const bool changes = text != expected;
        EXPECT_EQ(WebRequest::replaceArgument(text, name, "V"), changes) << name;
        EXPECT_EQ(text, expected);
    }
    // Milliseconds from the environment, else the default, with an error line when the value is bad.
    for (const auto& [value, expected, error] : std::initializer_list<std::tuple<std::optional<std::string>, long, const char*>>{
             {std::nullopt, 30000, ""}, {"5000", 5000, ""}, {" 250ms", 250, ""}, {"0", 0, ""},
             {"thirty", 30000, "ERROR - Failed to parse value. CORVANE_CURLOPT_TIMEOUT: [thirty]\n"},
             {"2147483648", 30000, "ERROR - Specified value is out of range. CORVANE_CURLOPT_TIMEOUT: [2147483648]\n"},
             {"-5", 30000, "ERROR - Specified value is out of range. CORVANE_CURLOPT_TIMEOUT: [-5]\n"}}) {
        const ScopedEnv setting("CORVANE_CURLOPT_TIMEOUT", value);
        LogWatch log;
        EXPECT_EQ(CustomCurlOpt().getValueALong("CORVANE_CURLOPT_TIMEOUT", 30000), expected) << value.value_or("-");
        EXPECT_EQ(log.contains(": ERROR - "), *error != '\0');
        EXPECT_TRUE(log.contains(error));
    }
}

}  // namespace
