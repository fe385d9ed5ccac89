// SPDX-License-Identifier: Apache-2.0
#include "providers/user/LoginRecords.h"

#include "base/Descriptor.h"
#include "base/Logging.h"
#include "base/ProgramAnswers.h"
#include "base/Utilities.h"

#include <fcntl.h>
#include <signal.h>
#include <utmp.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <iostream>
#include <vector>

const char* const LoginRecords::kFile = _PATH_UTMP;

std::string LoginRecords::userList(std::string_view records, const std::function<bool(pid_t)>& alive)
{
    std::vector<std::string> names;
    for (std::size_t at = 0; records.size() - at >= sizeof(utmp); at += sizeof(utmp)) {
        utmp record{};
        std::memcpy(&record, records.data() + at, sizeof(record));
        if (record.ut_type != USER_PROCESS || record.ut_user[0] == '\0') {
            continue;
        }
        if (!alive(record.ut_pid)) {
            continue;
        }
        std::string name(record.ut_user, strnlen(record.ut_user, sizeof(record.ut_user)));
        name.erase(name.find_last_not_of(' ') + 1);
        names.push_back(std::move(name));
    }
    std::sort(names.begin(), names.end());
    std::string list;
    for (const std::string& name : names) {
        list += list.empty() ? "" : " ";
        list += name;
    }
    return list;
}

std::optional<std::string> LoginRecords::read()
{
    // The list is kept while the records stay as they are, as `users`'s
    // output was: a check with no session begun or ended reads nothing.
    return Base::ProgramAnswers::readWith("login records", {kFile}, &readNow);
}

std::optional<std::string> LoginRecords::readNow()
{
    const Base::Descriptor file(open(kFile, O_RDONLY | O_CLOEXEC));
    std::optional<std::string> records;
    if (file) {
        records = Utilities::readDescriptor(file.get(), kLimit);
    }
    if (!records) {
        TRACE_VERBOSE << "Cannot read the login records [" << kFile << "]: " << std::strerror(errno) << std::endl;
        return std::nullopt;
    }
    if (records->size() > kLimit) {
        records->resize(kLimit - kLimit % sizeof(utmp));
    }
    // A process that is gone ended its session without writing so.
    std::string list = userList(*records, [](pid_t pid) { return pid > 0 && (kill(pid, 0) == 0 || errno != ESRCH); });
    TRACE_VERBOSE << "Logged-in users [" << list << "] from [" << kFile << "]" << std::endl;
    return list;
}
