// SPDX-License-Identifier: Apache-2.0
// Answers of programs that only tell what some files hold, kept while those
// files stay as they were, so that a periodic reading with nothing changed
// starts no program at all.
//
//     // IGEL's registry tool answers from the setup file:
//     Base::ProgramAnswers::read("get", {"product.version"}, {"/wfs/group.ini"});
//
// An answer (a failure included) is kept while the program's own file and
// every input file have the same identity, size and change times as when it
// was read. It is not kept when an input is missing, when the program is not
// found, or when a file changed within the last two seconds before the
// reading: a file system's clock may not tell a second change within the same
// tick from the first, so a recent change is never trusted.
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace Base {

class ProgramAnswers {
public:
    static std::optional<std::string> read(const std::string& program, const std::vector<std::string>& arguments,
                                           const std::vector<std::string>& inputs);

    // The same for an answer this process makes itself from the files
    // `inputs` (a certificate it decodes): `answer` runs only when no answer
    // under `key` is kept for those files as they are now.
    static std::optional<std::string> readWith(const std::string& key, const std::vector<std::string>& inputs,
                                               const std::function<std::optional<std::string>()>& answer);

    // At most this many answers are kept; past it the oldest go first.
    static constexpr std::size_t kMaximumAnswers = 256;

    // One round of readings on this thread, such as every category of one
    // periodic check: while a Round lives, each program is looked up on PATH
    // and each file looked at once, and the round's later readings take what
    // that first look saw. Rounds nest; the outermost one ends the round.
    class Round {
    public:
        Round();
        ~Round();
        Round(const Round&) = delete;
        Round& operator=(const Round&) = delete;
    };
};

}  // namespace Base
