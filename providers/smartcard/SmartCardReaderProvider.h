// Category "SmartCardReader": the smart-card readers that pcsc-lite knows.
// pcsc-lite is loaded by file name on the first read in the process and kept
// for the rest of it; every read asks pcscd afresh.
#pragma once

#include "properties/Provider.h"

class SmartCardReaderProvider : public ProviderOf<SmartCardReaderProvider> {
public:
    static constexpr PropertyKey kCount{"DEVICE_SMARTCARDREADER_COUNT", 0x01};
    // The key's text is a format: "%d" stands for the reader's index, from 0.
    static constexpr PropertyKey kName{"DEVICE_SMARTCARDREADER_%d_NAME", 0x02};

    using ProviderOf::ProviderOf;

    std::future<PropertyMap> getProperties() override;
};
