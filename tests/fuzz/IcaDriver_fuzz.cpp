// The ICA driver's read path: Load and open through the driver's procedure
// table with a winstation driver behind it, the input's pieces
// (FuzzSupport::pieces, at most 65535 bytes each) arrive through the write
// hook with a poll after each, then the driver is closed. What the driver
// sent is whole packets, and it never broke the engine's interface.
#include "FuzzSupport.h"

#include "support/IcaEngine.h"

#include <cstring>

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    FuzzSupport::initialise();
    FuzzSupport::onlyCheapProviders();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size)
{
    TestSupport::IcaEngine engine;
    if (engine.open() != IcaAbi::kSuccess) {
        FuzzSupport::fail("the driver did not open");
    }
    for (const std::string& piece : FuzzSupport::pieces(data, size, UINT16_MAX)) {
        if (engine.arrive(piece) != IcaAbi::kSuccess) {
            FuzzSupport::fail("the driver refused data");
        }
        engine.poll();
    }
    FuzzSupport::drainMainContext();
    for (int i = 0; i < 1000 && engine.poll() != IcaAbi::kNoData; ++i) {
    }
    if (engine.close() != IcaAbi::kSuccess) {
        FuzzSupport::fail("closing failed");
    }
    if (!engine.protocolErrors.empty()) {
        FuzzSupport::fail(engine.protocolErrors.front());
    }
    const std::string stream = engine.stream();
    for (std::size_t at = 0; at < stream.size();) {
        uint32_t header[3];
        if (stream.size() - at < sizeof(header)) {
            FuzzSupport::fail("a partial header was sent");
        }
        std::memcpy(header, stream.data() + at, sizeof(header));
        if (header[0] != 1 || header[2] != 1 || header[1] < 12 || header[1] > stream.size() - at) {
            FuzzSupport::fail("a packet that is not whole was sent");
        }
        at += header[1];
    }
    return 0;
}
