// The PCoIP plugin's read path: client_init with the client's table, the
// connection opens, the input's pieces (FuzzSupport::pieces) are announced
// one by one and read by the plugin's read thread, then the channel's close
// and client_exit. Every send is one whole packet.
#include "FuzzSupport.h"

#include "support/LoadedLibrary.h"
#include "support/PcoipClient.h"

#include <cstring>

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    FuzzSupport::initialise();
    FuzzSupport::onlyCheapProviders();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size)
{
    TestSupport::PcoipClient client;
    const PcoipClientInterface table = client.table(3);
    void* context = nullptr;
    if (TestSupport::entryPoint<PcoipPluginClientInit>("pcoip_vchan_plugin_client_init")(&table, "", &context) != 1) {
        FuzzSupport::fail("client_init refused the client");
    }
    if (!client.open()) {
        FuzzSupport::fail("the read thread never looked for data");
    }
    for (const std::string& piece : FuzzSupport::pieces(data, size)) {
        if (!client.deliver(piece)) {
            FuzzSupport::fail("the read thread did not read a piece");
        }
    }
    client.channelEvent(PCOIP_CHANNEL_EVENT_CLOSE_PENDING);
    TestSupport::entryPoint<PcoipPluginClientExit>("pcoip_vchan_plugin_client_exit")(context);
    FuzzSupport::drainMainContext();
    for (const std::string& sent : client.with([&] { return client.sends; })) {
        uint32_t header[3];
        if (sent.size() < sizeof(header)) {
            FuzzSupport::fail("a send shorter than a header");
        }
        std::memcpy(header, sent.data(), sizeof(header));
        if (header[0] != 1 || header[2] != 1 || header[1] != sent.size()) {
            FuzzSupport::fail("a send that is not one whole packet");
        }
    }
    return 0;
}
