// A real HTTPS service on 127.0.0.1 (support/https_server.py under Debian's python3) with canned answers
// per path and a record of the requests it received. Its certificate, for 127.0.0.1, is made by openssl
// once per process and trusted through caFile() (for CORVANE_CERTIFICATE_FILE); an untrusted service has
// another one. libcurl honours proxy variables: a test that may run with one set sets no_proxy too.
// Build: link cvclient_https_test_server (tests/CMakeLists.txt) and compile support/TempDir.cpp.
#pragma once

#include "support/TempDir.h"

#include <sys/types.h>

#include <cstddef>
#include <map>
#include <string>
#include <vector>

namespace TestSupport {

struct HttpsAnswer {
    int status = 200;
    std::string body{};
    bool neverAnswer = false;  // read the request, then hold the connection open until the service stops
};

struct HttpsRequest {
    std::string method;
    std::string path;                            // with the query
    std::map<std::string, std::string> headers;  // names in lower case
    std::string body;

    std::string header(const std::string& lowerCaseName) const
    {
        const auto found = headers.find(lowerCaseName);
        return found != headers.end() ? found->second : "(none)";
    }
};

class HttpsServer {
public:
    // Starts the service on a free port and returns once it listens; throws std::runtime_error when it
    // cannot. It ends with the thread that made it.
    explicit HttpsServer(bool trusted = true);
    ~HttpsServer();
    HttpsServer(const HttpsServer&) = delete;
    HttpsServer& operator=(const HttpsServer&) = delete;

    std::string url(const std::string& pathAndQuery) const { return _base + pathAndQuery; }
    static std::string caFile();

    // The answer to requests for `path`: a path with a query matches that query only, one without any
    // query. Paths without an answer get 404.
    void setAnswer(const std::string& path, const HttpsAnswer& answer) const;

    std::vector<HttpsRequest> requests() const;  // in the order received
    void clearRequests() const;
    bool waitForRequests(std::size_t count) const;  // false when they did not come within a minute

private:
    TempDir _state;
    pid_t _pid = -1;
    std::string _base;
};

}  // namespace TestSupport
