// SPDX-License-Identifier: Apache-2.0
#include "tools/ProbeOptions.h"

#include "providers/Categories.h"

#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

#include <algorithm>
#include <cctype>
#include <charconv>
#include <limits>
#include <set>
#include <sstream>

namespace {

bool sameName(const std::string& left, const std::string& right)
{
    return std::equal(left.begin(), left.end(), right.begin(), right.end(), [](char a, char b) {
        return std::tolower(static_cast<unsigned char>(a)) == std::tolower(static_cast<unsigned char>(b));
    });
}

// The host's spelling of a category name given in any letter case.
std::optional<std::string> knownCategory(const std::string& name)
{
    for (const std::string& known : ProbeOptions::categoryNames()) {
        if (sameName(known, name)) {
            return known;
        }
    }
    return std::nullopt;
}

std::string unknownCategory(const std::string& option, const std::string& name)
{
    std::string known;
    for (const std::string& category : ProbeOptions::categoryNames()) {
        known += (known.empty() ? "" : ",") + category;
    }
    return option + ": unknown category '" + name + "' (known: " + known + ")";
}

// A whole unsigned number, decimal or hexadecimal with 0x, no larger than `maximum`.
std::optional<uint64_t> parseNumber(const std::string& text, uint64_t maximum)
{
    int base = 10;
    std::size_t start = 0;
    if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
        base = 16;
        start = 2;
    }
    if (start >= text.size()) {
        return std::nullopt;
    }
    uint64_t value = 0;
    const char* first = text.data() + start;
    const char* last = text.data() + text.size();
    const auto [end, error] = std::from_chars(first, last, value, base);
    if (error != std::errc() || end != last || value > maximum) {
        return std::nullopt;
    }
    return value;
}

// Blanks around a list item or a name do not count ("Name, OS").
std::string trimmed(const std::string& text)
{
    const std::size_t first = text.find_first_not_of(" \t");
    if (first == std::string::npos) {
        return {};
    }
    return text.substr(first, text.find_last_not_of(" \t") - first + 1);
}

// A comma-separated list of category names, for `option`.
std::string parseCategories(const std::string& option, const std::string& value, std::vector<std::string>& categories)
{
    std::istringstream list(value);
    std::string item;
    categories.clear();
    while (std::getline(list, item, ',')) {
        const std::string name = trimmed(item);
        if (name.empty()) {
            continue;
        }
        const std::optional<std::string> known = knownCategory(name);
        if (!known) {
            return unknownCategory(option, name);
        }
        if (std::find(categories.begin(), categories.end(), *known) == categories.end()) {
            categories.push_back(*known);
        }
    }
    if (categories.empty()) {
        return option + ": no category named";
    }
    return {};
}

// Whether `text` is a version the host could send: one to four dotted
// decimal numbers, each at most 32767.
bool isVersion(const std::string& text)
{
    std::istringstream parts(text);
    std::string part;
    int count = 0;
    while (std::getline(parts, part, '.')) {
        if (part.empty() || part.size() > 5 || part.find_first_not_of("0123456789") != std::string::npos ||
            std::stoi(part) > std::numeric_limits<int16_t>::max()) {
            return false;
        }
        ++count;
    }
    return count >= 1 && count <= 4 && text.back() != '.';
}

std::string parseFilter(const std::string& value, std::map<std::string, uint32_t>& filters)
{
    const std::size_t equals = value.find('=');
    if (equals == std::string::npos || equals == 0) {
        return "--filter: expected CATEGORY=BITS, got '" + value + "'";
    }
    const std::string name = trimmed(value.substr(0, equals));
    const std::optional<std::string> known = knownCategory(name);
    if (!known) {
        return unknownCategory("--filter", name);
    }
    const std::string number = trimmed(value.substr(equals + 1));
    const std::optional<uint64_t> bits = parseNumber(number, std::numeric_limits<uint32_t>::max());
    if (!bits) {
        return "--filter: '" + number + "' is not a 32-bit number (decimal or 0x...)";
    }
    filters[*known] = static_cast<uint32_t>(*bits);
    return {};
}

std::string parseConfig(const std::string& value,
                        std::vector<std::pair<std::string, std::pair<std::string, std::string>>>& configs)
{
    const std::size_t dot = value.find('.');
    const std::size_t equals = dot == std::string::npos ? std::string::npos : value.find('=', dot + 1);
    if (dot == std::string::npos || dot == 0 || equals == std::string::npos || equals == dot + 1) {
        return "--config: expected CATEGORY.NAME=VALUE, got '" + value + "'";
    }
    const std::string name = trimmed(value.substr(0, dot));
    const std::optional<std::string> known = knownCategory(name);
    if (!known) {
        return unknownCategory("--config", name);
    }
    configs.push_back({*known, {value.substr(dot + 1, equals - dot - 1), value.substr(equals + 1)}});
    return {};
}

}  // namespace

