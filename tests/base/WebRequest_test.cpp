#include "base/WebRequest.h"

#include "support/HttpsServer.h"
#include "support/LogWatch.h"
#include "support/TempDir.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <rapidjson/document.h>

#include <filesystem>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace {

using TestSupport::HttpsAnswer;
using TestSupport::HttpsRequest;
using TestSupport::HttpsServer;
using TestSupport::LogWatch;
using TestSupport::ScopedEnv;
using TestSupport::TempDir;

// Whether the log `text` has `needle`; a failure names the needle, not the
// whole log, which holds every answer's body.
::testing::AssertionResult logged(const std::string& text, const std::string& needle)
{
    if (text.find(needle) != std::string::npos) {
        return ::testing::AssertionSuccess();
    }
    return ::testing::AssertionFailure() << "not logged: " << needle.substr(0, 300) << "\nlog ends: "
                                         << text.substr(text.size() > 1500 ? text.size() - 1500 : 0);
}

::testing::AssertionResult notLogged(const std::string& text, const std::string& needle)
{
    if (text.find(needle) == std::string::npos) {
        return ::testing::AssertionSuccess();
    }
    return ::testing::AssertionFailure() << "logged: " << needle;
}

// Every request goes to the local service, trusted through its CA file, with
// the environment otherwise clear of settings. The time-outs are generous:
// each handle loads the system's CA certificates too, which takes seconds
// under ThreadSanitizer on a busy machine.
class WebRequestTest : public ::testing::Test {
protected:
    HttpsServer server;
    ScopedEnv caFile{"CORVANE_CERTIFICATE_FILE", HttpsServer::caFile()};
    ScopedEnv caDirectory{"CORVANE_CERTIFICATE_DIR", std::nullopt};
    ScopedEnv verify{"CORVANE_CERTIFICATE_VERIFY", std::nullopt};
    ScopedEnv timeout{"CORVANE_CURLOPT_TIMEOUT", "90000"};
    ScopedEnv connectTimeout{"CORVANE_CURLOPT_CONNECTTIMEOUT", "90000"};
    ScopedEnv noProxy{"no_proxy", "127.0.0.1"};

    // The single request the service received.
    HttpsRequest onlyRequest() const
    {
        const std::vector<HttpsRequest> received = server.requests();
        EXPECT_EQ(received.size(), 1u);
        return received.empty() ? HttpsRequest{} : received.front();
    }
};

