// SPDX-License-Identifier: Apache-2.0
#include "core/InitialiseData.h"

#include "base/Logging.h"

#include <rapidjson/document.h>
#include <rapidjson/error/en.h>

#include <cstring>
#include <iostream>
#include <set>

namespace {

// JSON strings may carry NULs; the host's texts are taken up to the first.
std::string cString(const rapidjson::Value& value)
{
    return std::string(value.GetString(), strnlen(value.GetString(), value.GetStringLength()));
}

void readConfig(const rapidjson::Value& entries, Category& category)
{
    for (const rapidjson::Value& entry : entries.GetArray()) {
        if (!entry.IsArray() || entry.Size() != 2 || !entry[0].IsString()) {
            continue;
        }
        const std::string name = cString(entry[0]);
        const rapidjson::Value& value = entry[1];
        std::string text;
        if (value.IsString()) {
            text = cString(value);
            TRACE_VERBOSE << "Setting category [" << category.name << "] config name [" << name << "] value [" << text
                        << "]" << std::endl;
        } else if (value.IsInt()) {
            text = std::to_string(value.GetInt());
            TRACE_VERBOSE << "Setting category [" << category.name << "] config name [" << name << "] int value ["
                        << text << "]" << std::endl;
        } else {
            continue;
        }
        category.config.emplace(name, text);
    }
}

// The shortest interval of periodic checks; a shorter positive one is raised.
constexpr int32_t kShortestInterval = 100;

// Parses the text up to its first NUL without recursion, so the depth of a
// document is bounded only by memory, never by the calling thread's stack.
// Accepts and refuses exactly what the recursive parser does, with the same
// offsets and reasons.
rapidjson::ParseResult parse(const std::string& text, rapidjson::Document& document)
{
    const std::size_t length = strnlen(text.c_str(), text.size());
    rapidjson::ParseResult result = document.Parse<rapidjson::kParseIterativeFlag>(text.c_str(), length);
    // The iterative parser calls a first character that starts no value an
    // empty document; the recursive one, like every other value that starts
    // wrongly, an invalid value.
    if (result.Code() == rapidjson::kParseErrorDocumentEmpty && result.Offset() < length) {
        result.Set(rapidjson::kParseErrorValueInvalid, result.Offset());
    }
    return result;
}

}  // namespace

InitialiseData::InitialiseData(const std::string& text)
{
    TRACE_ENTER;
    TRACE_VERBOSE << "Parsing [" << text.size() << "] characters" << std::endl;

    rapidjson::Document document;
    const rapidjson::ParseResult parsed = parse(text, document);
    if (parsed.IsError()) {
        TRACE_ERROR << "Failed to parse initialise data at offset [" << parsed.Offset() << "] error ["
                  << rapidjson::GetParseError_En(parsed.Code()) << std::endl;
        _error = true;
        TRACE_EXIT;
        return;
    }
    const rapidjson::Value& root = document;
    const auto id = root.IsObject() ? root.FindMember("id") : rapidjson::Value::ConstMemberIterator();
    const bool hasId = root.IsObject() && id != root.MemberEnd() && id->value.IsString();
    const auto data = hasId ? root.FindMember("data") : rapidjson::Value::ConstMemberIterator();
    if (!hasId || std::strcmp(id->value.GetString(), "Initialize") != 0 ||
        id->value.GetStringLength() != std::strlen("Initialize") || data == root.MemberEnd() ||
        !data->value.IsObject()) {
        TRACE_ERROR << "Unexpected instruction in document" << std::endl;
        _error = true;
        TRACE_EXIT;
        return;
    }

    TRACE_VERBOSE << "Reading data..." << std::endl;
    const rapidjson::Value& body = data->value;
    const auto interval = body.FindMember("propertyCheckInterval");
    if (interval != body.MemberEnd() && interval->value.IsNumber()) {
        if (interval->value.IsInt()) {
            _propertyCheckInterval = interval->value.GetInt();
            if (_propertyCheckInterval > 0 && _propertyCheckInterval < kShortestInterval) {
                TRACE_WARNING << "Raising propertyCheckInterval [" << _propertyCheckInterval << "] ms to ["
                            << kShortestInterval << "] ms" << std::endl;
                _propertyCheckInterval = kShortestInterval;
            }
        } else {
            // A fraction or a value beyond 32 bits cannot be read as an interval.
            TRACE_WARNING << "Ignoring propertyCheckInterval that is not a 32-bit integer, keeping ["
                        << _propertyCheckInterval << "] ms" << std::endl;
        }
    }
    const auto version = body.FindMember("softwareVersion");
    if (version != body.MemberEnd() && version->value.IsString()) {
        _hostVersion = cString(version->value);
    }

    const auto properties = body.FindMember("properties");
    if (properties != body.MemberEnd() && properties->value.IsArray()) {
        TRACE_VERBOSE << "Reading properties..." << std::endl;
        // The names of the categories switched on so far: each is read once.
        std::set<std::string> switchedOn;
        std::size_t index = 0;
        for (const rapidjson::Value& element : properties->value.GetArray()) {
            const std::size_t i = index++;
            if (!element.IsObject()) {
                continue;
            }
            const auto name = element.FindMember("name");
            if (name == element.MemberEnd()) {
                TRACE_VERBOSE << "Ignoring category [" << i << "] since no name field" << std::endl;
                continue;
            }
            if (!name->value.IsString()) {
                TRACE_WARNING << "Ignoring category [" << i << "] since name field is not a string" << std::endl;
                continue;
            }
            auto category = new Category();
            std::shared_ptr<Category const> shared(category);
            category->name = cString(name->value);
            const auto status = element.FindMember("status");
            category->status = status != element.MemberEnd() && status->value.IsInt() ? status->value.GetInt() : 2;
            const auto filter = element.FindMember("filter");
            category->filter = filter != element.MemberEnd() && filter->value.IsInt() ? filter->value.GetInt() : 0;
            TRACE_VERBOSE << "Category [" << category->name << "] has status [" << category->status << "] filter ["
                        << category->filter << "]" << std::endl;
            if (category->status != 0 && !switchedOn.insert(category->name).second) {
                TRACE_WARNING << "Ignoring category [" << i << "] since category [" << category->name
                            << "] is already requested" << std::endl;
                continue;
            }
            const auto config = element.FindMember("config");
            if (config != element.MemberEnd() && config->value.IsArray()) {
                readConfig(config->value, *category);
            }
            _categories.push_back(std::move(shared));
        }
    }
    TRACE_EXIT;
}
