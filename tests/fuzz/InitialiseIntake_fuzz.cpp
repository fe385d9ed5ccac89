// SPDX-License-Identifier: Apache-2.0
// The host's first messages on a live connection go to ClientDataRead, then the channel closes. All the
// library wrote must be property messages, none after ClientDisconnected returned (the channel is freed then).
#include "FuzzSupport.h"

#include "support/LoadedLibrary.h"

#include <rapidjson/document.h>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size)
{
    auto channel = std::make_unique<TestSupport::CapturingChannel>();
    channel->connect();
    for (const std::string& message : FuzzSupport::messages(data, size)) channel->send(message);
    channel->disconnect();
    FuzzSupport::drainMainContext();
    if (channel->writesAfterClose != 0) FuzzSupport::fail("a message was written after ClientDisconnected returned");
    for (std::size_t i = 0; i < channel->count(); ++i) {
        rapidjson::Document document;
        document.Parse(channel->message(i).c_str());
        const std::string expected = i == 0 ? "initializeDeviceProperties" : "updateDeviceProperties";
        if (!document.IsObject() || !document.HasMember("id") || document["id"] != expected.c_str()) {
            FuzzSupport::fail("message " + std::to_string(i) + " is not an " + expected + " message");
        }
    }
    return 0;
}
