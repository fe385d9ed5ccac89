// SPDX-License-Identifier: Apache-2.0
// IGEL's `get` faked by a script first on PATH: it prints the file r.KEY when
// there is one and records each run with its LC_ALL. With `get_unit_id` beside
// it the endpoint is IGEL OS, when this comes before anything asks.
#pragma once

#include "support/TempDir.h"

namespace TestSupport {

struct FakeIgelGet {
    FakeIgelGet() : path("PATH", pathWith(dir.path()))
    {
        dir.script("get", "echo \"LC_ALL=$LC_ALL $*\" >> '" + dir.file("runs") + "'\ncat '" + dir.file("r.") +
                              "'\"$1\" 2>/dev/null\nexit 0");
        dir.script("get_unit_id", "echo 00E0C5123456");
    }
    void set(const std::string& key, const std::string& value) const { dir.write("r." + key, value + "\n"); }
    std::string runs() const { return readWhole(dir.file("runs")); }
    TempDir dir;
    ScopedEnv path;
};

}  // namespace TestSupport
