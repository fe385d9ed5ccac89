// SPDX-License-Identifier: Apache-2.0
#include "tools/ProbeReport.h"

#include "providers/Categories.h"
#include "tools/ProbeOptions.h"

#include <rapidjson/document.h>
#include <rapidjson/error/en.h>
#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <ctime>
#include <map>
#include <sstream>

namespace {

std::string lower(std::string text)
{
    for (char& c : text) {
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }
    return text;
}

std::string text(const rapidjson::Value& value)
{
    if (value.IsString()) {
        return std::string(value.GetString(), value.GetStringLength());
    }
    rapidjson::StringBuffer buffer;
    rapidjson::Writer<rapidjson::StringBuffer> writer(buffer);
    value.Accept(writer);
    return std::string(buffer.GetString(), buffer.GetSize());
}

std::string member(const rapidjson::Value& object, const char* name)
{
    const auto found = object.FindMember(name);
    return found != object.MemberEnd() ? text(found->value) : std::string();
}

// Where a category's group comes in the table: the host's order first, then
// any other group by name.
std::pair<std::size_t, std::string> groupOrder(const std::string& category)
{
    const std::vector<std::string>& names = ProbeOptions::categoryNames();
    const auto known = std::find(names.begin(), names.end(), category);
    return {static_cast<std::size_t>(known - names.begin()), category};
}

}  // namespace

ProbeReport::ProbeReport(const std::string& message)
{
    rapidjson::Document document;
    document.Parse(message.c_str(), message.size());
    if (document.HasParseError()) {
        _error = std::string("not JSON: ") + rapidjson::GetParseError_En(document.GetParseError()) + " at offset " +
                 std::to_string(document.GetErrorOffset());
        return;
    }
    if (!document.IsObject()) {
        _error = "not a JSON object";
        return;
    }
    const auto id = document.FindMember("id");
    if (id == document.MemberEnd() || !id->value.IsString()) {
        _error = "no \"id\" text";
        return;
    }
    _id = text(id->value);
    const auto index = document.FindMember("index");
    if (index != document.MemberEnd() && index->value.IsUint64()) {
        _index = index->value.GetUint64();
    }
    _time = member(document, "time");

    const auto data = document.FindMember("data");
    if (data == document.MemberEnd() || !data->value.IsObject()) {
        _error = "no \"data\" object";
        return;
    }
    const rapidjson::Value& body = data->value;
    _deviceName = member(body, "deviceName");
    _deviceId = member(body, "deviceId");
    _deviceOS = member(body, "deviceOS");

    const auto updated = body.FindMember("updated");
    if (updated != body.MemberEnd()) {
        if (!updated->value.IsArray()) {
            _error = "\"updated\" is not a list";
            return;
        }
        for (const rapidjson::Value& pair : updated->value.GetArray()) {
            if (!pair.IsArray() || pair.Size() != 2 || !pair[0].IsString()) {
                _error = "an \"updated\" entry is not a [key, value] pair";
                return;
            }
            _updated.emplace_back(text(pair[0]), text(pair[1]));
        }
    }
    const auto removed = body.FindMember("removed");
    if (removed != body.MemberEnd()) {
        if (!removed->value.IsArray()) {
            _error = "\"removed\" is not a list";
            return;
        }
        for (const rapidjson::Value& key : removed->value.GetArray()) {
            _removed.push_back(text(key));
        }
    }
}

bool ProbeReport::valid() const
{
    return _error.empty();
}

const std::string& ProbeReport::error() const
{
    return _error;
}

const std::string& ProbeReport::id() const
{
    return _id;
}

bool ProbeReport::isInitial() const
{
    return valid() && _id == kInitialId;
}

bool ProbeReport::isUpdate() const
{
    return valid() && _id == kUpdateId;
}

const std::vector<std::pair<std::string, std::string>>& ProbeReport::updated() const
{
    return _updated;
}

const std::vector<std::string>& ProbeReport::removed() const
{
    return _removed;
}

std::string ProbeReport::categoryOf(const std::string& key)
{
    if (const Factory::Entry* category = Categories::ofKey(key)) {
        return category->name;
    }
    // A key no table names, DEVICE_<WORD>_...: the category whose name is the
    // word in any case.
    const std::string head = "DEVICE_";
    if (key.rfind(head, 0) != 0 || key.size() == head.size()) {
        return "Other";
    }
    const std::size_t end = key.find('_', head.size());
    const std::string word = key.substr(head.size(), end == std::string::npos ? std::string::npos : end - head.size());
    for (const std::string& name : ProbeOptions::categoryNames()) {
        if (lower(name) == lower(word)) {
            return name;
        }
    }
    std::string named = lower(word);
    named[0] = static_cast<char>(std::toupper(static_cast<unsigned char>(named[0])));
    return named;
}

