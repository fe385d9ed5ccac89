// SPDX-License-Identifier: Apache-2.0
// Subject, serial number and SHA-256 thumbprint of a certificate file, as the
// openssl command reports them, decoded in this process through libcrypto.
#pragma once

#include <optional>
#include <string>

class Certificate {
public:
    std::string subject;
    std::string thumbprint;
    std::string serialNumber;

    // The certificate in the file at `path`; none, with an ERROR line, when
    // the file is missing or unreadable, holds no certificate, or libcrypto
    // cannot be loaded. Kept while the file stays as it is.
    static std::optional<Certificate> get(const std::string& path);

    // The lines `openssl x509 -subject -serial -fingerprint -sha256 -noout`
    // writes for the first certificate in `contents` (PEM, else DER); none
    // when it holds none. Needs libcrypto loaded.
    static std::optional<std::string> describe(const std::string& contents);

    // Reads openssl's "-subject -serial -fingerprint" lines; none when none
    // of the three facts is in `output`.
    static std::optional<Certificate> parse(const std::string& output, const std::string& path);

    // Turns the slash form of a distinguished name (/C=DE/O=Org/CN=host) into
    // the comma form (C=DE,O=Org,CN=host), in place; a "/" inside a value stays.
    static void formatSubjectName(std::string& subject);
};
