#include "providers/WhoisProvider.h"

std::future<PropertyMap> WhoisProvider::getProperties()
{
    return ready({});
}
