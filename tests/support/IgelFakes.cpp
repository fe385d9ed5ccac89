#include "support/IgelFakes.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>

namespace TestSupport {

FakeIgelGet::FakeIgelGet() : _path("PATH", pathWith(_dir.path()))
{
    std::filesystem::create_directory(_dir.file("registry"));
    _dir.script("get", "echo \"LC_ALL=$LC_ALL $*\" >> '" + _dir.file("runs") + "'\n"
                       "[ -f '" + _dir.file("registry") + "/'\"$1\" ] && cat '" + _dir.file("registry") +
                           "/'\"$1\"\nexit 0");
}

void FakeIgelGet::set(const std::string& key, const std::string& value) const
{
    _dir.write("registry/" + key, value + "\n");
}

std::string FakeIgelGet::runs() const
{
    return readWhole(_dir.file("runs"));
}

void FakeIgelGet::forget() const
{
    std::filesystem::remove(_dir.file("runs"));
}

void makeCertificate(const std::string& path, const std::string& subject, const std::string& serial)
{
    TempDir keys;
    const std::string command =
        "openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -days 2 -keyout '" +
        keys.file("key") + "' -out '" + keys.file("certificate") + "' -subj '" + subject + "' -set_serial " +
        serial + " 2>/dev/null";
    ASSERT_EQ(std::system(command.c_str()), 0) << command;
    std::filesystem::copy_file(keys.file("certificate"), path, std::filesystem::copy_options::overwrite_existing);
}

}  // namespace TestSupport
