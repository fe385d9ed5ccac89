// SPDX-License-Identifier: Apache-2.0
// Login records (utmp) as login programs write them: one fixed-size record per
// session, written here for the cases a test describes.
#pragma once
#include <unistd.h>
#include <utmp.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

namespace TestSupport {

struct LoginSession {
    std::string user;
    pid_t pid = getpid();  // a process that runs: this one
    short type = USER_PROCESS;
};

inline std::string loginRecords(const std::vector<LoginSession>& sessions)
{
    std::string records;
    for (const LoginSession& session : sessions) {
        utmp record{};
        record.ut_type = session.type;
        record.ut_pid = session.pid;
        std::strncpy(record.ut_line, "pts/0", sizeof(record.ut_line));
        std::memcpy(record.ut_user, session.user.data(), std::min(session.user.size(), sizeof(record.ut_user)));
        records.append(reinterpret_cast<const char*>(&record), sizeof(record));
    }
    return records;
}

}  // namespace TestSupport
