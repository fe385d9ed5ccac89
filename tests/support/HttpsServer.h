// SPDX-License-Identifier: Apache-2.0
// A real HTTPS service on 127.0.0.1 (support/https_server.py) with canned answers per path and a record of
// the requests it received. Its certificate, for 127.0.0.1, is made by openssl once per process and trusted
// through caFile() (for CORVANE_CERTIFICATE_FILE); an untrusted service has another one.
#pragma once

#include "support/ChildProcess.h"
#include "support/TempDir.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace TestSupport {

struct HttpsAnswer {
    int status = 200;
    std::string body{};
    bool neverAnswer = false;  // read the request, then hold the connection until the service stops
};

struct HttpsRequest {
    std::string method, path, body;              // the path with its query
    std::map<std::string, std::string> headers;  // names in lower case
    std::string header(const std::string& name) const { return headers.count(name) ? headers.at(name) : "-"; }
};

class HttpsServer {
public:
    // Returns once the service listens; throws std::runtime_error when it cannot start.
    explicit HttpsServer(bool trusted = true);
    ~HttpsServer() { stopChild(_pid); }
    HttpsServer(const HttpsServer&) = delete;
    HttpsServer& operator=(const HttpsServer&) = delete;

    std::string url(const std::string& pathAndQuery) const { return _base + pathAndQuery; }
    static std::string caFile();
    // A path with a query matches that query only, one without any query; other paths get 404.
    void setAnswer(const std::string& path, const HttpsAnswer& answer) const;
    std::vector<HttpsRequest> requests() const;  // in the order received
    void clearRequests() const
    {
        std::remove(_state.file("requests.jsonl").c_str());
        std::remove(_state.file("connections").c_str());
    }
    // Connections accepted since the last clearRequests(), whether or not a request came.
    std::size_t connections() const;

private:
    TempDir _state;
    pid_t _pid = -1;
    std::string _base;
};

// Tests sharing one trusted service, without a proxy; each test starts with no requests recorded.
class HttpsTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() { server = std::make_unique<HttpsServer>(); }
    static void TearDownTestSuite() { server.reset(); }
    void SetUp() override { server->clearRequests(); }
    static inline std::unique_ptr<HttpsServer> server;
    ScopedEnv ca{"CORVANE_CERTIFICATE_FILE", HttpsServer::caFile()}, noProxy{"no_proxy", "127.0.0.1"};
};

}  // namespace TestSupport
