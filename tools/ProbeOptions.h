// SPDX-License-Identifier: Apache-2.0
// The probe's command line: which categories to ask for and how, where the
// library is, and how to show what it answers. Parsing is pure: it touches
// neither the environment nor the file system.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <utility>
#include <vector>

class ProbeOptions {
public:
    // Every category the host can name, in the order the host names them.
    static const std::vector<std::string>& categoryNames();

    // How one category is asked for in the Initialise message.
    struct Request {
        std::string name;
        int32_t status = 2;   // 2: every key; 1: the keys whose bit is in `filter`
        uint32_t filter = 0;
        std::vector<std::pair<std::string, std::string>> config;
    };

    // How the answers are printed: a table per message, the library's
    // messages as they are, or one object of facts per message; Markdown is
    // for --list-keys only.
    enum class Format { Table, Json, Facts, Markdown };

    std::vector<std::string> categories;              // from --categories; empty: all of them
    std::vector<std::string> excluded;                // from --exclude
    std::map<std::string, uint32_t> filters;           // from --filter
    std::vector<std::pair<std::string, std::pair<std::string, std::string>>> configs;  // --config
    std::string hostVersion = "20.1.0.0";
    int32_t interval = 60000;
    bool watch = false;
    Format format = Format::Table;
    bool help = false;
    bool version = false;
    std::optional<std::string> listKeys;              // --list-keys; empty text: every category
    // What is doubtful but no usage error, one line each (an unparseable --host-version).
    std::vector<std::string> warnings;
    std::optional<std::string> logFile;
    std::optional<std::string> library;

    // Reads the arguments after the program name into `options`; returns an
    // empty string on success, otherwise what is wrong with them.
    static std::string parse(const std::vector<std::string>& arguments, ProbeOptions& options);

    static std::string usage(const std::string& program);

    // The categories to ask for, in the host's order, with their status,
    // filter and configuration.
    std::vector<Request> requests() const;

    // The host's Initialise message for these options.
    std::string initialiseMessage() const;
};
