// SPDX-License-Identifier: Apache-2.0
#include "providers/Categories.h"

#include "providers/device/CorvaneProvider.h"
#include "providers/device/HardwareProvider.h"
#include "providers/device/NameProvider.h"
#include "providers/device/OSProvider.h"
#include "providers/disk/LogicalDiskProvider.h"
#include "providers/display/DisplayProvider.h"
#include "providers/display/InputProvider.h"
#include "providers/igel/IgelProvider.h"
#include "providers/igel/ScreenSaverProvider.h"
#include "providers/network/LocationProvider.h"
#include "providers/network/NetworkProvider.h"
#include "providers/network/WhoisProvider.h"
#include "providers/power/PowerProvider.h"
#include "providers/region/RegionProvider.h"
#include "providers/smartcard/SmartCardReaderProvider.h"
#include "providers/user/RemoteControlProvider.h"
#include "providers/user/UserProvider.h"

namespace {

// "Igel" and "Custom" share one provider class, which picks its worker by the
// category name. The first Initialise loads GLib for every category; a
// category that needs more names its libraries here (libsystemd's sd-bus for
// the ones that ask D-Bus services: Hardware, Name, Network and Power).
constexpr Factory::Entry kTable[] = {
    {"Display", &DisplayProvider::create, DisplayProvider::kKeys, false, DisplayProvider::kLibraries},
    {"Hardware", &HardwareProvider::create, HardwareProvider::kKeys, false, HardwareProvider::kLibraries},
    {"Input", &InputProvider::create, InputProvider::kKeys, false, InputProvider::kLibraries},
    {"LogicalDisk", &LogicalDiskProvider::create, LogicalDiskProvider::kKeys, false, LogicalDiskProvider::kLibraries},
    {"Name", &NameProvider::create, NameProvider::kKeys, false, NameProvider::kLibraries},
    {"Network", &NetworkProvider::create, NetworkProvider::kKeys, false, NetworkProvider::kLibraries},
    {"OS", &OSProvider::create, OSProvider::kKeys},
    {"Region", &RegionProvider::create, RegionProvider::kKeys, false, RegionProvider::kLibraries},
    {"User", &UserProvider::create, UserProvider::kKeys},
    {"Corvane", &CorvaneProvider::create, CorvaneProvider::kKeys},
    {"Location", &LocationProvider::create, LocationProvider::kKeys, true, LocationProvider::kLibraries},
    {"Power", &PowerProvider::create, PowerProvider::kKeys, false, PowerProvider::kLibraries},
    {"SmartCardReader", &SmartCardReaderProvider::create, SmartCardReaderProvider::kKeys},
    {"Whois", &WhoisProvider::create, WhoisProvider::kKeys, true, WhoisProvider::kLibraries},
    {"Igel", &IgelProvider::create, IgelProvider::kKeys},
    {"Custom", &IgelProvider::create, IgelProvider::kCustomKeys},
    {"ScreenSaver", &ScreenSaverProvider::create, ScreenSaverProvider::kKeys},
    {"RemoteControl", &RemoteControlProvider::create, RemoteControlProvider::kKeys},
};

}  // namespace

std::span<const Factory::Entry> Categories::table()
{
    return kTable;
}

const Factory::Entry* Categories::ofKey(std::string_view key)
{
    for (const Factory::Entry& entry : kTable) {
        for (const PropertyKey& known : entry.keys) {
            if (known.names(key)) {
                return &entry;
            }
        }
    }
    return nullptr;
}
