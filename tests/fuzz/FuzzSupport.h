// SPDX-License-Identifier: Apache-2.0
// What the fuzz targets share. Each links the library's objects into its own executable and finds the entry
// points there (support/LoadedLibrary.h). LLVMFuzzerInitialize, here, logs into /dev/null (unless
// CORVANE_LOGGING_FILE names a file), calls TRACE_INIT as a transport does, and registers the provider of
// "Corvane" (the version, read from nothing) under every category name: no input starts a program, a web
// request or a device query.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace FuzzSupport {

void drainMainContext();  // dispatches whatever is ready on the GLib default main context
[[noreturn]] void fail(const std::string& what);  // a finding: prints `what` and aborts
std::size_t checkPackets(const std::string& stream);  // fails unless whole packets of ours; gives how many
// The input as a channel delivers it: byte 0 gives how many piece lengths follow (a byte each, 0 meaning the
// rest); the stream after them is cut into pieces of those lengths in turn, none empty or over `longest`.
std::vector<std::string> pieces(const uint8_t* data, std::size_t size, std::size_t longest = SIZE_MAX);
// The input as messages: cut at every "\n#\n", which no JSON text contains.
std::vector<std::string> messages(const uint8_t* data, std::size_t size);

}  // namespace FuzzSupport
