// SPDX-License-Identifier: Apache-2.0
#include "providers/igel/Certificate.h"

#include "base/Logging.h"
#include "base/ProgramAnswers.h"
#include "base/Utilities.h"

#include <cctype>
#include <iostream>
#include <sstream>
#include <vector>

namespace {

bool isLetter(char character)
{
    return (character >= 'A' && character <= 'Z') || (character >= 'a' && character <= 'z');
}

bool isLetterOrDigit(char character)
{
    return isLetter(character) || (character >= '0' && character <= '9');
}

}  // namespace

std::optional<Certificate> Certificate::get(const std::string& path)
{
    if (!Utilities::existsFile(path)) {
        TRACE_ERROR << "Certificate [" << path << "] could not be found" << std::endl;
        return std::nullopt;
    }
    const std::vector<std::string> arguments{"x509", "-in", path, "-subject", "-serial", "-fingerprint", "-sha256",
                                             "-noout"};
    const std::optional<std::string> output = Base::ProgramAnswers::read("openssl", arguments, {path});
    if (!output) {
        TRACE_ERROR << "Failed to determine certificate information from command [openssl x509 -in " << path
                    << " -subject -serial -fingerprint -sha256 -noout]" << std::endl;
        return std::nullopt;
    }
    std::optional<Certificate> certificate = parse(*output, path);
    if (!certificate) {
        TRACE_ERROR << "Certificate [" << path << "] could not be read by openssl" << std::endl;
    }
    return certificate;
}

std::optional<Certificate> Certificate::parse(const std::string& output, const std::string& path)
{
    Certificate certificate;
    bool found = false;
    std::istringstream lines(output);
    std::string line;
    while (std::getline(lines, line)) {
        const std::size_t equals = line.find('=');
        if (equals == std::string::npos) {
            continue;
        }
        const std::string name = line.substr(0, equals);
        std::string value = line.substr(equals + 1);
        TRACE_VERBOSE << "Found certificate [" << path << "] name [" << name << "] value [" << value << "]"
                      << std::endl;
        if (name == "subject") {
            formatSubjectName(value);
            certificate.subject = value;
            found = true;
        } else if (name == "serial") {
            certificate.serialNumber = Utilities::trim(value);
            found = true;
        } else if (Utilities::tolower(name) == "sha256 fingerprint") {
            // OpenSSL 3 writes the digest name in lower case, older versions in upper case.
            Utilities::trim(value);
            std::string digits;
            for (const char character : value) {
                if (isLetterOrDigit(character)) {
                    digits += character;
                }
            }
            certificate.thumbprint = digits;
            TRACE_VERBOSE << "Certificate thumbprint formatted to [" << certificate.thumbprint << "]" << std::endl;
            found = true;
        }
    }
    return found ? std::optional<Certificate>(std::move(certificate)) : std::nullopt;
}

void Certificate::formatSubjectName(std::string& subject)
{
    std::size_t slash = std::string::npos;
    bool onlyLetters = false;
    for (std::size_t i = 0; i < subject.size(); ++i) {
        const char character = subject[i];
        if (character == '/') {
            slash = i;
            onlyLetters = true;
        } else if (character == '=') {
            if (slash != std::string::npos && onlyLetters) {
                subject[slash] = ',';
            }
            slash = std::string::npos;
            onlyLetters = false;
        } else if (!isLetter(character)) {
            onlyLetters = false;
        }
    }
    const std::size_t start = subject.find_first_not_of(" \t/,");
    subject.erase(0, start == std::string::npos ? subject.size() : start);
    Utilities::trim(subject);
}
