#include "providers/IgelProvider.h"

std::future<PropertyMap> IgelProvider::getProperties()
{
    return ready({});
}
