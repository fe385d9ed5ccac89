// A real HTTPS service on 127.0.0.1 for one test, with canned answers per
// path and a record of every request it received.
//
//     TestSupport::HttpsServer server;            // trusted through caFile()
//     TestSupport::ScopedEnv ca("CORVANE_CERTIFICATE_FILE", TestSupport::HttpsServer::caFile());
//     server.setAnswer("/geo", {.body = R"({"lat":1.5})"});
//     server.setAnswer("/missing", {.status = 404, .body = R"({"error":"none"})"});
//     ... WebRequest::getJson(server.url("/geo?key=1"), document) ...
//     server.requests()[0].header("Accept")        // "application/json"
//
// The service is tests/support/https_server.py run by Debian's python3. Its
// certificate is issued for 127.0.0.1 and localhost by a throwaway CA made
// with openssl once per test process; caFile() is that CA's certificate. An
// Untrusted service has a certificate of another CA that caFile() does not
// contain.
//
// Build: link the static library cvclient_https_test_server (defined in
// tests/CMakeLists.txt), which brings this header's directory and the
// script's path with it.
#pragma once

#include "support/TempDir.h"

#include <sys/types.h>

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace TestSupport {

using HttpHeaders = std::vector<std::pair<std::string, std::string>>;

// What the service answers on one path.
struct HttpsAnswer {
    int status = 200;
    std::string contentType = "application/json";
    std::string body{};    // any bytes, any size
    HttpHeaders headers{}; // further response headers, e.g. {{"Location", "/elsewhere"}}
    // Read the request, then hold the connection open without ever
    // answering (until the service stops): for time-outs.
    bool neverAnswer = false;
};

// One request as the service received it.
struct HttpsRequest {
    std::string method;   // "GET", "POST", ...
    std::string path;     // with the query: "/geo?key=1"
    HttpHeaders headers;  // in the order received, names as sent
    std::string body;     // decoded when it came chunked

    // The value of the first header called `name` (compared without case).
    std::optional<std::string> header(const std::string& name) const;
    // The number of headers called `name` (compared without case).
    std::size_t headerCount(const std::string& name) const;
};

class HttpsServer {
public:
    enum class Certificate {
        Trusted,    // issued by the CA in caFile()
        Untrusted,  // issued by another CA, not in caFile()
    };

    // Starts the service on a free port of 127.0.0.1 and returns once it
    // accepts connections. Throws std::runtime_error, with the service's
    // output, when it cannot start. The service also ends when the thread
    // that made it ends: make it on the test's own thread.
    explicit HttpsServer(Certificate certificate = Certificate::Trusted);
    // Stops the service (SIGTERM to its PID) and waits for it; connections
    // held open by neverAnswer are closed.
    ~HttpsServer();

    HttpsServer(const HttpsServer&) = delete;
    HttpsServer& operator=(const HttpsServer&) = delete;

    // "https://127.0.0.1:PORT"
    std::string baseUrl() const;
    // baseUrl() + pathAndQuery, e.g. url("/geo?key=1").
    std::string url(const std::string& pathAndQuery) const;
    std::uint16_t port() const { return _port; }

    // The certificate of the CA that issued every Trusted service's
    // certificate (PEM), for CORVANE_CERTIFICATE_FILE. Made once per process.
    static std::string caFile();

    // Sets the answer for requests to `path`. A path with a query matches
    // only that query; one without matches any query. The answer to a
    // request is looked up when it arrives; a path without an answer gets
    // 404 with a plain-text body. Later calls for the same path replace it.
    void setAnswer(const std::string& path, const HttpsAnswer& answer);

    // Every request received so far, in the order received.
    std::vector<HttpsRequest> requests() const;
    // Forgets the requests received so far.
    void clearRequests();

    // What the service wrote on its standard error (its own failures).
    std::string output() const;

private:
    void writeAnswers() const;

    TempDir _state;  // answers.json, answer bodies, requests.jsonl, stderr
    std::vector<std::pair<std::string, HttpsAnswer>> _answers;
    pid_t _pid = -1;
    std::uint16_t _port = 0;
};

}  // namespace TestSupport
