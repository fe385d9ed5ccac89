// SPDX-License-Identifier: Apache-2.0
#include "base/WebRequest.h"

#include "base/Address.h"
#include "base/CurlHandle.h"
#include "base/CustomCurlOpt.h"
#include "base/Logging.h"
#include "base/Policy.h"
#include "base/Utilities.h"

#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <exception>
#include <initializer_list>
#include <iterator>
#include <memory>
#include <mutex>

namespace {

// Answers are small JSON documents; anything larger is refused rather than
// held in memory without bound.
constexpr std::size_t kMaximumResponseBytes = 1024 * 1024;

// Only web addresses: a configured file://, ftp:// or other address is
// refused by libcurl before anything is read or sent.
constexpr const char* kAllowedProtocols = "http,https";

// libcurl 7.88 with GnuTLS initialises itself lazily in curl_easy_init, which
// is not thread-safe; requests run on several worker threads at once, so
// the global initialisation runs exactly once, before the first handle.
std::once_flag globalInitOnce;
CURLcode globalInitResult = CURLE_OK;

bool initialiseCurlOnce()
{
    std::call_once(globalInitOnce, [] { globalInitResult = curl_global_init(CURL_GLOBAL_ALL); });
    return globalInitResult == CURLE_OK;
}

struct ResponseBuffer {
    explicit ResponseBuffer(const std::string& forUrl) : url(forUrl) {}
    const std::string& url;
    rapidjson::StringBuffer text{nullptr, 256};
};

struct RequestCursor {
    const char* at;
    const char* end;
};

int CurlTrace(CURL*, curl_infotype type, char* data, size_t size, void*)
{
    try {
        std::string text(data, size);
        if (!text.empty() && text.back() == '\n') {
            text.pop_back();
        }
        for (char& c : text) {
            if (c != '\n' && std::isprint(static_cast<unsigned char>(c)) == 0) {
                c = ' ';
            }
        }
        static constexpr const char* kPrefixes[] = {"TEXT: ",      "RECV HEADER: ",   "SEND HEADER: ",
                                                    "RECV DATA: ", "SEND DATA: ",     "RECV SSL DATA: ",
                                                    "SEND SSL DATA: ", "END: "};
        const int index = static_cast<int>(type);
        if (index >= 0 && index < static_cast<int>(std::size(kPrefixes))) {
            TRACE_VERBOSE << kPrefixes[index] << Base::LogContent{text} << std::endl;
        } else {
            TRACE_VERBOSE << "UNKNOWN [" << index << "]: " << Base::LogContent{text} << std::endl;
        }
    } catch (const std::exception& error) {
        TRACE_ERROR << "Tracing failed [" << error.what() << "]" << std::endl;
    }
    return 0;
}

size_t WriteMemoryCallback(char* contents, size_t size, size_t count, void* userData)
{
    auto* response = static_cast<ResponseBuffer*>(userData);
    const size_t bytes = size * count;
    if (bytes > kMaximumResponseBytes - std::min(response->text.GetSize(), kMaximumResponseBytes)) {
        TRACE_ERROR << "Response from [" << response->url << "] exceeds [" << kMaximumResponseBytes
                    << "] bytes, transfer stopped" << std::endl;
        return 0;
    }
    try {
        std::memcpy(response->text.Push(bytes), contents, bytes);
    } catch (const std::exception& error) {
        TRACE_ERROR << "Cannot keep [" << bytes << "] response bytes [" << error.what() << "]" << std::endl;
        return 0;
    }
    TRACE_VERBOSE << "Read [" << bytes << "] response bytes" << std::endl;
    return bytes;
}

size_t ReadMemoryCallback(char* buffer, size_t size, size_t count, void* userData)
{
    auto* cursor = static_cast<RequestCursor*>(userData);
    const size_t room = size * count;
    size_t copied = 0;
    while (copied < room && cursor->at + copied != cursor->end && cursor->at[copied] != '\0') {
        ++copied;
    }
    std::memcpy(buffer, cursor->at, copied);
    cursor->at += copied;
    TRACE_VERBOSE << "Wrote [" << copied << "] request bytes" << std::endl;
    return copied;
}

// A handle for one request to `url`, configured from the environment; empty
// when libcurl cannot make one.
Base::CurlHandle CurlCreateRequestForUrl(const std::string& url)
{
    if (!initialiseCurlOnce()) {
        TRACE_ERROR << "Initialising curl failed with error [" << globalInitResult << "] message ["
                    << curl_easy_strerror(globalInitResult) << "]" << std::endl;
        return {};
    }
    Base::CurlHandle curl(curl_easy_init());
    if (!curl) {
        TRACE_ERROR << "Creating a curl handle for [" << url << "] failed" << std::endl;
        return {};
    }
    curl_easy_setopt(curl.get(), CURLOPT_VERBOSE, 1L);
    curl_easy_setopt(curl.get(), CURLOPT_DEBUGFUNCTION, CurlTrace);
    curl_easy_setopt(curl.get(), CURLOPT_URL, url.c_str());
    if (curl_easy_setopt(curl.get(), CURLOPT_PROTOCOLS_STR, kAllowedProtocols) != CURLE_OK ||
        curl_easy_setopt(curl.get(), CURLOPT_REDIR_PROTOCOLS_STR, kAllowedProtocols) != CURLE_OK) {
        TRACE_ERROR << "Restricting the request to [" << url << "] to [" << kAllowedProtocols << "] failed"
                    << std::endl;
        return {};
    }
    curl_easy_setopt(curl.get(), CURLOPT_FOLLOWLOCATION, 0L);
    // The library lives in somebody else's process: libcurl must not use
    // signals (the resolver's time-out alarm) there.
    curl_easy_setopt(curl.get(), CURLOPT_NOSIGNAL, 1L);

    const CustomCurlOpt options;
    const long timeout = options.getValueALong("CORVANE_CURLOPT_TIMEOUT", 30000);
    const long connectTimeout = options.getValueALong("CORVANE_CURLOPT_CONNECTTIMEOUT", 10000);
    curl_easy_setopt(curl.get(), CURLOPT_TIMEOUT_MS, timeout);
    curl_easy_setopt(curl.get(), CURLOPT_CONNECTTIMEOUT_MS, connectTimeout);

    const std::string verify = Utilities::tolower(Utilities::getEnvironmentVariable("CORVANE_CERTIFICATE_VERIFY", ""));
    if (verify == "false" || verify == "0") {
        TRACE_WARNING << "Setting curl CA verify to FALSE" << std::endl;
        curl_easy_setopt(curl.get(), CURLOPT_SSL_VERIFYPEER, 0L);
    }
    const std::string directory = Utilities::getEnvironmentVariable("CORVANE_CERTIFICATE_DIR", "");
    if (!directory.empty()) {
        TRACE_VERBOSE << "Setting curl CA path [" << directory << "]" << std::endl;
        curl_easy_setopt(curl.get(), CURLOPT_CAPATH, directory.c_str());
    }
    const std::string file = Utilities::getEnvironmentVariable("CORVANE_CERTIFICATE_FILE", "");
    if (!file.empty()) {
        TRACE_VERBOSE << "Setting curl CA file [" << file << "]" << std::endl;
        curl_easy_setopt(curl.get(), CURLOPT_CAINFO, file.c_str());
    }
    return curl;
}

// What the owner's policy needs during one transfer: the URL curl was given
// parsed once, so the host checked is the host connected to.
struct PolicyCheck {
    std::shared_ptr<const Base::Policy> policy;
    const std::string& url;
    Base::CurlUrl parsed{};
};

void logRefusal(const char* function, const PolicyCheck& check, const std::string& why)
{
    const char* const cvLogFunction = function;
    TRACE_ERROR << "Request to [" << check.url << "] refused by the policy [" << check.policy->source() << "]: " << why
                << std::endl;
}

// Every connection curl opens, to the address it is about to connect to: a
// local one is refused before a socket exists. Curl owns and closes the
// socket returned.
curl_socket_t openCheckedSocket(void* data, curlsocktype, curl_sockaddr* address)
{
    const auto* check = static_cast<const PolicyCheck*>(data);
    if (check->policy->refusesAddress(&address->addr, address->addrlen)) {
        std::string text = "?";
        if (address->addrlen == sizeof(sockaddr_in) || address->addrlen == sizeof(sockaddr_in6)) {
            text = Net::Address(&address->addr, address->addrlen).ToString(false);
        }
        logRefusal("openSocket", *check, "address [" + text + "] is local");
        return CURL_SOCKET_BAD;
    }
    return socket(address->family, address->socktype | SOCK_CLOEXEC, address->protocol);
}

// Applies the policy to the configured handle; false, with the refusal
// logged, when the request must not be made at all.
bool applyPolicy(const char* function, CURL* curl, PolicyCheck& check)
{
    if (check.policy->restrictsHosts()) {
        check.parsed.reset(curl_url());
        char* rawHost = nullptr;
        const bool parsed = check.parsed &&
                            curl_url_set(check.parsed.get(), CURLUPART_URL, check.url.c_str(),
                                         CURLU_GUESS_SCHEME | CURLU_NON_SUPPORT_SCHEME) == CURLUE_OK &&
                            curl_url_get(check.parsed.get(), CURLUPART_HOST, &rawHost, 0) == CURLUE_OK;
        const std::string host = rawHost != nullptr ? rawHost : "";
        curl_free(rawHost);
        if (!parsed) {
            logRefusal(function, check, "no host can be read from it");
            return false;
        }
        if (!check.policy->allowsHost(host)) {
            logRefusal(function, check, "host [" + host + "] is not among its allowed hosts");
            return false;
        }
        curl_easy_setopt(curl, CURLOPT_CURLU, check.parsed.get());
    }
    if (check.policy->deniesLocalAddresses()) {
        curl_easy_setopt(curl, CURLOPT_OPENSOCKETFUNCTION, openCheckedSocket);
        curl_easy_setopt(curl, CURLOPT_OPENSOCKETDATA, &check);
    }
    return true;
}

// Appends `line` to `headers`; false when libcurl cannot.
bool appendHeader(Base::CurlHeaders& headers, const char* line)
{
    curl_slist* extended = curl_slist_append(headers.get(), line);
    if (extended == nullptr) {
        return false;
    }
    headers.release();
    headers.reset(extended);
    return true;
}

// Runs the configured transfer and parses the answer into `response`; true
// when both succeeded with a status of 200 to 299. The body of any other
// status is parsed too, so the caller can read a service's error object
// from it, but the request has failed. The caller logs the success. The
// lines logged here carry the name of the calling request function,
// `function`.
bool performAndParse(const char* function, CURL* curl, const std::string& url, ResponseBuffer& buffer,
                     rapidjson::Document& response)
{
    const char* const cvLogFunction = function;
    const CURLcode result = curl_easy_perform(curl);
    if (result != CURLE_OK) {
        TRACE_ERROR << "Request to [" << url << "] failed with error [" << result << "] message ["
                    << curl_easy_strerror(result) << "]" << std::endl;
        return false;
    }
    long status = 0;
    curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &status);
    const bool answered = status >= 200 && status <= 299;
    if (answered) {
        TRACE_VERBOSE << "Request to [" << url << "] succeeded" << std::endl;
    } else {
        TRACE_ERROR << "Request to [" << url << "] failed with HTTP status [" << status << "]" << std::endl;
    }
    // Nested arrays and objects are parsed without recursion, so a hostile
    // answer cannot exhaust the caller's stack.
    const char* body = buffer.text.GetString();
    response.Parse<rapidjson::kParseIterativeFlag>(body, buffer.text.GetSize());
    if (response.HasParseError()) {
        TRACE_ERROR << "Failed to parse response error [" << response.GetParseError() << "] reading ["
                    << Base::LogContent{{body, buffer.text.GetSize()}} << "]" << std::endl;
        return false;
    }
    return answered;
}

