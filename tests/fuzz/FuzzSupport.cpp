// SPDX-License-Identifier: Apache-2.0
#include "FuzzSupport.h"

#include "properties/Factory.h"
#include "providers/Categories.h"
#include "providers/device/CorvaneProvider.h"
#include "support/LoadedLibrary.h"

#include <glib.h>

#include <algorithm>
#include <cstdio>
#include <cstring>

// Every deadly signal stays with AddressSanitizer even after the library installs its fault handlers, so a
// crash is reported and its input kept.
extern "C" const char* __asan_default_options()
{
    return "allow_user_segv_handler=0:handle_sigill=1:handle_sigfpe=1:handle_sigbus=1:detect_leaks=1";
}

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    setenv("CORVANE_LOGGING_FILE", "/dev/null", 0);
    TestSupport::library();
    for (const Factory::Entry& entry : Categories::table()) {
        Factory::registerProvider(entry.name, &CorvaneProvider::create);
    }
    return 0;
}

namespace FuzzSupport {

void drainMainContext()
{
    for (int i = 0; i < 1000 && g_main_context_iteration(nullptr, FALSE); ++i) {
    }
}

void fail(const std::string& what)
{
    std::fprintf(stderr, "FINDING: %s\n", what.c_str());
    std::abort();
}

std::size_t checkPackets(const std::string& stream)
{
    std::size_t count = 0;
    for (std::size_t at = 0; at < stream.size(); ++count) {
        uint32_t header[3];
        std::memcpy(header, stream.data() + at, std::min(sizeof(header), stream.size() - at));
        if (stream.size() - at < sizeof(header) || header[0] != 1 || header[2] != 1 || header[1] < sizeof(header) ||
            header[1] > stream.size() - at) {
            fail("a packet that is not whole was sent");
        }
        at += header[1];
    }
    return count;
}

std::vector<std::string> pieces(const uint8_t* data, std::size_t size, std::size_t longest)
{
    std::vector<std::string> result;
    const std::size_t count = size == 0 ? 0 : std::min<std::size_t>(data[0], size - 1);
    const char* stream = reinterpret_cast<const char*>(data) + 1 + count;
    for (std::size_t i = 0, left = size == 0 ? 0 : size - 1 - count; left > 0; left -= result.back().size(), ++i) {
        const std::size_t length = count > 0 && data[1 + i % count] != 0 ? data[1 + i % count] : left;
        stream += result.emplace_back(stream, std::min({length, left, longest})).size();
    }
    return result;
}

std::vector<std::string> messages(const uint8_t* data, std::size_t size)
{
    const std::string input(reinterpret_cast<const char*>(data), size);
    std::vector<std::string> result;
    std::size_t from = 0;
    for (std::size_t at = input.find("\n#\n"); at != std::string::npos; from = at + 3, at = input.find("\n#\n", from)) {
        result.push_back(input.substr(from, at - from));
    }
    result.push_back(input.substr(from));
    return result;
}

}  // namespace FuzzSupport