const std::vector<std::string>& ProbeOptions::categoryNames()
{
    static const std::vector<std::string> names = [] {
        std::vector<std::string> all;
        for (const Factory::Entry& entry : Categories::table()) {
            all.emplace_back(entry.name);
        }
        return all;
    }();
    return names;
}

std::string ProbeOptions::parse(const std::vector<std::string>& arguments, ProbeOptions& options)
{
    for (std::size_t i = 0; i < arguments.size(); ++i) {
        std::string option = arguments[i];
        std::optional<std::string> inlineValue;
        const std::size_t equals = option.find('=');
        if (option.rfind("--", 0) == 0 && equals != std::string::npos) {
            inlineValue = option.substr(equals + 1);
            option.erase(equals);
        }

        if (option == "--help" || option == "-h" || option == "--version" || option == "--watch" ||
            option == "--json") {
            if (inlineValue) {
                return option + " takes no value";
            }
            options.help = options.help || option == "--help" || option == "-h";
            options.version = options.version || option == "--version";
            options.watch = options.watch || option == "--watch";
            if (option == "--json") {
                options.format = Format::Json;
            }
            continue;
        }
        if (option == "--list-keys") {
            // An optional category: inline, or the next argument unless it is an option.
            std::string name = inlineValue.value_or("");
            if (!inlineValue && i + 1 < arguments.size() && arguments[i + 1].rfind("-", 0) != 0) {
                name = arguments[++i];
            }
            name = trimmed(name);
            if (!name.empty()) {
                const std::optional<std::string> known = knownCategory(name);
                if (!known) {
                    return unknownCategory("--list-keys", name);
                }
                name = *known;
            }
            options.listKeys = name;
            continue;
        }

        static const std::set<std::string> withValue{"--categories", "--exclude", "--filter", "--host-version",
                                                     "--interval",   "--config",  "--log",    "--library",
                                                     "--format"};
        if (withValue.count(option) == 0) {
            return option.rfind("-", 0) == 0 ? "unknown option '" + option + "'"
                                             : "unexpected argument '" + option + "'";
        }
        std::string value;
        if (inlineValue) {
            value = *inlineValue;
        } else if (i + 1 < arguments.size()) {
            value = arguments[++i];
        } else {
            return option + " needs a value";
        }

        std::string error;
        if (option == "--categories" || option == "--exclude") {
            error = parseCategories(option, value, option == "--categories" ? options.categories : options.excluded);
        } else if (option == "--format") {
            const std::string format = trimmed(value);
            if (format == "table") {
                options.format = Format::Table;
            } else if (format == "json") {
                options.format = Format::Json;
            } else if (format == "facts") {
                options.format = Format::Facts;
            } else if (format == "markdown") {
                options.format = Format::Markdown;
            } else {
                error = "--format: '" + value + "' is none of table, json, facts, markdown";
            }
        } else if (option == "--filter") {
            error = parseFilter(value, options.filters);
        } else if (option == "--config") {
            error = parseConfig(value, options.configs);
        } else if (option == "--interval") {
            const std::optional<uint64_t> interval = parseNumber(value, std::numeric_limits<int32_t>::max());
            if (!interval || value.rfind("0x", 0) == 0 || value.rfind("0X", 0) == 0) {
                error = "--interval: '" + value + "' is not a whole number of milliseconds";
            } else {
                options.interval = static_cast<int32_t>(*interval);
            }
        } else if (option == "--host-version") {
            options.hostVersion = value;
            if (!isVersion(value)) {
                options.warnings.push_back("--host-version: '" + value +
                                           "' is not a version such as 20.1.0.0 (one to four dotted numbers); "
                                           "the library reads only what it can of it");
            }
        } else if (option == "--log") {
            if (value.empty()) {
                error = "--log needs a file name";
            }
            options.logFile = value;
        } else if (option == "--library") {
            if (value.empty()) {
                error = "--library needs a path";
            }
            options.library = value;
        }
        if (!error.empty()) {
            return error;
        }
    }

    if (options.format == Format::Markdown && !options.listKeys) {
        return "--format markdown is only for --list-keys";
    }
    // An excluded category cannot be asked for otherwise.
    for (const std::string& category : options.excluded) {
        if (options.filters.count(category) != 0) {
            return "--exclude: category '" + category + "' is given to --filter too";
        }
    }
    // Configuration is only sent inside a category the host asks for.
    for (const auto& [category, entry] : options.configs) {
        const bool excluded =
            std::find(options.excluded.begin(), options.excluded.end(), category) != options.excluded.end();
        const bool listed = options.categories.empty() ||
                            std::find(options.categories.begin(), options.categories.end(), category) !=
                                options.categories.end();
        if (excluded || (!listed && options.filters.count(category) == 0)) {
            return "--config: category '" + category + "' is not asked for (add it to --categories)";
        }
    }
    return {};
}