TEST_F(WebRequestTest, GetAsksForJsonAndParsesTheAnswerTracingTheWholeExchange)
{
    server.setAnswer("/geo", {.body = R"({"lat":1.5,"city":"Bremen"})"});
    const std::string url = server.url("/geo?key=1");
    ScopedEnv defaultTimeout("CORVANE_CURLOPT_TIMEOUT", std::nullopt);
    ScopedEnv defaultConnectTimeout("CORVANE_CURLOPT_CONNECTTIMEOUT", std::nullopt);
    LogWatch log;

    rapidjson::Document response;
    ASSERT_TRUE(WebRequest::getJson(url, response));
    ASSERT_TRUE(response.IsObject());
    EXPECT_EQ(response["lat"].GetDouble(), 1.5);
    EXPECT_STREQ(response["city"].GetString(), "Bremen");

    const HttpsRequest request = onlyRequest();
    EXPECT_EQ(request.method, "GET");
    EXPECT_EQ(request.path, "/geo?key=1");
    EXPECT_EQ(request.header("Accept"), "application/json");
    EXPECT_EQ(request.body, "");

    const std::string text = log.text();
    EXPECT_TRUE(logged(text, " : getJson : ENTER"));
    EXPECT_TRUE(logged(text, " : getJson : EXIT"));
    EXPECT_TRUE(logged(text, "getValueALong : VERBOSE - Setting [CORVANE_CURLOPT_TIMEOUT] as default value [30000]."));
    EXPECT_TRUE(
        logged(text, "getValueALong : VERBOSE - Setting [CORVANE_CURLOPT_CONNECTTIMEOUT] as default value [10000]."));
    EXPECT_TRUE(
        logged(text, "CurlCreateRequestForUrl : VERBOSE - Setting curl CA file [" + HttpsServer::caFile() + "]"));
    EXPECT_TRUE(notLogged(text, "Setting curl CA path"));
    EXPECT_TRUE(notLogged(text, "Setting curl CA verify to FALSE"));
    EXPECT_TRUE(logged(text, "getJson : VERBOSE - Getting url [" + url + "]"));
    EXPECT_TRUE(logged(text, "getJson : VERBOSE - Request to [" + url + "] succeeded"));
    EXPECT_TRUE(logged(text, R"(getJson : VERBOSE - Successfully parsed response [{"lat":1.5,"city":"Bremen"}])"));
    EXPECT_TRUE(logged(text, "WriteMemoryCallback : VERBOSE - Read [27] response bytes"));
    // libcurl's own trace, one line per callback with the carriage returns
    // of the headers turned into spaces.
    EXPECT_TRUE(logged(text, "CurlTrace : VERBOSE - TEXT: "));
    EXPECT_TRUE(logged(text, "CurlTrace : VERBOSE - SEND HEADER: GET /geo?key=1 HTTP/1.1 \nHost: 127.0.0.1:"));
    EXPECT_TRUE(logged(text, "CurlTrace : VERBOSE - RECV HEADER: HTTP/1.1 200 OK "));
    EXPECT_TRUE(logged(text, R"(CurlTrace : VERBOSE - RECV DATA: {"lat":1.5,"city":"Bremen"})"));
}

TEST_F(WebRequestTest, PostSendsTheCompactDocumentWithItsLengthAndNeverChunked)
{
    server.setAnswer("/lookup", {.body = R"({"ok":true})"});
    const std::string url = server.url("/lookup");
    rapidjson::Document request;
    request.Parse(R"({ "considerIp" : false, "wifiAccessPoints" : [ {"macAddress":"00:11:22:33:44:55"} ], "n": 1 })");
    ASSERT_FALSE(request.HasParseError());
    const std::string serialised =
        R"({"considerIp":false,"wifiAccessPoints":[{"macAddress":"00:11:22:33:44:55"}],"n":1})";
    LogWatch log;

    rapidjson::Document response;
    ASSERT_TRUE(WebRequest::postJson(url, request, response));
    EXPECT_TRUE(response["ok"].GetBool());

    const HttpsRequest received = onlyRequest();
    EXPECT_EQ(received.method, "POST");
    EXPECT_EQ(received.path, "/lookup");
    EXPECT_EQ(received.body, serialised);
    EXPECT_EQ(received.header("Content-Type"), "application/json; charset=utf-8");
    EXPECT_EQ(received.header("Accept"), "application/json");
    EXPECT_EQ(received.headerCount("Content-Length"), 1u);
    EXPECT_EQ(received.header("Content-Length"), std::to_string(serialised.size()));
    EXPECT_EQ(received.header("Transfer-Encoding"), std::nullopt);
    EXPECT_EQ(received.header("Expect"), std::nullopt);

    const std::string text = log.text();
    EXPECT_TRUE(logged(text, "postJson : VERBOSE - Posting request url [" + url + "] with content [" + serialised +
                                "] length [" + std::to_string(serialised.size()) + "]"));
    EXPECT_TRUE(logged(text, "ReadMemoryCallback : VERBOSE - Wrote [" + std::to_string(serialised.size()) +
                                "] request bytes"));
    EXPECT_TRUE(logged(text, "postJson : VERBOSE - Request to [" + url + "] succeeded"));
    EXPECT_TRUE(logged(text, "postJson : VERBOSE - Successfully parsed response to url [" + url + "]"));
    EXPECT_TRUE(logged(text, "CurlTrace : VERBOSE - SEND HEADER: POST /lookup HTTP/1.1 "));
    EXPECT_TRUE(logged(text, "CurlTrace : VERBOSE - SEND DATA: " + serialised));
}

