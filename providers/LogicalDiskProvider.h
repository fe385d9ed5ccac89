// Category "LogicalDisk": mounted and removable partitions, watched in real time.
#pragma once

#include "properties/Provider.h"

class LogicalDiskProvider : public ProviderOf<LogicalDiskProvider> {
public:
    using ProviderOf::ProviderOf;

    std::future<PropertyMap> getProperties() override;
};
