// IGEL OS's tools and files as the IGEL tests fake them: IGEL's `get` as a
// script first on PATH, and certificates made by openssl.
#pragma once

#include "support/TempDir.h"

#include <string>

namespace TestSupport {

// IGEL's `get`: prints the file registry/KEY when it exists; every run is
// recorded with its LC_ALL and arguments.
class FakeIgelGet {
public:
    FakeIgelGet();
    FakeIgelGet(const FakeIgelGet&) = delete;
    FakeIgelGet& operator=(const FakeIgelGet&) = delete;

    void set(const std::string& key, const std::string& value) const;
    // The runs so far, one line each: "LC_ALL=... ARGUMENTS".
    std::string runs() const;
    void forget() const;

private:
    TempDir _dir;
    ScopedEnv _path;
};

// A self-signed certificate made by openssl, at `path`; a test failure when
// openssl fails.
void makeCertificate(const std::string& path, const std::string& subject, const std::string& serial);

}  // namespace TestSupport
