// SPDX-License-Identifier: Apache-2.0
// Subject, serial number and SHA-256 thumbprint of a PEM certificate file, as
// the openssl command reports them.
#pragma once

#include <optional>
#include <string>

class Certificate {
public:
    std::string subject;
    std::string thumbprint;
    std::string serialNumber;

    // The certificate in the file at `path`; none, with an ERROR line, when
    // the file is missing, or openssl cannot be started, fails (not a
    // certificate, not readable), overruns its time or reports nothing of it.
    static std::optional<Certificate> get(const std::string& path);

    // Reads openssl's "-subject -serial -fingerprint" lines; none when none
    // of the three facts is in `output`.
    static std::optional<Certificate> parse(const std::string& output, const std::string& path);

    // Turns the slash form of a distinguished name (/C=DE/O=Org/CN=host) into
    // the comma form (C=DE,O=Org,CN=host), in place; a "/" inside a value stays.
    static void formatSubjectName(std::string& subject);
};
