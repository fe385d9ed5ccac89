// SPDX-License-Identifier: Apache-2.0
#include "providers/igel/Certificate.h"

#include "base/Crypto.h"
#include "base/Descriptor.h"
#include "base/LazyLibrary.h"
#include "base/Logging.h"
#include "base/ProgramAnswers.h"
#include "base/Utilities.h"

#include <fcntl.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>

#include <cctype>
#include <climits>
#include <iostream>
#include <sstream>
#include <vector>

namespace {

// Larger files are not read: a certificate, even a chain of them, is a few kilobytes.
constexpr std::size_t kLargestFile = 1 << 20;

std::optional<std::string> readBounded(const std::string& path)
{
    const Base::Descriptor file(open(path.c_str(), O_RDONLY | O_CLOEXEC));
    std::optional<std::string> contents = file ? Utilities::readDescriptor(file.get(), kLargestFile) : std::nullopt;
    if (!contents || contents->size() > kLargestFile) {
        return std::nullopt;
    }
    return contents;
}

// What a memory BIO holds.
std::string written(BIO* bio)
{
    char* data = nullptr;
    const long size = BIO_get_mem_data(bio, &data);
    return size > 0 ? std::string(data, static_cast<std::size_t>(size)) : std::string();
}

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
    const Base::LazyLibrary& crypto = Base::LazyLibrary::require(Base::LazyLibrary::Crypto);
    if (!crypto) {
        TRACE_ERROR << "Failed to determine certificate information of [" << path << "]: [" << crypto.soname()
                    << "] cannot be loaded: " << crypto.error() << std::endl;
        return std::nullopt;
    }
    const std::optional<std::string> output =
        Base::ProgramAnswers::readWith("certificate\0" + path, {path}, [&path]() -> std::optional<std::string> {
            const std::optional<std::string> contents = readBounded(path);
            return contents ? describe(*contents) : std::nullopt;
        });
    std::optional<Certificate> certificate = output ? parse(*output, path) : std::nullopt;
    if (!certificate) {
        TRACE_ERROR << "Certificate [" << path << "] could not be read (unreadable, larger than " << kLargestFile
                    << " bytes, or no certificate)" << std::endl;
    }
    return certificate;
}

std::optional<std::string> Certificate::describe(const std::string& contents)
{
    if (contents.size() > static_cast<std::size_t>(INT_MAX)) {
        return std::nullopt;
    }
    const int size = static_cast<int>(contents.size());
    Base::X509Handle certificate;
    {
        const Base::BioHandle input(BIO_new_mem_buf(contents.data(), size));
        certificate.reset(input ? PEM_read_bio_X509_AUX(input.get(), nullptr, nullptr, nullptr) : nullptr);
    }
    if (!certificate) {
        const auto* bytes = reinterpret_cast<const unsigned char*>(contents.data());
        certificate.reset(d2i_X509(nullptr, &bytes, size));
    }
    // A failed decoding leaves its reasons on this thread's error queue.
    ERR_clear_error();
    const Base::BioHandle output(BIO_new(BIO_s_mem()));
    if (!certificate || !output) {
        return std::nullopt;
    }
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int digestSize = 0;
    if (BIO_puts(output.get(), "subject=") <= 0 ||
        X509_NAME_print_ex(output.get(), X509_get_subject_name(certificate.get()), 0, XN_FLAG_ONELINE) < 0 ||
        BIO_puts(output.get(), "\nserial=") <= 0 ||
        i2a_ASN1_INTEGER(output.get(), X509_get0_serialNumber(certificate.get())) < 0 ||
        X509_digest(certificate.get(), EVP_sha256(), digest, &digestSize) != 1) {
        return std::nullopt;
    }
    std::string lines = written(output.get()) + "\nsha256 Fingerprint=";
    static constexpr char kDigits[] = "0123456789ABCDEF";
    for (unsigned int i = 0; i < digestSize; ++i) {
        lines += kDigits[digest[i] >> 4];
        lines += kDigits[digest[i] & 0xF];
        lines += i + 1 < digestSize ? ':' : '\n';
    }
    return lines;
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
