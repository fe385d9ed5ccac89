// SPDX-License-Identifier: Apache-2.0
// The logged-in user list, read from the system's login records (utmp) as
// `users` reads them, without starting it: one name per session of type
// USER_PROCESS with a user name and a process that still runs, names
// without trailing blanks, sorted byte by byte and separated by one blank.
#pragma once

#include <sys/types.h>

#include <functional>
#include <optional>
#include <string>
#include <string_view>

class LoginRecords {
public:
    // Where the records are; a session starting or ending rewrites it.
    static const char* const kFile;
    // The most read of it: some forty thousand records.
    static constexpr std::size_t kLimit = 16 * 1024 * 1024;

    // The list from the whole records in `records` (a partial record at the
    // end is left out), counting a session only when `alive` says its
    // process still runs.
    static std::string userList(std::string_view records, const std::function<bool(pid_t)>& alive);

    // The list from kFile, each session's process looked up with kill(pid, 0),
    // kept while the file stays as it is (Base::ProgramAnswers); nullopt when
    // the file cannot be opened or read.
    static std::optional<std::string> read();

private:
    static std::optional<std::string> readNow();
};
