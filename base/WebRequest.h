// The library's only HTTP client: blocking GET and POST of JSON documents,
// one libcurl easy handle per request, with the time-outs and certificate
// settings of the environment (CORVANE_CURLOPT_TIMEOUT,
// CORVANE_CURLOPT_CONNECTTIMEOUT in milliseconds, CORVANE_CERTIFICATE_VERIFY,
// CORVANE_CERTIFICATE_DIR, CORVANE_CERTIFICATE_FILE). Only http and https
// addresses are fetched, redirects are not followed, the HTTP status is not
// examined, and an answer larger than 1 MiB fails the request.
#pragma once

#include <rapidjson/document.h>

#include <string>

class WebRequest {
public:
    // GET `url` and parse the body into `response`. True only when the
    // transfer succeeded and the body parsed as JSON.
    static bool getJson(const std::string& url, rapidjson::Document& response);

    // POST `request`, serialised, to `url` and parse the answer into
    // `response`. The result means the same as for getJson.
    static bool postJson(const std::string& url, const rapidjson::Document& request, rapidjson::Document& response);

    // Replaces the first occurrence of `name` in `text`, compared without
    // regard to case, by `value`. False, and `text` untouched, when absent.
    static bool replaceArgument(std::string& text, const std::string& name, const std::string& value);

    // Initialises libcurl for the process, once; later calls do nothing.
    // Every request makes sure of it before its first handle, so calling it
    // is optional.
    static void init();
};
