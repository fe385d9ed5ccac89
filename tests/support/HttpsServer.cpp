// SPDX-License-Identifier: Apache-2.0
#include "support/HttpsServer.h"

#include <rapidjson/document.h>

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <stdexcept>

namespace TestSupport {
// The certificates, made by the service when it first needs them: NAME.pem and NAME.key.
static const TempDir& certificates()
{
    static const TempDir directory;
    return directory;
}
std::string HttpsServer::caFile() { return certificates().file("trusted.pem"); }
HttpsServer::HttpsServer(bool trusted)
{
    int port[2];
    if (pipe2(port, O_CLOEXEC) != 0) throw std::runtime_error("cannot make a pipe for the HTTPS service");
    // The service's own failures go to the test's standard error.
    _pid = startChild({"/usr/bin/python3", "-I", CVCLIENT_HTTPS_SERVER_SCRIPT, certificates().path(),
                       trusted ? "trusted" : "untrusted", _state.path()},
                      {{STDOUT_FILENO, port[1]}});
    close(port[1]);
    const auto line = _pid > 0 ? readFirstLine(port[0], std::chrono::seconds(30)) : std::nullopt;
    close(port[0]);
    if (!line || std::atoi(line->c_str()) <= 0) {
        stopChild(_pid);
        throw std::runtime_error("the HTTPS service did not start");
    }
    _base = "https://127.0.0.1:" + *line;
}
void HttpsServer::setAnswer(const std::string& path, const HttpsAnswer& answer) const
{
    std::string name = "answer" + path;
    std::replace(name.begin(), name.end(), '/', '|');
    _state.write(name, (answer.neverAnswer ? "never" : std::to_string(answer.status)) + "\n" + answer.body);
}
std::size_t HttpsServer::connections() const
{
    const std::string lines = readWhole(_state.file("connections"));
    return static_cast<std::size_t>(std::count(lines.begin(), lines.end(), '\n'));
}
std::vector<HttpsRequest> HttpsServer::requests() const
{
    std::vector<HttpsRequest> received;
    std::istringstream lines(readWhole(_state.file("requests.jsonl")));
    // Only complete lines: the service may be writing the next one.
    for (std::string line; std::getline(lines, line) && !lines.eof();) {
        rapidjson::Document record;
        record.Parse(line.c_str());
        HttpsRequest& request = received.emplace_back();
        request.method = record["method"].GetString();
        request.path = record["path"].GetString();
        request.body = record["body"].GetString();
        for (const auto& header : record["headers"].GetObject()) {
            request.headers[header.name.GetString()] = header.value.GetString();
        }
    }
    return received;
}
}  // namespace TestSupport
