// The host's first messages on a live connection: each message of the input
// (FuzzSupport::messages) goes to ClientDataRead, then the channel closes.
// Whatever the library wrote to the host must be property messages, and
// nothing may be written once ClientDisconnected has returned (the channel
// is freed then, so a late write is a use after free).
#include "FuzzSupport.h"

#include "support/LoadedLibrary.h"

#include <rapidjson/document.h>

#include <cstring>
#include <memory>

namespace {

void checkAnswers(const TestSupport::CapturingChannel& channel)
{
    if (channel.writesAfterClose != 0) {
        FuzzSupport::fail("a message was written after ClientDisconnected returned");
    }
    for (std::size_t i = 0; i < channel.count(); ++i) {
        const std::string message = channel.message(i);
        rapidjson::Document document;
        document.Parse(message.data(), message.size());
        const char* expected = i == 0 ? "initializeDeviceProperties" : "updateDeviceProperties";
        if (document.HasParseError() || !document.IsObject() || !document.HasMember("id") ||
            !document["id"].IsString() || std::strcmp(document["id"].GetString(), expected) != 0) {
            FuzzSupport::fail("message " + std::to_string(i) + " is not an " + expected + " message: " + message);
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    FuzzSupport::initialise();
    FuzzSupport::onlyCheapProviders();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size)
{
    auto channel = std::make_unique<TestSupport::CapturingChannel>();
    channel->connect();
    for (const std::string& message : FuzzSupport::messages(data, size)) {
        channel->send(message);
    }
    channel->disconnect();
    FuzzSupport::drainMainContext();
    checkAnswers(*channel);
    return 0;
}
