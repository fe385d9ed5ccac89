#include "support/HttpsServer.h"

#include "support/ChildProcess.h"

#include <rapidjson/document.h>
#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

#include <fcntl.h>
#include <strings.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

#ifndef CVCLIENT_HTTPS_SERVER_SCRIPT
#error "CVCLIENT_HTTPS_SERVER_SCRIPT must name tests/support/https_server.py"
#endif

namespace TestSupport {

namespace {

constexpr const char* kPython = "/usr/bin/python3";

// One CA and one server certificate it issued, made with openssl.
struct Issued {
    std::string caCertificate;
    std::string serverCertificate;
    std::string serverKey;
};

const TempDir& certificateDirectory()
{
    static const TempDir directory;
    return directory;
}

Issued issue(const std::string& name)
{
    const TempDir& directory = certificateDirectory();
    const std::string prefix = directory.file(name);
    const std::string log = prefix + "-openssl.log";
    directory.write(name + "-server.ext", "subjectAltName=IP:127.0.0.1,DNS:localhost\n"
                                          "basicConstraints=CA:FALSE\n"
                                          "keyUsage=critical,digitalSignature\n"
                                          "extendedKeyUsage=serverAuth\n");
    const std::string ec = " -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes";
    const std::string commands =
        "set -e; "
        "openssl req -x509" + ec + " -keyout '" + prefix + "-ca.key' -out '" + prefix + "-ca.pem' -days 3"
        " -subj '/CN=cvclient test " + name + " CA' -addext basicConstraints=critical,CA:TRUE"
        " -addext keyUsage=critical,keyCertSign,cRLSign; "
        "openssl req" + ec + " -keyout '" + prefix + "-server.key' -out '" + prefix + "-server.csr'"
        " -subj /CN=127.0.0.1; "
        "openssl x509 -req -in '" + prefix + "-server.csr' -CA '" + prefix + "-ca.pem' -CAkey '" + prefix +
        "-ca.key' -CAcreateserial -days 2 -extfile '" + prefix + "-server.ext' -out '" + prefix + "-server.pem'";
    const std::string shell = "(" + commands + ") >'" + log + "' 2>&1";
    if (std::system(shell.c_str()) != 0) {
        throw std::runtime_error("openssl could not issue the " + name + " certificates:\n" + readWhole(log));
    }
    return {prefix + "-ca.pem", prefix + "-server.pem", prefix + "-server.key"};
}

const Issued& trusted()
{
    static const Issued issued = issue("trusted");
    return issued;
}

const Issued& untrusted()
{
    static const Issued issued = issue("untrusted");
    return issued;
}

std::string fromHex(const std::string& hex)
{
    std::string bytes;
    bytes.reserve(hex.size() / 2);
    for (std::size_t at = 0; at + 1 < hex.size(); at += 2) {
        bytes.push_back(static_cast<char>(std::stoi(hex.substr(at, 2), nullptr, 16)));
    }
    return bytes;
}

}  // namespace

std::optional<std::string> HttpsRequest::header(const std::string& name) const
{
    for (const auto& [key, value] : headers) {
        if (strcasecmp(key.c_str(), name.c_str()) == 0) {
            return value;
        }
    }
    return std::nullopt;
}

std::size_t HttpsRequest::headerCount(const std::string& name) const
{
    std::size_t count = 0;
    for (const auto& entry : headers) {
        if (strcasecmp(entry.first.c_str(), name.c_str()) == 0) {
            ++count;
        }
    }
    return count;
}

HttpsServer::HttpsServer(Certificate certificate)
{
    const Issued& issued = certificate == Certificate::Trusted ? trusted() : untrusted();
    writeAnswers();

    const std::string errorFile = _state.file("server.err");
    const int error = open(errorFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    int portPipe[2];
    if (error < 0 || pipe2(portPipe, O_CLOEXEC) != 0) {
        if (error >= 0) {
            close(error);
        }
        throw std::runtime_error("cannot make the HTTPS service's output files");
    }
    _pid = startChild({kPython, "-I", CVCLIENT_HTTPS_SERVER_SCRIPT, issued.serverCertificate, issued.serverKey,
                       _state.path()},
                      {{STDOUT_FILENO, portPipe[1]}, {STDERR_FILENO, error}});
    close(error);
    close(portPipe[1]);
    if (_pid < 0) {
        close(portPipe[0]);
        throw std::runtime_error("fork failed for the HTTPS service");
    }

    // The service prints its port once it listens.
    const std::optional<std::string> line = readFirstLine(portPipe[0], std::chrono::seconds(30));
    close(portPipe[0]);
    const int port = line ? std::atoi(line->c_str()) : 0;
    if (port <= 0 || port > 65535) {
        stopChild(_pid);
        _pid = -1;
        throw std::runtime_error("the HTTPS service did not start:\n" + output());
    }
    _port = static_cast<std::uint16_t>(port);
}

HttpsServer::~HttpsServer()
{
    stopChild(_pid);
}

std::string HttpsServer::baseUrl() const
{
    return "https://127.0.0.1:" + std::to_string(_port);
}

std::string HttpsServer::url(const std::string& pathAndQuery) const
{
    return baseUrl() + pathAndQuery;
}

std::string HttpsServer::caFile()
{
    return trusted().caCertificate;
}

void HttpsServer::setAnswer(const std::string& path, const HttpsAnswer& answer)
{
    for (auto it = _answers.begin(); it != _answers.end(); ++it) {
        if (it->first == path) {
            _answers.erase(it);
            break;
        }
    }
    _answers.emplace_back(path, answer);
    writeAnswers();
}

void HttpsServer::writeAnswers() const
{
    // Each body gets a file of its own, named anew each time, so a request
    // being answered keeps reading the body it found.
    static unsigned serial = 0;
    rapidjson::StringBuffer text;
    rapidjson::Writer<rapidjson::StringBuffer> writer(text);
    writer.StartObject();
    for (const auto& [path, answer] : _answers) {
        const std::string bodyFile = "body-" + std::to_string(++serial);
        _state.write(bodyFile, answer.body);
        writer.Key(path.c_str(), static_cast<rapidjson::SizeType>(path.size()));
        writer.StartObject();
        writer.Key("status");
        writer.Int(answer.status);
        writer.Key("contentType");
        writer.String(answer.contentType.c_str(), static_cast<rapidjson::SizeType>(answer.contentType.size()));
        writer.Key("bodyFile");
        writer.String(bodyFile.c_str(), static_cast<rapidjson::SizeType>(bodyFile.size()));
        writer.Key("neverAnswer");
        writer.Bool(answer.neverAnswer);
        writer.Key("holdUntilReleased");
        writer.Bool(answer.holdUntilReleased);
        writer.Key("headers");
        writer.StartArray();
        for (const auto& [name, value] : answer.headers) {
            writer.StartArray();
            writer.String(name.c_str(), static_cast<rapidjson::SizeType>(name.size()));
            writer.String(value.c_str(), static_cast<rapidjson::SizeType>(value.size()));
            writer.EndArray();
        }
        writer.EndArray();
        writer.EndObject();
    }
    writer.EndObject();
    // Replaced in one step: the service never reads a half-written file.
    _state.write("answers.json.new", std::string(text.GetString(), text.GetSize()));
    if (std::rename(_state.file("answers.json.new").c_str(), _state.file("answers.json").c_str()) != 0) {
        throw std::runtime_error("cannot write the HTTPS service's answers");
    }
}

std::vector<HttpsRequest> HttpsServer::requests() const
{
    std::vector<HttpsRequest> received;
    std::istringstream lines(readWhole(_state.file("requests.jsonl")));
    std::string line;
    // Only complete lines: the service may be writing the next one.
    while (std::getline(lines, line) && !lines.eof()) {
        rapidjson::Document record;
        record.Parse(line.c_str());
        if (record.HasParseError() || !record.IsObject()) {
            throw std::runtime_error("unreadable request record: " + line);
        }
        HttpsRequest request;
        request.method = record["method"].GetString();
        request.path = record["path"].GetString();
        for (const auto& header : record["headers"].GetArray()) {
            request.headers.emplace_back(header[0].GetString(), header[1].GetString());
        }
        request.body = fromHex(record["body"].GetString());
        received.push_back(std::move(request));
    }
    return received;
}

void HttpsServer::clearRequests()
{
    // The service appends to the file it opens for each request.
    std::remove(_state.file("requests.jsonl").c_str());
}

bool HttpsServer::waitForRequests(std::size_t count, std::chrono::milliseconds timeout) const
{
    const auto giveUp = std::chrono::steady_clock::now() + timeout;
    while (requests().size() < count) {
        if (std::chrono::steady_clock::now() > giveUp) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

void HttpsServer::releaseHeldAnswers()
{
    _state.write("release", "");
}

std::string HttpsServer::output() const
{
    return readWhole(_state.file("server.err"));
}

}  // namespace TestSupport