// One JSON request: the handle, the header lines, the answer buffer and the
// lines every request logs. `prepare` adds the request's own options and logs
// its request line; `succeeded` logs its success line. Nothing thrown inside
// leaves it. Its lines carry the name of the calling request function.
template <typename Prepare, typename Succeeded>
bool runRequest(const char* function, const std::string& url, std::initializer_list<const char*> headerLines,
                rapidjson::Document& response, Prepare&& prepare, Succeeded&& succeeded)
{
    const char* const cvLogFunction = function;
    try {
        Base::CurlHandle curl = CurlCreateRequestForUrl(url);
        if (!curl) {
            return false;
        }
        PolicyCheck check{Base::Policy::inForce(), url};
        if (!applyPolicy(function, curl.get(), check)) {
            return false;
        }
        ResponseBuffer buffer(url);
        Base::CurlHeaders headers;
        for (const char* line : headerLines) {
            if (!appendHeader(headers, line)) {
                TRACE_ERROR << "Building the request headers for [" << url << "] failed" << std::endl;
                return false;
            }
        }
        curl_easy_setopt(curl.get(), CURLOPT_WRITEFUNCTION, WriteMemoryCallback);
        curl_easy_setopt(curl.get(), CURLOPT_WRITEDATA, &buffer);
        curl_easy_setopt(curl.get(), CURLOPT_HTTPHEADER, headers.get());
        prepare(curl.get());
        if (!performAndParse(function, curl.get(), url, buffer, response)) {
            return false;
        }
        succeeded(buffer);
        return true;
    } catch (const std::exception& error) {
        TRACE_ERROR << "Request to [" << url << "] failed [" << error.what() << "]" << std::endl;
        return false;
    }
}

}  // namespace

