// SPDX-License-Identifier: Apache-2.0
#include "providers/smartcard/SmartCardReaderProvider.h"

#include "base/Logging.h"
#include "providers/smartcard/PcscLibrary.h"
#include "providers/smartcard/SmartCardChanges.h"

#include <iostream>
#include <string>
#include <vector>

namespace {

// Asks pcscd for its readers and adds a name key for each one; gives how many
// were added. Every failure is logged and gives 0.
int collectReaders(PropertyCollector& properties)
{
    TRACE_FUNCTION("getProperties");
    const PcscLibrary::Use pcsc;
    if (!pcsc) {
        return 0;
    }
    SCARDCONTEXT established = 0;
    const LONG result = pcsc->establishContext(SCARD_SCOPE_SYSTEM, nullptr, nullptr, &established);
    if (result != SCARD_S_SUCCESS) {
        TRACE_ERROR << "Failed to establish smartcard reader context error [" << result << "] message ["
                    << pcsc->errorText(result) << "]" << std::endl;
        return 0;
    }
    const PcscContext context(established);
    std::vector<std::string> names;
    LONG listed = SCARD_S_SUCCESS;
    if (!pcsc->listReaderNames(context.get(), names, listed)) {
        // Also pcscd's answer when it has no readers at all.
        TRACE_ERROR << "Failed to list smartcard readers error [" << listed << "] message ["
                    << pcsc->errorText(listed) << "]" << std::endl;
        return 0;
    }
    int index = 0;
    for (const std::string& name : names) {
        TRACE_INFO << "Processing smartcard reader [" << name << "]" << std::endl;
        properties.addIndexed(SmartCardReaderProvider::kName, index, name);
        ++index;
    }
    return index;
}

}  // namespace

std::future<PropertyMap> SmartCardReaderProvider::getProperties()
{
    return deferred([](PropertyCollector& properties) {
        TRACE_FUNCTION("getProperties");
        TRACE_VERBOSE << "Getting SMARTCARDREADER properties..." << std::endl;
        // pcsc-lite is neither loaded nor asked when no key is wanted.
        if (properties.anySelected(kKeys)) {
            const int count = collectReaders(properties);
            properties.add(kCount, std::to_string(count));
        }
        TRACE_VERBOSE << "Done getting SMARTCARDREADER properties." << std::endl;
    });
}

void SmartCardReaderProvider::monitorForChanges(const ChangeCallback& callback)
{
    watchChanges({.others = {std::make_shared<SmartCardChanges>()}}, callback);
}