TEST_F(WebRequestTest, PostSendsTextOutsideAsciiAsUtf8AndCountsItsBytes)
{
    server.setAnswer("/lookup", {.body = R"({"city":"Z\u00fcrich"})"});
    rapidjson::Document request(rapidjson::kObjectType);
    request.AddMember("ssid", rapidjson::Value("Caf\xC3\xA9 \"Zentrum\"\t1", request.GetAllocator()),
                      request.GetAllocator());
    const std::string serialised = "{\"ssid\":\"Caf\xC3\xA9 \\\"Zentrum\\\"\\t1\"}";

    rapidjson::Document response;
    ASSERT_TRUE(WebRequest::postJson(server.url("/lookup"), request, response));
    EXPECT_STREQ(response["city"].GetString(), "Z\xC3\xBCrich");
    const HttpsRequest received = onlyRequest();
    EXPECT_EQ(received.body, serialised);
    EXPECT_EQ(received.header("Content-Length"), std::to_string(serialised.size()));
}

TEST_F(WebRequestTest, PostOfAnEmptyObjectSendsTwoBytes)
{
    server.setAnswer("/empty", {.body = "{}"});
    rapidjson::Document request(rapidjson::kObjectType);
    rapidjson::Document response;
    ASSERT_TRUE(WebRequest::postJson(server.url("/empty"), request, response));
    const HttpsRequest received = onlyRequest();
    EXPECT_EQ(received.body, "{}");
    EXPECT_EQ(received.header("Content-Length"), "2");
}

TEST_F(WebRequestTest, AServerThatNeverAnswersEndsInTheTimeOutAndLeavesTheDocument)
{
    server.setAnswer("/silent", {.neverAnswer = true});
    ScopedEnv shortTimeout("CORVANE_CURLOPT_TIMEOUT", "300");
    const std::string url = server.url("/silent");
    LogWatch log;

    rapidjson::Document response;
    response.Parse(R"({"before":1})");
    EXPECT_FALSE(WebRequest::getJson(url, response));
    EXPECT_TRUE(response.HasMember("before"));
    EXPECT_TRUE(logged(log.text(), "Setting [CORVANE_CURLOPT_TIMEOUT] [300] from environment."));
    EXPECT_TRUE(logged(log.text(), "getJson : ERROR - Request to [" + url +
                                      "] failed with error [28] message [Timeout was reached]"));

    rapidjson::Document request(rapidjson::kObjectType);
    EXPECT_FALSE(WebRequest::postJson(url, request, response));
    EXPECT_TRUE(logged(log.text(), "postJson : ERROR - Request to [" + url + "] failed with error [28]"));
}

TEST_F(WebRequestTest, NoServiceAtTheAddressFailsWithTheConnectionError)
{
    std::string url;
    {
        HttpsServer gone;
        url = gone.url("/geo");
    }
    LogWatch log;
    rapidjson::Document response;
    EXPECT_FALSE(WebRequest::getJson(url, response));
    EXPECT_TRUE(logged(log.text(), "getJson : ERROR - Request to [" + url +
                                       "] failed with error [7] message [Couldn't connect to server]"));
}

TEST_F(WebRequestTest, AnswersThatAreNotJsonFailWithTheParseErrorLine)
{
    server.setAnswer("/empty", {.body = ""});
    const std::string page = "<html><body>Bad gateway</body></html>";
    server.setAnswer("/html", {.status = 502, .contentType = "text/html", .body = page});
    LogWatch log;

    rapidjson::Document response;
    EXPECT_FALSE(WebRequest::getJson(server.url("/empty"), response));
    EXPECT_TRUE(response.HasParseError());
    EXPECT_TRUE(logged(log.text(), "getJson : ERROR - Failed to parse response error [1] reading []"));

    EXPECT_FALSE(WebRequest::getJson(server.url("/html"), response));
    EXPECT_TRUE(logged(log.text(), "getJson : ERROR - Failed to parse response error [3] reading [" + page + "]"));

    rapidjson::Document request(rapidjson::kObjectType);
    EXPECT_FALSE(WebRequest::postJson(server.url("/html"), request, response));
    EXPECT_TRUE(logged(log.text(), "postJson : ERROR - Failed to parse response error [3]"));
}

