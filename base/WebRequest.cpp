#include "base/WebRequest.h"

bool WebRequest::getJson(const std::string&, rapidjson::Document&)
{
    return false;
}

bool WebRequest::postJson(const std::string&, const rapidjson::Document&, rapidjson::Document&)
{
    return false;
}

bool WebRequest::replaceArgument(std::string&, const std::string&, const std::string&)
{
    return false;
}

void WebRequest::init() {}
