// SPDX-License-Identifier: Apache-2.0
// The library's only HTTP client: blocking GET and POST of JSON documents,
// one libcurl easy handle per request, with the time-outs and certificate
// settings of the environment (CORVANE_CURLOPT_TIMEOUT,
// CORVANE_CURLOPT_CONNECTTIMEOUT in milliseconds, CORVANE_CERTIFICATE_VERIFY,
// CORVANE_CERTIFICATE_DIR, CORVANE_CERTIFICATE_FILE). Only http and https
// addresses are fetched, redirects are not followed, a status outside 200-299
// fails the request, and an answer larger than 1 MiB fails the request. The calls
// keep no state between them and may run on several threads at once; each
// blocks its caller until the transfer ends.
#pragma once

#include <rapidjson/document.h>

#include <string>

class WebRequest {
public:
    // GET `url` and parse the body into `response`. True only when the
    // transfer succeeded with a status of 200 to 299 and the body parsed as
    // JSON. The body of another status is parsed too (a service's error
    // object), and the request has failed.
    static bool getJson(const std::string& url, rapidjson::Document& response);

    // POST `request`, serialised, to `url` and parse the answer into
    // `response`. The result means the same as for getJson.
    static bool postJson(const std::string& url, const rapidjson::Document& request, rapidjson::Document& response);

    // Replaces the first occurrence of `name` in `text`, compared without
    // regard to case, by `value`. False, and `text` untouched, when absent
    // (an empty name never occurs).
    static bool replaceArgument(std::string& text, const std::string& name, const std::string& value);
};
