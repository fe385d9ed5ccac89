#include "properties/ClientProperties.h"

#include "properties/Factory.h"
#include "providers/device/CorvaneProvider.h"
#include "providers/display/DisplayProvider.h"
#include "providers/device/HardwareProvider.h"
#include "providers/igel/IgelProvider.h"
#include "providers/display/InputProvider.h"
#include "providers/network/LocationProvider.h"
#include "providers/disk/LogicalDiskProvider.h"
#include "providers/device/NameProvider.h"
#include "providers/network/NetworkProvider.h"
#include "providers/device/OSProvider.h"
#include "providers/power/PowerProvider.h"
#include "providers/region/RegionProvider.h"
#include "providers/user/RemoteControlProvider.h"
#include "providers/igel/ScreenSaverProvider.h"
#include "providers/smartcard/SmartCardReaderProvider.h"
#include "providers/user/UserProvider.h"
#include "providers/network/WhoisProvider.h"

void ClientProperties::registerProviders()
{
    // In the order of the category table. "Igel" and "Custom" share one
    // provider class, which picks its worker by the category name.
    Factory::registerProvider("Display", &DisplayProvider::create);
    Factory::registerProvider("Hardware", &HardwareProvider::create);
    Factory::registerProvider("Input", &InputProvider::create);
    Factory::registerProvider("LogicalDisk", &LogicalDiskProvider::create);
    Factory::registerProvider("Name", &NameProvider::create);
    Factory::registerProvider("Network", &NetworkProvider::create);
    Factory::registerProvider("OS", &OSProvider::create);
    Factory::registerProvider("Region", &RegionProvider::create);
    Factory::registerProvider("User", &UserProvider::create);
    Factory::registerProvider("Corvane", &CorvaneProvider::create);
    Factory::registerProvider("Location", &LocationProvider::create);
    Factory::registerProvider("Power", &PowerProvider::create);
    Factory::registerProvider("SmartCardReader", &SmartCardReaderProvider::create);
    Factory::registerProvider("Whois", &WhoisProvider::create);
    Factory::registerProvider("Igel", &IgelProvider::create);
    Factory::registerProvider("Custom", &IgelProvider::create);
    Factory::registerProvider("ScreenSaver", &ScreenSaverProvider::create);
    Factory::registerProvider("RemoteControl", &RemoteControlProvider::create);
}
