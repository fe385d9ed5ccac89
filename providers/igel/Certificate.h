// Subject, serial number and SHA-256 thumbprint of a PEM certificate file, as
// the openssl command reports them.
#pragma once

#include <string>

class Certificate {
public:
    std::string subject;
    std::string thumbprint;
    std::string serialNumber;

    // Fills `certificate` from the file at `path`. False when the file is
    // missing, or openssl cannot be started, fails (not a certificate, not
    // readable), overruns its time or reports nothing of the file.
    static bool get(const std::string& path, Certificate& certificate);

    // Reads openssl's "-subject -serial -fingerprint" lines into `certificate`
    // (reset first); false when none of the three facts is in `output`.
    static bool parse(const std::string& output, const std::string& path, Certificate& certificate);

    // Turns the slash form of a distinguished name (/C=DE/O=Org/CN=host) into
    // the comma form (C=DE,O=Org,CN=host), in place; a "/" inside a value stays.
    static void formatSubjectName(std::string& subject);

    void reset();
};
