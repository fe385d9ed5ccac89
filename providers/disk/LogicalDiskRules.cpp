// SPDX-License-Identifier: Apache-2.0
#include "providers/disk/LogicalDiskRules.h"

#include "base/Utilities.h"

#include <cstdio>

namespace {

bool isOctal(char c)
{
    return c >= '0' && c <= '7';
}

bool isFieldSeparator(char c)
{
    return c == ' ' || c == '\t';
}

std::string firstNonEmpty(const std::string& first, const std::string& second)
{
    return first.empty() ? second : first;
}

}  // namespace

LogicalDiskRules::Kind LogicalDiskRules::kindFromMajor(const std::string& major)
{
    if (major == "8") {
        return Kind::Scsi;
    }
    if (major == "259") {
        return Kind::Extended;
    }
    return Kind::Unsupported;
}

std::string LogicalDiskRules::decodeMountField(const std::string& field)
{
    std::string decoded;
    decoded.reserve(field.size());
    for (std::size_t i = 0; i < field.size(); ++i) {
        // The kernel writes the byte as three octal digits; a value above
        // \377 is no escape it writes, so it stays as it stands.
        if (field[i] == '\\' && i + 3 < field.size() && field[i + 1] >= '0' && field[i + 1] <= '3' &&
            isOctal(field[i + 2]) && isOctal(field[i + 3])) {
            decoded += static_cast<char>((field[i + 1] - '0') * 64 + (field[i + 2] - '0') * 8 + (field[i + 3] - '0'));
            i += 3;
        } else {
            decoded += field[i];
        }
    }
    return decoded;
}

MountTable LogicalDiskRules::parseMountTable(const std::string& text)
{
    MountTable table;
    std::size_t lineStart = 0;
    while (lineStart < text.size()) {
        std::size_t lineEnd = text.find('\n', lineStart);
        if (lineEnd == std::string::npos) {
            lineEnd = text.size();
        }
        std::vector<std::string> fields;
        std::size_t at = lineStart;
        while (at < lineEnd && fields.size() < 2) {
            while (at < lineEnd && isFieldSeparator(text[at])) {
                ++at;
            }
            const std::size_t start = at;
            while (at < lineEnd && !isFieldSeparator(text[at])) {
                ++at;
            }
            if (at > start) {
                fields.push_back(decodeMountField(text.substr(start, at - start)));
            }
        }
        if (fields.size() == 2) {
            table.push_back(MountEntry{std::move(fields[0]), std::move(fields[1])});
        }
        lineStart = lineEnd + 1;
    }
    return table;
}

std::vector<std::string> LogicalDiskRules::mountDirectories(const MountTable& table, const std::string& device)
{
    std::vector<std::string> directories;
    for (const MountEntry& entry : table) {
        if (entry.device == device) {
            directories.push_back(entry.directory);
        }
    }
    return directories;
}

std::string LogicalDiskRules::joinDirectories(const std::vector<std::string>& directories)
{
    std::string joined;
    for (std::size_t i = 0; i < directories.size(); ++i) {
        if (i > 0) {
            joined += ';';
        }
        joined += directories[i];
    }
    return joined;
}

std::string LogicalDiskRules::plainValue(const char* raw)
{
    std::string value(raw != nullptr ? raw : "");
    return Utilities::trim(value);
}

std::string LogicalDiskRules::encodedValue(const char* raw)
{
    std::string value = Utilities::decodeHexDelimited(raw != nullptr ? raw : "");
    return Utilities::trim(value);
}

Disk LogicalDiskRules::diskFromFacts(const PartitionFacts& facts, Kind kind)
{
    Disk disk;
    disk.type = "Fixed";
    disk.devName = facts.devName;
    disk.label = firstNonEmpty(facts.labelEncoded, facts.label);
    disk.fileSystem = facts.fsType == "vfat" ? facts.fsVersion : facts.fsType;
    disk.serialNumber = firstNonEmpty(facts.serialShort, facts.serial);
    const std::string vendor = firstNonEmpty(facts.vendorEncoded, facts.vendor);
    const std::string model = firstNonEmpty(facts.modelEncoded, facts.model);
    if (!vendor.empty() && !model.empty()) {
        disk.name = vendor + " " + model;
    } else {
        disk.name = vendor.empty() ? model : vendor;
    }
    if (facts.hasPci) {
        disk.vendorId = facts.pciVendor;
        disk.productId = facts.pciDevice;
    }
    disk.busType = Utilities::toupper(facts.bus);

    if (kind == Kind::Scsi && facts.hasUsb) {
        disk.type = "Removable";
        disk.vendorId = facts.usbVendor.empty() ? "" : "0x" + facts.usbVendor;
        disk.productId = facts.usbProduct.empty() ? "" : "0x" + facts.usbProduct;
    }
    if (kind == Kind::Extended && facts.hasNvme) {
        disk.busType = "NVMe";
        disk.name = facts.nvmeModel;
    }
    return disk;
}

uint64_t LogicalDiskRules::megabytes(uint64_t blocks, uint64_t fragmentSize, uint64_t blockSize)
{
    const uint64_t size = fragmentSize != 0 ? fragmentSize : blockSize;
    const double mebibytes = static_cast<double>(blocks) * static_cast<double>(size) * (1.0 / 1048576.0);
    // Beyond the range of the result (no file system is that large) the
    // conversion would be undefined: the largest value stands for it.
    if (!(mebibytes < 18446744073709551616.0)) {
        return UINT64_MAX;
    }
    return static_cast<uint64_t>(mebibytes);
}

std::optional<std::string> LogicalDiskRules::formatMegabytes(uint64_t megabytes)
{
    if (megabytes == 0) {
        return std::nullopt;
    }
    char printed[32];
    std::snprintf(printed, sizeof(printed), "%lu", static_cast<unsigned long>(megabytes));
    return std::string(printed);
}

bool LogicalDiskRules::dumpingEnabled(const std::string& setting)
{
    return setting == "true";
}

std::string LogicalDiskRules::printable(const char* raw)
{
    std::string shown;
    for (const char* at = raw; at != nullptr && *at != '\0'; ++at) {
        const auto byte = static_cast<unsigned char>(*at);
        if (byte < 0x20 || byte == 0x7f) {
            char escaped[8];
            std::snprintf(escaped, sizeof(escaped), "\\x%02x", byte);
            shown += escaped;
        } else {
            shown += *at;
        }
    }
    return shown;
}

bool LogicalDiskRules::enumeratedBefore(const std::string& syspath, const std::string& other)
{
    const auto late = [](const std::string& path) {
        return path.find("/block/md") != std::string::npos || path.find("/block/dm-") != std::string::npos;
    };
    const bool lateOne = late(syspath);
    const bool lateOther = late(other);
    return lateOne != lateOther ? lateOther : syspath < other;
}
