// SPDX-License-Identifier: Apache-2.0
// Owners for libcurl objects, so no early return leaks a handle or a list:
//
//     Base::CurlHandle curl(curl_easy_init());
//     Base::CurlHeaders headers(curl_slist_append(nullptr, "Accept: application/json"));
#pragma once

#include "base/UniqueHandle.h"

#include <curl/curl.h>

namespace Base {

using CurlHandle = UniqueHandle<CURL, curl_easy_cleanup>;
using CurlHeaders = UniqueHandle<curl_slist, curl_slist_free_all>;
using CurlUrl = UniqueHandle<CURLU, curl_url_cleanup>;

}  // namespace Base
