#include "properties/ClientProperties.h"

#include "properties/Factory.h"
#include "providers/CorvaneProvider.h"
#include "providers/DisplayProvider.h"
#include "providers/HardwareProvider.h"
#include "providers/IgelProvider.h"
#include "providers/InputProvider.h"
#include "providers/LocationProvider.h"
#include "providers/LogicalDiskProvider.h"
#include "providers/NameProvider.h"
#include "providers/NetworkProvider.h"
#include "providers/OSProvider.h"
#include "providers/PowerProvider.h"
#include "providers/RegionProvider.h"
#include "providers/RemoteControlProvider.h"
#include "providers/ScreenSaverProvider.h"
#include "providers/SmartCardReaderProvider.h"
#include "providers/UserProvider.h"
#include "providers/WhoisProvider.h"

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
