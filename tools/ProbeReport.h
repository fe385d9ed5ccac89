// SPDX-License-Identifier: Apache-2.0
// One message the library wrote, read back and laid out for a person: the
// device it names and its keys grouped by category. Pure: text in, text out.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

class ProbeReport {
public:
    static constexpr const char* kInitialId = "initializeDeviceProperties";
    static constexpr const char* kUpdateId = "updateDeviceProperties";

    explicit ProbeReport(const std::string& message);

    // False when the text is not a properties message; error() says why.
    bool valid() const;
    const std::string& error() const;

    const std::string& id() const;
    bool isInitial() const;
    bool isUpdate() const;

    const std::vector<std::pair<std::string, std::string>>& updated() const;
    const std::vector<std::string>& removed() const;

    // The initial message: a header naming the device, the message index and
    // time and how long the answer took, then the keys grouped by category,
    // then which of the `requested` categories reported nothing.
    std::string initialTable(std::chrono::milliseconds elapsed, const std::vector<std::string>& requested) const;

    // An update message: its index and time, then the updated keys with their
    // values and the removed keys, grouped by category.
    std::string updateTable() const;

    // The message as one JSON object of facts, for scripts: a member per
    // category holding its keys and values (null for a removed key), and
    // "kind" ("initial" or "update"), "index" (the message's index, null
    // when it has none), "time" (`received`, ISO 8601 in UTC) and "device"
    // ({"name","id","os"} of the message). These member names begin with a
    // small letter, category names with a capital, so they never clash.
    std::string facts(std::chrono::system_clock::time_point received) const;

    // The category a key belongs to, from its name.
    static std::string categoryOf(const std::string& key);

    // A value as it is shown: control characters escaped, quoted when empty
    // or when it starts or ends with a blank.
    static std::string printable(const std::string& value);

private:
    std::string groupedKeys() const;

    std::string _error;
    std::string _id;
    std::optional<uint64_t> _index;
    std::string _time;
    std::string _deviceName;
    std::string _deviceId;
    std::string _deviceOS;
    std::vector<std::pair<std::string, std::string>> _updated;
    std::vector<std::string> _removed;
};
