#include "providers/RegionProvider.h"

std::future<PropertyMap> RegionProvider::getProperties()
{
    return ready({});
}
