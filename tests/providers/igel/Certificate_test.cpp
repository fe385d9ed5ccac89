#include "providers/igel/Certificate.h"

#include "support/IgelFakes.h"
#include "support/TempDir.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <vector>

using TestSupport::makeCertificate;
using TestSupport::TempDir;

namespace {

std::string formatted(std::string subject)
{
    Certificate::formatSubjectName(subject);
    return subject;
}

}  // namespace

TEST(Certificate, FormatsTheSlashFormOfANameWithCommas)
{
    EXPECT_EQ(formatted(" /C=DE/O=Example Org/CN=host"), "C=DE,O=Example Org,CN=host");
    EXPECT_EQ(formatted("/C=DE/CN=a/b"), "C=DE,CN=a/b");
    EXPECT_EQ(formatted("/C=DE/CN=a/1=b"), "C=DE,CN=a/1=b");
    EXPECT_EQ(formatted("/CN=path/to/x"), "CN=path/to/x");
    EXPECT_EQ(formatted("C = DE, O = Example Org, CN = a/b "), "C = DE, O = Example Org, CN = a/b");
    EXPECT_EQ(formatted(",/ CN=x"), "CN=x");
    EXPECT_EQ(formatted(""), "");
    EXPECT_EQ(formatted("///"), "");
}

TEST(Certificate, ParsesTheLinesOfEitherOpensslGeneration)
{
    std::optional<Certificate> certificate =
        Certificate::parse("subject=/C=DE/CN=host\nserial=0A1B\nSHA256 Fingerprint=AB:CD:EF\n", "f");
    ASSERT_TRUE(certificate);
    EXPECT_EQ(certificate->subject, "C=DE,CN=host");
    EXPECT_EQ(certificate->serialNumber, "0A1B");
    EXPECT_EQ(certificate->thumbprint, "ABCDEF");

    certificate =
        Certificate::parse("subject=C = DE, CN = host\nserial= 0A1B \nsha256 Fingerprint= 12:34:ab \nnoise", "f");
    ASSERT_TRUE(certificate);
    EXPECT_EQ(certificate->subject, "C = DE, CN = host");
    EXPECT_EQ(certificate->serialNumber, "0A1B");
    EXPECT_EQ(certificate->thumbprint, "1234ab");

    // A value holding "=" is split at the first one only; other names are ignored.
    certificate = Certificate::parse("issuer=CN=ca\nsubject=CN=a=b", "f");
    ASSERT_TRUE(certificate);
    EXPECT_EQ(certificate->subject, "CN=a=b");
    EXPECT_EQ(certificate->serialNumber, "");
}

TEST(Certificate, OutputWithoutAnyFactIsAFailure)
{
    EXPECT_FALSE(Certificate::parse("", "f"));
    EXPECT_FALSE(Certificate::parse("Could not read certificate\nissuer=CN=x", "f"));
}

TEST(Certificate, ReadsARealCertificateThroughOpenssl)
{
    TempDir dir;
    const std::string path = dir.file("server.crt");
    makeCertificate(path, "/C=DE/O=Example Org/CN=ums\\/host", "0x1234ABCD");
    const std::optional<Certificate> read = Certificate::get(path);
    ASSERT_TRUE(read);
    const Certificate& certificate = *read;
    EXPECT_EQ(certificate.serialNumber, "1234ABCD");
    // OpenSSL 3 prints the comma form; the "/" inside the value stays.
    EXPECT_NE(certificate.subject.find("Example Org"), std::string::npos) << certificate.subject;
    EXPECT_NE(certificate.subject.find("ums/host"), std::string::npos) << certificate.subject;
    EXPECT_EQ(certificate.thumbprint.size(), 64U) << certificate.thumbprint;
    EXPECT_EQ(certificate.thumbprint.find(':'), std::string::npos);

    std::string expected;
    {
        const std::string command =
            "openssl x509 -in '" + path + "' -noout -fingerprint -sha256 | sed 's/.*=//; s/://g' > '" +
            dir.file("digest") + "'";
        ASSERT_EQ(std::system(command.c_str()), 0);
        expected = TestSupport::readWhole(dir.file("digest"));
        expected.erase(expected.find_last_not_of('\n') + 1);
    }
    EXPECT_EQ(certificate.thumbprint, expected);
}

TEST(Certificate, PathIsHandedToOpensslAsOneArgument)
{
    TempDir dir;
    // A command in the name would run in the working directory.
    const std::string mark = "cvclient-certificate-ran";
    const std::vector<std::string> names{"with blank.crt", "quote'd\".crt", "$(touch " + mark + ").crt",
                                         "`touch " + mark + "`.crt"};
    for (const std::string& name : names) {
        const std::string path = dir.file(name);
        makeCertificate(path, "/CN=odd", "7");
        const std::optional<Certificate> certificate = Certificate::get(path);
        ASSERT_TRUE(certificate) << name;
        EXPECT_EQ(certificate->subject, "CN = odd") << name;
        EXPECT_EQ(certificate->serialNumber, "07") << name;
    }
    EXPECT_FALSE(std::filesystem::exists(mark));
    std::filesystem::remove(mark);
}

TEST(Certificate, MissingOrUnreadableFilesFail)
{
    TempDir dir;
    EXPECT_FALSE(Certificate::get(dir.file("missing.crt")));
    // Tests run as root, who reads every file: a directory, a file that is
    // not PEM and an empty file stand for certificates openssl cannot read.
    std::filesystem::create_directory(dir.file("directory.crt"));
    EXPECT_FALSE(Certificate::get(dir.file("directory.crt")));
    EXPECT_FALSE(Certificate::get(dir.write("garbage.crt", "-----BEGIN CERTIFICATE-----\nnot base64\n")));
    EXPECT_FALSE(Certificate::get(dir.write("empty.crt", "")));
}
