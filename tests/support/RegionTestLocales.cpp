#include "support/RegionTestLocales.h"


#include <fcntl.h>
#include <spawn.h>
#include <sys/file.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <mutex>
#include <stdexcept>
#include <vector>

extern char** environ;

namespace TestSupport {

namespace {

constexpr const char* kLocaledef = "/usr/bin/localedef";

struct Source {
    const char* input;    // localedef -i
    const char* charmap;  // localedef -f
    const char* name;     // the locale name in LANG
};

constexpr Source kLocales[] = {
    {"en_US", "UTF-8", "en_US.UTF-8"},
    {"en_GB", "UTF-8", "en_GB.UTF-8"},
    {"de_DE", "UTF-8", "de_DE.UTF-8"},
};

bool complete(const std::filesystem::path& locale)
{
    return std::filesystem::exists(locale / "LC_IDENTIFICATION") && std::filesystem::exists(locale / "LC_ADDRESS");
}

// Builds one locale into a directory of its own and moves it into place in
// one step, so another process never sees half of it.
void build(const std::filesystem::path& directory, const Source& source)
{
    const std::filesystem::path target = directory / source.name;
    if (complete(target)) {
        return;
    }
    const std::filesystem::path partial =
        directory / (std::string(source.name) + ".partial-" + std::to_string(getpid()));
    std::filesystem::remove_all(partial);
    std::vector<std::string> arguments{kLocaledef, "-i", source.input, "-f", source.charmap, partial.string()};
    std::vector<char*> argv;
    for (std::string& argument : arguments) {
        argv.push_back(argument.data());
    }
    argv.push_back(nullptr);
    pid_t pid = -1;
    if (posix_spawn(&pid, argv[0], nullptr, nullptr, argv.data(), environ) != 0) {
        throw std::runtime_error(std::string("cannot run ") + kLocaledef + "; it comes with Debian's locales package");
    }
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    // localedef may warn with a non-zero status and still write the locale:
    // what counts is that the locale is there.
    if (!complete(partial)) {
        std::filesystem::remove_all(partial);
        throw std::runtime_error(std::string("localedef could not build ") + source.name + " (wait status " +
                                 std::to_string(status) + ")");
    }
    std::error_code error;
    std::filesystem::rename(partial, target, error);
    if (error) {
        // Another process put it in place first.
        std::filesystem::remove_all(partial);
        if (!complete(target)) {
            throw std::runtime_error(std::string("cannot put the locale ") + source.name + " in place");
        }
    }
}

}  // namespace

std::string RegionTestLocales::directory()
{
    static std::once_flag built;
    const std::filesystem::path directory = REGION_TEST_LOCALE_DIR;
    std::call_once(built, [&] {
        std::filesystem::create_directories(directory);
        // One process builds while the others wait for it, rather than all
        // building the same locales side by side.
        const int lock = open((directory / ".lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
        while (lock >= 0 && flock(lock, LOCK_EX) != 0 && errno == EINTR) {
        }
        try {
            for (const Source& source : kLocales) {
                build(directory, source);
            }
        } catch (...) {
            if (lock >= 0) {
                close(lock);
            }
            throw;
        }
        if (lock >= 0) {
            close(lock);
        }
    });
    return directory.string();
}

}  // namespace TestSupport
