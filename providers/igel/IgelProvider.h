// SPDX-License-Identifier: Apache-2.0
// Categories "Igel" and "Custom": IGEL OS management facts, watched in real time.
//
// "Igel" reports the UMS structure tag, the management servers and cloud
// gateways the device uses with their certificates and, for hosts from 20.1
// on, the environment variables set in the IGEL setup. "Custom" reports the
// same variables under the older key names, for hosts before 20.1 only. For
// "Igel" and hosts from 20.1 on, a thread watches /usr/bin/x11vnc and
// /usr/bin/wmconfig with inotify and reports their use as a change at once.
#pragma once

#include "base/Descriptor.h"
#include "base/WatchThread.h"
#include "properties/Provider.h"

#include <functional>
#include <future>
#include <optional>
#include <span>
#include <string>
#include <vector>

class IgelProvider : public ProviderOf<IgelProvider> {
public:
    // The keys of "Igel". Per variable: "%d" is the variable's index, from 0.
    static constexpr PropertyKey kKeys[] = {
        {"DEVICE_IGEL_STRUCTURETAG", 0x1, "UMS structure tag"},
        {"DEVICE_IGEL_UMS_SERVER", 0x2, "management servers, host[:port] separated by \";\""},
        {"DEVICE_IGEL_UMS_CERTIFICATE_SERIALNUMBER", 0x4, "serial number of the management server's certificate"},
        {"DEVICE_IGEL_UMS_CERTIFICATE_SUBJECT", 0x8, "subject of the management server's certificate"},
        {"DEVICE_IGEL_UMS_CERTIFICATE_THUMBPRINT_SHA256", 0x10, "SHA-256 fingerprint of that certificate"},
        {"DEVICE_IGEL_ICG_SERVER", 0x20, "cloud gateways, host[:port] separated by \";\""},
        {"DEVICE_IGEL_ICG_CERTIFICATE_SERIALNUMBER", 0x40, "serial number of the cloud gateway's certificate"},
        {"DEVICE_IGEL_ICG_CERTIFICATE_SUBJECT", 0x80, "subject of the cloud gateway's certificate"},
        {"DEVICE_IGEL_ICG_CERTIFICATE_THUMBPRINT_SHA256", 0x100, "SHA-256 fingerprint of that certificate"},
        {"DEVICE_IGEL_ENVIRONMENT_COUNT", 0x200, "number of environment variables of the setup",
          "", "Unavailable", kFrom20_1},
        {"DEVICE_IGEL_ENVIRONMENT_%d_NAME", 0x400, "name of the environment variable", "", "Unavailable", kFrom20_1},
        {"DEVICE_IGEL_ENVIRONMENT_%d_VALUE", 0x800, "value of the environment variable", "", "Unavailable", kFrom20_1},
        {"DEVICE_IGEL_ENVIRONMENT_%d_TYPE", 0x1000, "kind of environment variable: Fixed or Dynamic",
          "", "Unavailable", kFrom20_1},
    };
    static constexpr const PropertyKey& kStructureTag = kKeys[0];
    static constexpr const PropertyKey& kUmsServer = kKeys[1];
    static constexpr const PropertyKey& kIcgServer = kKeys[5];
    static constexpr const PropertyKey& kEnvironmentCount = kKeys[9];
    static constexpr const PropertyKey& kEnvironmentName = kKeys[10];
    static constexpr const PropertyKey& kEnvironmentValue = kKeys[11];
    static constexpr const PropertyKey& kEnvironmentType = kKeys[12];
    // Serial number, subject and thumbprint of each server's certificate.
    static constexpr PropertyKeys kUmsCertificateKeys{&kKeys[2], &kKeys[5]};
    static constexpr PropertyKeys kIcgCertificateKeys{&kKeys[6], &kKeys[9]};

    // The keys of "Custom", for hosts before 20.1: the same variables.
    static constexpr PropertyKey kCustomKeys[] = {
        {"DEVICE_CUSTOM_COUNT", 0x1, "number of environment variables of the setup", "", "Unavailable", kBefore20_1},
        {"DEVICE_CUSTOM_%d_PATH", 0x2, "registry path of the environment variable", "", "Unavailable", kBefore20_1},
        {"DEVICE_CUSTOM_%d_NAME", 0x4, "name of the environment variable", "", "Unavailable", kBefore20_1},
        {"DEVICE_CUSTOM_%d_VALUE", 0x8, "value of the environment variable", "", "Unavailable", kBefore20_1},
    };
    static constexpr const PropertyKey& kCustomCount = kCustomKeys[0];
    static constexpr const PropertyKey& kCustomPath = kCustomKeys[1];
    static constexpr const PropertyKey& kCustomName = kCustomKeys[2];
    static constexpr const PropertyKey& kCustomValue = kCustomKeys[3];

    static constexpr const char* kX11vncPath = "/usr/bin/x11vnc";
    static constexpr const char* kWmconfigPath = "/usr/bin/wmconfig";

    // Answers one key of IGEL's registry (the `get` tool) with its trimmed
    // output; nothing when the tool cannot be started.
    using Lookup = std::function<std::optional<std::string>(const std::string& key)>;

    // One variable of the IGEL setup's environment variables.
    struct Variable {
        std::string path;  // registry path, without ".name" / ".value"
        std::string name;
        std::string value;
        std::string type;  // "Fixed" or "Dynamic"
    };

    using ProviderOf::ProviderOf;
    ~IgelProvider() override;

    std::future<PropertyMap> getProperties() override;
    void monitorForChanges(const ChangeCallback& callback) override;
    void close() override;
    void requestClose() override { _monitor.requestStop(); }

    std::future<PropertyMap> getIgelProperties() const;
    std::future<PropertyMap> getLegacyCustomProperties() const;

    // Removes the watches and closes the inotify descriptor.
    void cleanupInotify();

    // The registry through IGEL's `get` tool.
    static std::optional<std::string> registryValue(const std::string& key);

    // The management servers and the cloud gateways as "host[:port];...",
    // up to 16, ending at the first index without a host.
    static std::string umsServers(const Lookup& get);
    static std::string icgServers(const Lookup& get);

    // The gateways of the legacy /wfs/.icg.cfg contents, in the same format.
    static std::string parseIcgConfig(const std::string& content);

    // The fixed variables, then the dynamic ones; each list ends at the first
    // variable without a name or value.
    // `sideBySide`: the two kinds are read on threads of their own.
    static std::vector<Variable> readVariables(const Lookup& get, bool sideBySide = false);

    // Appends "host" or "host:port" to a ";"-separated list.
    static void appendServer(std::string& list, const std::string& host, const std::string& port);

private:
    // The monitor thread's work: adds the watches, then reads their events
    // until both watches are gone, a read fails, or close() wakes it.
    bool watch(std::vector<pollfd>& descriptors);
    bool react(std::span<pollfd> descriptors);
    // Looks at every event of one read; true when one of them is a use of a
    // watched file.
    bool handleEvents(const char* buffer, std::size_t length);

    ChangeCallback _callback;
    // Used by the monitor thread while it runs, by close() once it has ended.
    Base::Descriptor _inotify;
    int _x11vncWatch = -1;
    int _wmconfigWatch = -1;
    Base::WatchThread _monitor{{"monitor thread", "inotify monitor thread"}};
};
