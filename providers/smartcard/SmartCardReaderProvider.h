// SPDX-License-Identifier: Apache-2.0
// Category "SmartCardReader": the smart-card readers that pcsc-lite knows.
// pcsc-lite is loaded by file name on the first use in the process and kept
// for the rest of it; every read asks pcscd afresh.
#pragma once

#include "properties/Provider.h"

class SmartCardReaderProvider : public ProviderOf<SmartCardReaderProvider> {
public:
    // Per reader: "%d" is the reader's index, from 0.
    static constexpr PropertyKey kKeys[] = {
        {"DEVICE_SMARTCARDREADER_COUNT", 0x01, "number of smart-card readers", "", "0"},
        {"DEVICE_SMARTCARDREADER_%d_NAME", 0x02, "name pcsc-lite gives the reader", "", nullptr},
    };
    static constexpr const PropertyKey& kCount = kKeys[0];
    static constexpr const PropertyKey& kName = kKeys[1];

    using ProviderOf::ProviderOf;

    std::future<PropertyMap> getProperties() override;
    // pcscd announces readers coming and going and their states changing; its
    // stopping and starting again (often with other readers) are changes too.
    void monitorForChanges(const ChangeCallback& callback) override;
};
