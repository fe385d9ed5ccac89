// SPDX-License-Identifier: Apache-2.0
// The ICA driver's read path through its procedure table, a winstation driver behind it: the pieces (at most
// 65535 bytes) arrive through the write hook with a poll after each, then the driver closes. It sent whole
// packets and never broke the engine's interface.
#include "FuzzSupport.h"

#include "support/IcaEngine.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size)
{
    TestSupport::IcaEngine engine;
    if (engine.open() != IcaAbi::kSuccess) FuzzSupport::fail("the driver did not open");
    for (const std::string& piece : FuzzSupport::pieces(data, size, UINT16_MAX)) {
        if (engine.arrive(piece) != IcaAbi::kSuccess) FuzzSupport::fail("the driver refused data");
        engine.poll();
    }
    FuzzSupport::drainMainContext();
    for (int i = 0; i < 1000 && engine.poll() != IcaAbi::kNoData; ++i) {
    }
    if (engine.close() != IcaAbi::kSuccess || !engine.protocolErrors.empty()) {
        FuzzSupport::fail(engine.protocolErrors.empty() ? "closing failed" : engine.protocolErrors.front());
    }
    FuzzSupport::checkPackets(engine.stream());
    return 0;
}