std::string ProbeReport::printable(const std::string& value)
{
    // Quoted when blanks at either end would otherwise not show.
    const bool quoted = value.empty() || std::isspace(static_cast<unsigned char>(value.front())) != 0 ||
                        std::isspace(static_cast<unsigned char>(value.back())) != 0;
    std::string shown = quoted ? "\"" : "";
    for (const char c : value) {
        const auto byte = static_cast<unsigned char>(c);
        if (c == '\n') {
            shown += "\\n";
        } else if (c == '\r') {
            shown += "\\r";
        } else if (c == '\t') {
            shown += "\\t";
        } else if (byte < 0x20 || byte == 0x7F) {
            char escaped[8];
            std::snprintf(escaped, sizeof(escaped), "\\x%02X", byte);
            shown += escaped;
        } else {
            shown += c;
        }
    }
    return quoted ? shown + "\"" : shown;
}

std::string ProbeReport::groupedKeys() const
{
    struct Line {
        std::string key;
        std::optional<std::string> value;  // none: removed
    };
    std::map<std::pair<std::size_t, std::string>, std::vector<Line>> groups;
    std::size_t width = 0;
    for (const auto& [key, value] : _updated) {
        groups[groupOrder(categoryOf(key))].push_back({key, value});
        width = std::max(width, key.size());
    }
    for (const std::string& key : _removed) {
        groups[groupOrder(categoryOf(key))].push_back({key, std::nullopt});
        width = std::max(width, key.size());
    }

    std::ostringstream out;
    for (auto& [order, lines] : groups) {
        std::stable_sort(lines.begin(), lines.end(), [](const Line& a, const Line& b) { return a.key < b.key; });
        out << "[" << order.second << "]\n";
        for (const Line& line : lines) {
            out << "  " << line.key << std::string(width - line.key.size(), ' ');
            if (line.value) {
                out << " = " << printable(*line.value) << "\n";
            } else {
                out << "   (removed)\n";
            }
        }
    }
    return out.str();
}

std::string ProbeReport::initialTable(std::chrono::milliseconds elapsed,
                                      const std::vector<std::string>& requested) const
{
    std::ostringstream out;
    out << "Device name   : " << printable(_deviceName) << "\n"
        << "Device id     : " << printable(_deviceId) << "\n"
        << "Device OS     : " << printable(_deviceOS) << "\n"
        << "Message index : " << (_index ? std::to_string(*_index) : std::string("(none)")) << "\n"
        << "Message time  : " << printable(_time) << "\n"
        << "Answered in   : " << elapsed.count() << " ms\n"
        << "Properties    : " << _updated.size() << "\n"
        << "\n"
        << groupedKeys();

    std::string silent;
    for (const std::string& category : requested) {
        const bool reported =
            std::any_of(_updated.begin(), _updated.end(), [&](const auto& entry) {
                return categoryOf(entry.first) == category;
            });
        if (!reported) {
            silent += (silent.empty() ? "" : ", ") + category;
        }
    }
    if (!silent.empty()) {
        out << "\nNothing reported for: " << silent << "\n";
    }
    return out.str();
}

std::string ProbeReport::updateTable() const
{
    std::ostringstream out;
    out << "Update " << (_index ? "#" + std::to_string(*_index) : std::string("(no index)")) << " at "
        << printable(_time) << ": " << _updated.size() << " updated, " << _removed.size() << " removed\n"
        << groupedKeys();
    return out.str();
}

std::string ProbeReport::facts(std::chrono::system_clock::time_point received) const
{
    std::map<std::pair<std::size_t, std::string>, std::vector<std::pair<std::string, const std::string*>>> groups;
    for (const auto& [key, value] : _updated) {
        groups[groupOrder(categoryOf(key))].emplace_back(key, &value);
    }
    for (const std::string& key : _removed) {
        groups[groupOrder(categoryOf(key))].emplace_back(key, nullptr);
    }

    rapidjson::StringBuffer buffer;
    rapidjson::Writer<rapidjson::StringBuffer> writer(buffer);
    const auto string = [&writer](const std::string& text) {
        writer.String(text.data(), static_cast<rapidjson::SizeType>(text.size()));
    };
    writer.StartObject();
    writer.Key("kind");
    writer.String(isInitial() ? "initial" : isUpdate() ? "update" : _id.c_str());
    writer.Key("index");
    if (_index) {
        writer.Uint64(*_index);
    } else {
        writer.Null();
    }
    const std::time_t seconds = std::chrono::system_clock::to_time_t(received);
    std::tm utc{};
    gmtime_r(&seconds, &utc);
    char stamp[32];
    std::strftime(stamp, sizeof(stamp), "%Y-%m-%dT%H:%M:%SZ", &utc);
    writer.Key("time");
    writer.String(stamp);
    writer.Key("device");
    writer.StartObject();
    writer.Key("name");
    string(_deviceName);
    writer.Key("id");
    string(_deviceId);
    writer.Key("os");
    string(_deviceOS);
    writer.EndObject();
    for (auto& [order, keys] : groups) {
        std::stable_sort(keys.begin(), keys.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
        string(order.second);
        writer.StartObject();
        for (const auto& [key, value] : keys) {
            string(key);
            if (value != nullptr) {
                string(*value);
            } else {
                writer.Null();
            }
        }
        writer.EndObject();
    }
    writer.EndObject();
    return std::string(buffer.GetString(), buffer.GetSize());
}
