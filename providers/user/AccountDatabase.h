// SPDX-License-Identifier: Apache-2.0
// The system's account and group databases, read only through the reentrant
// lookups: the non-reentrant ones share static buffers with every other
// thread of the hosting process.
#pragma once

#include <sys/types.h>

#include <optional>
#include <string>
#include <vector>

class AccountDatabase {
public:
    struct Account {
        std::string name;
        gid_t group;  // primary group
    };

    // The account entry of `user`; nullopt when there is none or it cannot be read.
    static std::optional<Account> account(uid_t user);

    // Every group of the account `name` whose primary group is `group`, the
    // primary group first; nullopt when the list cannot be read.
    static std::optional<std::vector<gid_t>> groupList(const std::string& name, gid_t group);

    // The name of a group; nullopt when there is no such group or it cannot be read.
    static std::optional<std::string> groupName(gid_t group);
};
