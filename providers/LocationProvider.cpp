#include "providers/LocationProvider.h"

std::future<PropertyMap> LocationProvider::getProperties()
{
    return ready({});
}