bool WebRequest::getJson(const std::string& url, rapidjson::Document& response)
{
    TRACE_ENTER;
    const bool result = runRequest(
        __func__, url, {"Accept: application/json"}, response,
        [&url](CURL*) {
            TRACE_FUNCTION("getJson");
            TRACE_VERBOSE << "Getting url [" << url << "]" << std::endl;
        },
        [](const ResponseBuffer& buffer) {
            TRACE_FUNCTION("getJson");
            TRACE_VERBOSE << "Successfully parsed response ["
                          << Base::LogContent{{buffer.text.GetString(), buffer.text.GetSize()}} << "]" << std::endl;
        });
    TRACE_EXIT;
    return result;
}

bool WebRequest::postJson(const std::string& url, const rapidjson::Document& request, rapidjson::Document& response)
{
    TRACE_ENTER;
    bool result = false;
    try {
        rapidjson::StringBuffer body;
        rapidjson::Writer<rapidjson::StringBuffer> writer(body);
        request.Accept(writer);
        const size_t length = body.GetSize();
        RequestCursor cursor{body.GetString(), body.GetString() + length};
        char contentLength[64];
        std::snprintf(contentLength, sizeof(contentLength), "Content-Length: %lu", static_cast<unsigned long>(length));
        result = runRequest(
            __func__, url,
            {contentLength, "Content-Type: application/json; charset=utf-8", "Expect: ", "Accept: application/json"},
            response,
            [&](CURL* curl) {
                TRACE_FUNCTION("postJson");
                curl_easy_setopt(curl, CURLOPT_UPLOAD, 1L);
                curl_easy_setopt(curl, CURLOPT_POST, 1L);
                curl_easy_setopt(curl, CURLOPT_READFUNCTION, ReadMemoryCallback);
                curl_easy_setopt(curl, CURLOPT_READDATA, &cursor);
                // With its size known, libcurl sends the body with its length
                // only, never also chunked.
                curl_easy_setopt(curl, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(length));
                TRACE_VERBOSE << "Posting request url [" << url << "] with content ["
                              << Base::LogContent{{body.GetString(), length}}
                              << "] length [" << length << "]" << std::endl;
            },
            [&url](const ResponseBuffer&) {
                TRACE_FUNCTION("postJson");
                TRACE_VERBOSE << "Successfully parsed response to url [" << url << "]" << std::endl;
            });
    } catch (const std::exception& error) {
        TRACE_ERROR << "Request to [" << url << "] failed [" << error.what() << "]" << std::endl;
    }
    TRACE_EXIT;
    return result;
}

bool WebRequest::replaceArgument(std::string& text, const std::string& name, const std::string& value)
{
    // An empty name occurs nowhere: it must not insert the value in front.
    const std::string::size_type at =
        name.empty() ? std::string::npos : Utilities::tolower(text).find(Utilities::tolower(name));
    if (at == std::string::npos) {
        return false;
    }
    text.replace(at, name.size(), value);
    return true;
}

