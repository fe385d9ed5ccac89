#include "providers/DisplayProvider.h"

std::future<PropertyMap> DisplayProvider::getProperties()
{
    return ready({});
}
