#include "support/HttpsServer.h"

#include "support/ChildProcess.h"

#include <rapidjson/document.h>

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <sstream>
#include <stdexcept>
#include <thread>

namespace TestSupport {

namespace {

// A self-signed certificate for 127.0.0.1, PREFIX.pem, and its key, PREFIX.key; returns PREFIX.
std::string issue(const std::string& name)
{
    static const TempDir directory;
    const std::string prefix = directory.file(name);
    const std::string command = "openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -days 2"
                                " -subj /CN=127.0.0.1 -addext subjectAltName=IP:127.0.0.1 -keyout '" +
                                prefix + ".key' -out '" + prefix + ".pem' >'" + prefix + ".log' 2>&1";
    if (std::system(command.c_str()) != 0) {
        throw std::runtime_error("openssl could not make a certificate:\n" + readWhole(prefix + ".log"));
    }
    return prefix;
}

std::string certificate(bool trusted)
{
    if (trusted) {
        static const std::string made = issue("trusted");
        return made;
    }
    static const std::string made = issue("untrusted");
    return made;
}

}  // namespace

std::string HttpsServer::caFile()
{
    return certificate(true) + ".pem";
}

HttpsServer::HttpsServer(bool trusted)
{
    const std::string prefix = certificate(trusted);
    const int error = open(_state.file("server.err").c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
    int port[2];
    if (error < 0 || pipe2(port, O_CLOEXEC) != 0) {
        throw std::runtime_error("cannot make the HTTPS service's output files");
    }
    _pid = startChild({"/usr/bin/python3", "-I", CVCLIENT_HTTPS_SERVER_SCRIPT, prefix + ".pem", prefix + ".key",
                       _state.path()},
                      {{STDOUT_FILENO, port[1]}, {STDERR_FILENO, error}});
    close(error);
    close(port[1]);
    const auto line = _pid > 0 ? readFirstLine(port[0], std::chrono::seconds(30)) : std::nullopt;
    close(port[0]);
    if (!line || std::atoi(line->c_str()) <= 0) {
        stopChild(_pid);
        throw std::runtime_error("the HTTPS service did not start:\n" + readWhole(_state.file("server.err")));
    }
    _base = "https://127.0.0.1:" + *line;
}

HttpsServer::~HttpsServer()
{
    stopChild(_pid);
}

void HttpsServer::setAnswer(const std::string& path, const HttpsAnswer& answer) const
{
    std::string name = "answer" + path;
    std::replace(name.begin(), name.end(), '/', '|');
    // Replaced in one step: the service never reads a half-written answer.
    _state.write("new", (answer.neverAnswer ? "never" : std::to_string(answer.status)) + "\n" + answer.body);
    if (std::rename(_state.file("new").c_str(), _state.file(name).c_str()) != 0) {
        throw std::runtime_error("cannot write the answer for " + path);
    }
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
        request.body.assign(record["body"].GetString(), record["body"].GetStringLength());
        for (const auto& header : record["headers"].GetObject()) {
            request.headers[header.name.GetString()] = header.value.GetString();
        }
    }
    return received;
}

void HttpsServer::clearRequests() const
{
    std::remove(_state.file("requests.jsonl").c_str());
}

bool HttpsServer::waitForRequests(std::size_t count) const
{
    for (int tries = 0; requests().size() < count; ++tries) {
        if (tries == 12000) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

}  // namespace TestSupport
