// SPDX-License-Identifier: Apache-2.0
// The os-release file of a generic Linux (/etc/os-release, else
// /usr/lib/os-release): shell-style variable assignments, one per line, with
// comments and blank lines. Values are text and nothing else: no expansion,
// no command, whatever the file holds.
#pragma once

#include <map>
#include <optional>
#include <string>

class OsRelease {
public:
    using Fields = std::map<std::string, std::string>;

    // The fields of an os-release text. A line is NAME=VALUE, NAME made of
    // letters, digits and underscores (not first); VALUE may be quoted in
    // double quotes (where a backslash escapes $, `, " and \), in single
    // quotes (taken as they are), or unquoted (a backslash escapes any
    // character); it ends at the first blank outside quotes. Lines starting
    // with "#" and lines that are no assignment, or whose quote is never
    // closed, are left out. A name given twice keeps its last value.
    static Fields parse(const std::string& text);

    // The fields of the system's file, of at most its first 64 KiB; none
    // when neither is a regular file that can be read.
    static std::optional<Fields> read();
};
