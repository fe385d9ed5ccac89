#include "properties/ClientProperties.h"

#include "properties/Factory.h"
#include "providers/CorvaneProvider.h"
#include "providers/HardwareProvider.h"
#include "providers/NameProvider.h"
#include "providers/NetworkProvider.h"
#include "providers/OSProvider.h"
#include "providers/PowerProvider.h"
#include "providers/RemoteControlProvider.h"
#include "providers/ScreenSaverProvider.h"
#include "providers/SmartCardReaderProvider.h"

void ClientProperties::registerProviders()
{
    // In the order of the category table; categories whose providers the
    // library does not have yet are simply not registered.
    Factory::registerProvider("Hardware", &HardwareProvider::create);
    Factory::registerProvider("Name", &NameProvider::create);
    Factory::registerProvider("Network", &NetworkProvider::create);
    Factory::registerProvider("OS", &OSProvider::create);
    Factory::registerProvider("Corvane", &CorvaneProvider::create);
    Factory::registerProvider("Power", &PowerProvider::create);
    Factory::registerProvider("SmartCardReader", &SmartCardReaderProvider::create);
    Factory::registerProvider("ScreenSaver", &ScreenSaverProvider::create);
    Factory::registerProvider("RemoteControl", &RemoteControlProvider::create);
}
