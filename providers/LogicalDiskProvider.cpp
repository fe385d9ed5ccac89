#include "providers/LogicalDiskProvider.h"

std::future<PropertyMap> LogicalDiskProvider::getProperties()
{
    return ready({});
}
