// SPDX-License-Identifier: Apache-2.0
// Shared helpers for providers: small files, environment, trimming, case
// folding, udev hex escapes and date reformatting. Programs are run by
// Base::readProgramOutput (base/ProgramOutput.h), never through a shell. None keeps
// state; failures are reported by result and log line, never by exception.
#pragma once

#include <optional>
#include <string>

namespace Utilities {

std::string& rtrim(std::string& text);
std::string& ltrim(std::string& text);
std::string& trim(std::string& text);

std::string tolower(const std::string& text);
std::string toupper(const std::string& text);

// Decodes "\xHH" escapes (either case of x) as udev writes them.
std::string decodeHexDelimited(const std::string& text);

// True when the process can read the path.
bool existsFile(const std::string& path);

// The path of a /proc/net table (such as "arp" or "route") of the calling
// thread's network namespace: /proc/net itself is the first thread's.
std::string procNetTable(const std::string& table);

// The variable's value when set (also when empty), else the default.
std::string getEnvironmentVariable(const std::string& name, const std::string& defaultValue);

// Reads `descriptor` to its end, retrying interrupted reads, but no more
// than `limit` + 1 bytes, so that a caller tells a larger file by the size.
// Nothing, with errno kept, when a read fails.
std::optional<std::string> readDescriptor(int descriptor, std::size_t limit);

// Reads a whole file, trimmed. A file that cannot be opened reads as empty;
// nothing (and an ERROR line) when reading fails.
std::optional<std::string> readFile(const std::string& path);

// Reformats a date from one strftime-style pattern to another; on failure
// logs and returns the input unchanged.
std::string parseDateFromString(const std::string& text, const std::string& inputFormat,
                                const std::string& outputFormat);

}  // namespace Utilities