TEST_F(WebRequestTest, OnlyAStatusOf200To299IsAnAnswerButEveryBodyIsRead)
{
    struct Case {
        int status;
        std::string body;
        bool answered;
        const char* line;  // besides the status line of a failure
    };
    const Case cases[] = {
        {200, R"({"ok":true})", true, "VERBOSE - Successfully parsed response [{\"ok\":true}]"},
        {204, "", false, "ERROR - Failed to parse response error [1] reading []"},
        {301, R"({"moved":true})", false, ""},
        {403, R"({"error":{"code":403,"message":"API key missing"}})", false, ""},
        {404, R"({"error":{"code":404,"message":"Not Found"}})", false, ""},
        {500, R"({"error":"internal"})", false, ""},
    };
    server.setAnswer("/target", {.body = R"({"target":true})"});
    for (const Case& test : cases) {
        SCOPED_TRACE(test.status);
        const std::string path = "/status" + std::to_string(test.status);
        server.setAnswer(path, {.status = test.status, .body = test.body, .headers = {{"Location", "/target"}}});
        server.clearRequests();
        LogWatch log;
        rapidjson::Document response;
        EXPECT_EQ(WebRequest::getJson(server.url(path), response), test.answered);
        EXPECT_TRUE(logged(log.text(), test.line));
        const std::string failure = "getJson : ERROR - Request to [" + server.url(path) + "] failed with HTTP status [" +
                                    std::to_string(test.status) + "]";
        EXPECT_EQ(log.contains(failure), test.status / 100 != 2);
        if (!test.body.empty()) {
            // The body stays for the caller, who may read a service's error from it.
            ASSERT_TRUE(response.IsObject());
            EXPECT_NE(response.MemberBegin()->name.GetString(), std::string("target"));
        }
        EXPECT_EQ(onlyRequest().path, path) << "a redirect is not followed";
    }
}

TEST_F(WebRequestTest, AnUntrustedCertificateFailsUnlessVerificationIsSwitchedOff)
{
    HttpsServer stranger(HttpsServer::Certificate::Untrusted);
    stranger.setAnswer("/geo", {.body = R"({"from":"stranger"})"});
    const std::string url = stranger.url("/geo");

    using Setting = std::optional<std::string>;
    for (const Setting& value : {Setting(), Setting(""), Setting("true"), Setting("yes"), Setting("no")}) {
        SCOPED_TRACE("CORVANE_CERTIFICATE_VERIFY=" + value.value_or("(unset)"));
        ScopedEnv setting("CORVANE_CERTIFICATE_VERIFY", value);
        LogWatch log;
        rapidjson::Document response;
        EXPECT_FALSE(WebRequest::getJson(url, response));
        EXPECT_TRUE(logged(log.text(), "getJson : ERROR - Request to [" + url + "] failed with error [60]"));
        EXPECT_TRUE(notLogged(log.text(), "Setting curl CA verify to FALSE"));
    }
    EXPECT_TRUE(stranger.requests().empty());

    {
        // A CA file that cannot be read trusts nothing.
        ScopedEnv missing("CORVANE_CERTIFICATE_FILE", "/nonexistent/ca.pem");
        LogWatch log;
        rapidjson::Document response;
        EXPECT_FALSE(WebRequest::getJson(server.url("/geo"), response));
        EXPECT_TRUE(logged(log.text(), "Setting curl CA file [/nonexistent/ca.pem]"));
        EXPECT_TRUE(
            logged(log.text(), "getJson : ERROR - Request to [" + server.url("/geo") + "] failed with error [77]"));
    }

    for (const std::string value : {"false", "FALSE", "False", "0"}) {
        SCOPED_TRACE("CORVANE_CERTIFICATE_VERIFY=" + value);
        ScopedEnv setting("CORVANE_CERTIFICATE_VERIFY", value);
        LogWatch log;
        rapidjson::Document response;
        EXPECT_TRUE(WebRequest::getJson(url, response));
        EXPECT_TRUE(logged(log.text(), "CurlCreateRequestForUrl : WARNING - Setting curl CA verify to FALSE"));
    }
}

