#include "providers/UserProvider.h"

std::future<PropertyMap> UserProvider::getProperties()
{
    return ready({});
}
