// What the fuzz targets share. Each target links the library's objects into
// its own executable and finds the entry points there, exactly as the tests
// find them in the loaded library (support/LoadedLibrary.h).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace FuzzSupport {

// Logging into /dev/null (unless CORVANE_LOGGING_FILE names a file), then
// TRACE_INIT through the entry point, as a transport starts.
void initialise();

// Registers the provider of "Corvane" (the library's own version, read from
// nothing) under every category name before the library registers its own,
// so an Initialise message never makes a reading start a program, a web
// request or a device query; unknown names still find no provider.
void onlyCheapProviders();

// Dispatches whatever is ready on the GLib default main context.
void drainMainContext();

// A finding: prints `what` and aborts, so the fuzzer keeps the input.
[[noreturn]] void fail(const std::string& what);

// The input as a channel delivers it: byte 0 gives how many piece lengths
// follow (one byte each, 0 meaning the rest of the stream); the stream after
// them is cut into pieces of those lengths in turn, the last one taking what
// is left. No piece is empty or longer than `longest`.
std::vector<std::string> pieces(const uint8_t* data, std::size_t size, std::size_t longest = SIZE_MAX);

// The input as messages: cut at every "\n#\n", which no JSON text contains.
std::vector<std::string> messages(const uint8_t* data, std::size_t size);

}  // namespace FuzzSupport
