// SPDX-License-Identifier: Apache-2.0
#include "providers/user/AccountDatabase.h"

#include "base/Logging.h"

#include <grp.h>
#include <pwd.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <iostream>

namespace {

// Entries larger than this are refused rather than read.
constexpr std::size_t kLargestEntry = 1024 * 1024;

// A group can hold at most NGROUPS_MAX (65536) supplementary groups, plus
// the primary group.
constexpr int kMostGroups = 65537;

std::size_t startingBufferSize(int which)
{
    const long size = sysconf(which);
    return size > 0 ? static_cast<std::size_t>(size) : 1024;
}

// Runs a reentrant lookup `lookup(buffer, size, &result)`, growing the buffer
// while the lookup reports it too small. Returns the lookup's error number.
template <typename Lookup>
int withGrowingBuffer(std::size_t size, std::vector<char>& buffer, Lookup&& lookup)
{
    for (;;) {
        buffer.resize(size);
        int error = 0;
        do {
            error = lookup(buffer.data(), buffer.size());
        } while (error == EINTR);
        if (error != ERANGE || size >= kLargestEntry) {
            return error;
        }
        size *= 2;
    }
}

}  // namespace

std::optional<AccountDatabase::Account> AccountDatabase::account(uid_t user)
{
    passwd entry{};
    passwd* found = nullptr;
    std::vector<char> buffer;
    const int error = withGrowingBuffer(startingBufferSize(_SC_GETPW_R_SIZE_MAX), buffer,
                                        [&](char* data, std::size_t size) {
                                            return getpwuid_r(user, &entry, data, size, &found);
                                        });
    if (error != 0) {
        TRACE_ERROR << "Failed to read the account of user id [" << user << "] with error [" << std::strerror(error)
                    << "]" << std::endl;
        return std::nullopt;
    }
    if (found == nullptr) {
        TRACE_WARNING << "No account for user id [" << user << "]" << std::endl;
        return std::nullopt;
    }
    return Account{found->pw_name != nullptr ? found->pw_name : "", found->pw_gid};
}

std::optional<std::vector<gid_t>> AccountDatabase::groupList(const std::string& name, gid_t group)
{
    std::vector<gid_t> groups(64);
    // The list may grow between two calls; a few attempts are plenty.
    for (int attempt = 0; attempt < 4; ++attempt) {
        int count = static_cast<int>(groups.size());
        if (getgrouplist(name.c_str(), group, groups.data(), &count) != -1) {
            groups.resize(static_cast<std::size_t>(count));
            return groups;
        }
        // -1 with a larger count: the buffer was too small; otherwise the
        // lookup itself failed.
        if (count <= static_cast<int>(groups.size()) || count > kMostGroups) {
            break;
        }
        groups.resize(static_cast<std::size_t>(count));
    }
    TRACE_WARNING << "Failed to read the group list of the user" << std::endl;
    return std::nullopt;
}

std::optional<std::string> AccountDatabase::groupName(gid_t group)
{
    struct group entry {};
    struct group* found = nullptr;
    std::vector<char> buffer;
    const int error = withGrowingBuffer(startingBufferSize(_SC_GETGR_R_SIZE_MAX), buffer,
                                        [&](char* data, std::size_t size) {
                                            return getgrgid_r(group, &entry, data, size, &found);
                                        });
    if (error != 0) {
        TRACE_ERROR << "Failed to read group id [" << group << "] with error [" << std::strerror(error) << "]"
                    << std::endl;
        return std::nullopt;
    }
    if (found == nullptr || found->gr_name == nullptr) {
        return std::nullopt;
    }
    return std::string(found->gr_name);
}