TEST_F(WebRequestTest, ACertificateDirectoryIsTrustedToo)
{
    TempDir directory;
    directory.write("test-ca.pem", TestSupport::readWhole(HttpsServer::caFile()));
    ScopedEnv noFile("CORVANE_CERTIFICATE_FILE", std::nullopt);
    ScopedEnv withDirectory("CORVANE_CERTIFICATE_DIR", directory.path());
    server.setAnswer("/geo", {.body = "[1]"});
    LogWatch log;

    rapidjson::Document response;
    EXPECT_TRUE(WebRequest::getJson(server.url("/geo"), response));
    EXPECT_TRUE(
        logged(log.text(), "CurlCreateRequestForUrl : VERBOSE - Setting curl CA path [" + directory.path() + "]"));
    EXPECT_TRUE(notLogged(log.text(), "Setting curl CA file"));
}

TEST_F(WebRequestTest, AnAnswerOverOneMebibyteFails)
{
    constexpr std::size_t kLimit = 1024 * 1024;
    // A JSON string of exactly the limit passes; one byte more fails.
    server.setAnswer("/limit", {.body = "\"" + std::string(kLimit - 2, 'a') + "\""});
    server.setAnswer("/over", {.body = "\"" + std::string(kLimit - 1, 'a') + "\""});
    server.setAnswer("/huge", {.body = "\"" + std::string(2 * kLimit, 'a') + "\""});

    rapidjson::Document response;
    ASSERT_TRUE(WebRequest::getJson(server.url("/limit"), response));
    EXPECT_EQ(response.GetStringLength(), kLimit - 2);

    for (const std::string path : {"/over", "/huge"}) {
        LogWatch log;
        const std::string url = server.url(path);
        EXPECT_FALSE(WebRequest::getJson(url, response));
        EXPECT_TRUE(logged(log.text(), "WriteMemoryCallback : ERROR - Response from [" + url +
                                          "] exceeds [1048576] bytes, transfer stopped"));
        EXPECT_TRUE(logged(log.text(), "getJson : ERROR - Request to [" + url + "] failed with error [23]"));
    }
}

TEST_F(WebRequestTest, OnlyWebAddressesAreFetched)
{
    TempDir directory;
    const std::string file = directory.write("answer.json", R"({"local":true})");
    for (const std::string& url : {"file://" + file, "ftp://127.0.0.1:" + std::to_string(server.port()) + "/x",
                                  "dict://127.0.0.1:" + std::to_string(server.port()) + "/x",
                                  "gopher://127.0.0.1:" + std::to_string(server.port()) + "/x"}) {
        SCOPED_TRACE(url);
        LogWatch log;
        rapidjson::Document response;
        EXPECT_FALSE(WebRequest::getJson(url, response));
        EXPECT_FALSE(response.IsObject());
        EXPECT_TRUE(logged(log.text(), "getJson : ERROR - Request to [" + url + "] failed with error [1]"));
        rapidjson::Document request(rapidjson::kObjectType);
        EXPECT_FALSE(WebRequest::postJson(url, request, response));
        EXPECT_TRUE(logged(log.text(), "postJson : ERROR - Request to [" + url + "] failed with error [1]"));
    }
    EXPECT_TRUE(server.requests().empty());
}

