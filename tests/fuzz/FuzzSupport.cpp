#include "FuzzSupport.h"

#include "properties/Factory.h"
#include "providers/Categories.h"
#include "providers/device/CorvaneProvider.h"
#include "support/LoadedLibrary.h"

#include <glib.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string_view>

// Every deadly signal stays with AddressSanitizer even after the library
// installs its fault handlers, so a crash is reported and its input kept.
extern "C" const char* __asan_default_options()
{
    return "allow_user_segv_handler=0:handle_sigill=1:handle_sigfpe=1:handle_sigbus=1:detect_leaks=1";
}

extern "C" const char* __ubsan_default_options()
{
    return "print_stacktrace=1:halt_on_error=1";
}

namespace FuzzSupport {

void initialise()
{
    setenv("CORVANE_LOGGING_FILE", "/dev/null", 0);
    TestSupport::library();
}

void onlyCheapProviders()
{
    for (const Factory::Entry& entry : Categories::table()) {
        Factory::registerProvider(entry.name, &CorvaneProvider::create);
    }
}

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

std::vector<std::string> pieces(const uint8_t* data, std::size_t size, std::size_t longest)
{
    std::vector<std::string> result;
    if (size == 0) {
        return result;
    }
    const std::size_t count = std::min<std::size_t>(data[0], size - 1);
    const uint8_t* lengths = data + 1;
    const uint8_t* stream = lengths + count;
    std::size_t left = size - 1 - count;
    for (std::size_t i = 0; left > 0; ++i) {
        std::size_t length = count > 0 ? lengths[i % count] : 0;
        length = std::min(length == 0 ? left : length, std::min(left, longest));
        result.emplace_back(reinterpret_cast<const char*>(stream), length);
        stream += length;
        left -= length;
    }
    return result;
}

std::vector<std::string> messages(const uint8_t* data, std::size_t size)
{
    static constexpr std::string_view kSeparator = "\n#\n";
    const std::string_view input(reinterpret_cast<const char*>(data), size);
    std::vector<std::string> result;
    std::size_t from = 0;
    for (std::size_t at = input.find(kSeparator); at != std::string_view::npos; at = input.find(kSeparator, from)) {
        result.emplace_back(input.substr(from, at - from));
        from = at + kSeparator.size();
    }
    result.emplace_back(input.substr(from));
    return result;
}

}  // namespace FuzzSupport