std::string ProbeOptions::usage(const std::string& program)
{
    std::ostringstream text;
    text << "Usage: " << program << " [OPTION]...\n"
         << "Load the cvclient library, ask it for this device's properties as the host\n"
         << "does, and show what it reports.\n"
         << "\n"
         << "  --categories LIST      ask only for these categories (comma separated), every key\n"
         << "  --exclude LIST         ask for every category but these (comma separated)\n"
         << "  --filter CAT=BITS      ask for category CAT with a key filter (0x.. or decimal);\n"
         << "                         repeatable, the category is asked for even if not listed\n"
         << "  --config CAT.NAME=VAL  add a configuration pair to category CAT; repeatable\n"
         << "  --host-version V       host software version to announce (default 20.1.0.0)\n"
         << "  --interval MS          property check interval in milliseconds (default 60000)\n"
         << "  --watch                after the initial properties, show each update until\n"
         << "                         interrupted (Ctrl+C)\n"
         << "  --format FORMAT        table (default); json: the library's messages as they\n"
         << "                         are, one per line; facts: one JSON object per message,\n"
         << "                         {\"Category\":{\"KEY\":\"value\"},\"kind\":...,\"index\":...,\"time\":...}\n"
         << "                         markdown: --list-keys as a Markdown document\n"
         << "  --json                 the same as --format json\n"
         << "  --log FILE             the library's log file (sets CORVANE_LOGGING_FILE)\n"
         << "  --library PATH         the library to load (default: the one beside the probe,\n"
         << "                         else ../lib/<multiarch>/cvclient/ from the probe's directory)\n"
         << "  --list-keys [CATEGORY] print every key the library can report (of CATEGORY)\n"
         << "                         with its filter bit, meaning, unit, failure value and hosts\n"
         << "  --version              show the probe's version\n"
         << "  --help                 show this help\n"
         << "\n"
         << "Categories:";
    for (const std::string& name : categoryNames()) {
        text << ' ' << name;
    }
    text << "\n"
         << "\n"
         << "Exit status: 0 success, 1 the library failed or did not answer or the output\n"
         << "could not be written, 2 bad usage.\n";
    return text.str();
}

std::vector<ProbeOptions::Request> ProbeOptions::requests() const
{
    std::vector<Request> result;
    for (const std::string& name : categoryNames()) {
        const auto filter = filters.find(name);
        const bool listed =
            (categories.empty() || std::find(categories.begin(), categories.end(), name) != categories.end()) &&
            std::find(excluded.begin(), excluded.end(), name) == excluded.end();
        if (!listed && filter == filters.end()) {
            continue;
        }
        Request request;
        request.name = name;
        if (filter != filters.end()) {
            request.status = 1;
            request.filter = filter->second;
        }
        for (const auto& [category, entry] : configs) {
            if (category == name) {
                request.config.push_back(entry);
            }
        }
        result.push_back(std::move(request));
    }
    return result;
}

std::string ProbeOptions::initialiseMessage() const
{
    rapidjson::StringBuffer buffer;
    rapidjson::Writer<rapidjson::StringBuffer> writer(buffer);
    const auto string = [&writer](const std::string& text) {
        writer.String(text.data(), static_cast<rapidjson::SizeType>(text.size()));
    };

    writer.StartObject();
    writer.Key("id");
    writer.String("Initialize");
    writer.Key("data");
    writer.StartObject();
    writer.Key("propertyCheckInterval");
    writer.Int(interval);
    writer.Key("softwareVersion");
    string(hostVersion);
    writer.Key("properties");
    writer.StartArray();
    for (const Request& request : requests()) {
        writer.StartObject();
        writer.Key("name");
        string(request.name);
        writer.Key("status");
        writer.Int(request.status);
        writer.Key("filter");
        // The host sends the filter as a signed 32-bit number holding the bits.
        writer.Int(static_cast<int32_t>(request.filter));
        writer.Key("config");
        writer.StartArray();
        for (const auto& [name, value] : request.config) {
            writer.StartArray();
            string(name);
            string(value);
            writer.EndArray();
        }
        writer.EndArray();
        writer.EndObject();
    }
    writer.EndArray();
    writer.EndObject();
    writer.EndObject();
    return std::string(buffer.GetString(), buffer.GetSize());
}