TEST_F(WebRequestTest, DeeplyNestedAnswersDoNotExhaustTheStack)
{
    // As deep as an answer within the size limit can be.
    constexpr std::size_t kDepth = 512 * 1024;
    server.setAnswer("/open", {.body = std::string(2 * kDepth, '[')});
    server.setAnswer("/closed", {.body = std::string(kDepth, '[') + std::string(kDepth, ']')});
    LogWatch log;

    rapidjson::Document response;
    EXPECT_FALSE(WebRequest::getJson(server.url("/open"), response));
    EXPECT_TRUE(logged(log.text(), "getJson : ERROR - Failed to parse response error ["));
    ASSERT_TRUE(WebRequest::getJson(server.url("/closed"), response));
    EXPECT_TRUE(response.IsArray());
}

TEST_F(WebRequestTest, RequestsOnSeveralThreadsAtOnceEachGetTheirOwnAnswer)
{
    constexpr int kThreads = 8;
    for (int i = 0; i < kThreads; ++i) {
        // Each answer waits until all requests are in flight: none waits
        // for another to end.
        server.setAnswer("/item/" + std::to_string(i),
                         {.body = R"({"index":)" + std::to_string(i) + "}", .holdUntilReleased = true});
    }
    std::vector<int> indexes(kThreads, -1);
    std::vector<std::thread> threads;
    for (int i = 0; i < kThreads; ++i) {
        threads.emplace_back([&, i] {
            // Initialising libcurl races with the first requests.
            rapidjson::Document response;
            const std::string url = server.url("/item/" + std::to_string(i));
            bool ok = false;
            if (i % 2 == 0) {
                ok = WebRequest::getJson(url, response);
            } else {
                rapidjson::Document request(rapidjson::kObjectType);
                ok = WebRequest::postJson(url, request, response);
            }
            if (ok && response.IsObject() && response.HasMember("index")) {
                indexes[i] = response["index"].GetInt();
            }
        });
    }
    EXPECT_TRUE(server.waitForRequests(kThreads));
    server.releaseHeldAnswers();
    for (std::thread& thread : threads) {
        thread.join();
    }
    for (int i = 0; i < kThreads; ++i) {
        EXPECT_EQ(indexes[i], i);
    }
    EXPECT_EQ(server.requests().size(), static_cast<std::size_t>(kThreads));
}

TEST(WebRequestReplaceArgument, ReplacesTheFirstOccurrenceIgnoringCase)
{
    std::string url = "https://geo.example/lookup?ip=%IP%&again=%IP%";
    EXPECT_TRUE(WebRequest::replaceArgument(url, "%ip%", "192.0.2.7"));
    EXPECT_EQ(url, "https://geo.example/lookup?ip=192.0.2.7&again=%IP%");

    std::string coordinates = "https://maps.example/?latlng=%LAT%,%Lng%";
    EXPECT_TRUE(WebRequest::replaceArgument(coordinates, "%lat%", "53.07"));
    EXPECT_TRUE(WebRequest::replaceArgument(coordinates, "%LNG%", "8.8"));
    EXPECT_EQ(coordinates, "https://maps.example/?latlng=53.07,8.8");

    // A longer or shorter value than the placeholder.
    std::string shorter = "a%IP%b";
    EXPECT_TRUE(WebRequest::replaceArgument(shorter, "%IP%", ""));
    EXPECT_EQ(shorter, "ab");
}

TEST(WebRequestReplaceArgument, LeavesTheTextAloneWhenTheNameIsAbsentOrEmpty)
{
    std::string url = "https://geo.example/lookup?ip=%IP%";
    EXPECT_FALSE(WebRequest::replaceArgument(url, "%lat%", "1"));
    EXPECT_FALSE(WebRequest::replaceArgument(url, "", "1"));
    EXPECT_FALSE(WebRequest::replaceArgument(url, "%IP%&more", "1"));
    EXPECT_EQ(url, "https://geo.example/lookup?ip=%IP%");

    std::string empty;
    EXPECT_FALSE(WebRequest::replaceArgument(empty, "%IP%", "1"));
    EXPECT_EQ(empty, "");
}

}  // namespace
