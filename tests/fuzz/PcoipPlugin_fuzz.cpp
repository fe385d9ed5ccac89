// SPDX-License-Identifier: Apache-2.0
// The PCoIP plugin's read path: client_init with the client's table, the pieces announced one by one and read
// by the plugin's read thread, then the channel's close and client_exit. Every send is one whole packet.
#include "FuzzSupport.h"

#include "support/LoadedLibrary.h"
#include "support/PcoipClient.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size)
{
    TestSupport::PcoipClient client;
    const PcoipClientInterface table = client.table(3);
    void* context = nullptr;
    if (TestSupport::entryPoint<PcoipPluginClientInit>("pcoip_vchan_plugin_client_init")(&table, "", &context) != 1 ||
        !client.open()) {
        FuzzSupport::fail("client_init refused the client, or the read thread never looked for data");
    }
    for (const std::string& piece : FuzzSupport::pieces(data, size)) {
        if (!client.deliver(piece)) FuzzSupport::fail("the read thread did not read a piece");
    }
    client.channelEvent(PCOIP_CHANNEL_EVENT_CLOSE_PENDING);
    TestSupport::entryPoint<PcoipPluginClientExit>("pcoip_vchan_plugin_client_exit")(context);
    FuzzSupport::drainMainContext();
    for (const std::string& sent : client.with([&] { return client.sends; })) {
        if (FuzzSupport::checkPackets(sent) != 1) FuzzSupport::fail("a send that is not one whole packet");
    }
    return 0;
}
