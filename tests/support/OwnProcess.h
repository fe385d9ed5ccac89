// SPDX-License-Identifier: Apache-2.0
// A test of this program in a process of its own, and the library's answer to one Initialise there.
#pragma once
#include <string>

namespace TestSupport {
// Runs the test `test` ("Suite.Name") of this program in a new process, which loads the library afresh (a fork
// would inherit this process's GLib state); true when it passed there.
bool passedInOwnProcess(const std::string& test);
// The "updated" pairs of the library's first message on a new channel after `initialise`, as " KEY=value ... ",
// and the message's device id as deviceId=...; empty when none came within a minute.
std::string initialAnswer(const std::string& initialise);
}  // namespace TestSupport
