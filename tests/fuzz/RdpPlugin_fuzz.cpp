// SPDX-License-Identifier: Apache-2.0
// The RDP plugin's read path through FreeRDP's interface: the pieces arrive as data events on an open channel,
// then it closes. Every write to the host is a header and then the payload it announces.
#include "FuzzSupport.h"

#include "support/RdpClient.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size)
{
    TestSupport::RdpClient client;
    if (!client.open()) FuzzSupport::fail("the plugin refused the channel");
    for (const std::string& piece : FuzzSupport::pieces(data, size)) {
        if (client.receive(piece) != 0) FuzzSupport::fail("a data event failed");
    }
    if (!client.close()) FuzzSupport::fail("closing failed");
    FuzzSupport::drainMainContext();
    const std::vector<std::string> writes = client.written();
    for (std::size_t i = 0; i < writes.size(); i += 2) {
        if (writes[i].size() != 12 || i + 1 == writes.size() || FuzzSupport::checkPackets(writes[i] + writes[i + 1]) != 1) {
            FuzzSupport::fail("a write that is not a header and its payload");
        }
    }
    return 0;
}
