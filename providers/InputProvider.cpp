#include "providers/InputProvider.h"

std::future<PropertyMap> InputProvider::getProperties()
{
    return ready({});
}
