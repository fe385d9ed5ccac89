// The RDP plugin's read path: the plugin is registered and initialised and a
// channel opened through FreeRDP's interface, the input's pieces
// (FuzzSupport::pieces) arrive as data events, then the channel closes and
// the plugin is terminated. Every write to the host is a header and then
// the payload it announces.
#include "FuzzSupport.h"

#include "support/RdpClient.h"

#include <cstring>

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    FuzzSupport::initialise();
    FuzzSupport::onlyCheapProviders();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size)
{
    TestSupport::RdpClient client;
    if (!client.open()) {
        FuzzSupport::fail("the plugin refused the channel");
    }
    for (const std::string& piece : FuzzSupport::pieces(data, size)) {
        if (client.receive(piece) != 0) {
            FuzzSupport::fail("a data event failed");
        }
    }
    if (!client.close()) {
        FuzzSupport::fail("closing failed");
    }
    FuzzSupport::drainMainContext();
    const std::vector<std::string> writes = client.written();
    for (std::size_t i = 0; i < writes.size(); i += 2) {
        uint32_t header[3];
        if (writes[i].size() != sizeof(header) || i + 1 == writes.size()) {
            FuzzSupport::fail("a write that is not a header and its payload");
        }
        std::memcpy(header, writes[i].data(), sizeof(header));
        if (header[0] != 1 || header[2] != 1 || header[1] != writes[i + 1].size() + 12) {
            FuzzSupport::fail("a header that does not announce its payload");
        }
    }
    return 0;
}
