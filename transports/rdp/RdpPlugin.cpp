// The RDP transport: a FreeRDP dynamic virtual channel plugin. It listens for
// the dynamic channel "Corvane"; every channel the host opens becomes one
// session-core connection. Inbound pieces are reassembled into packets;
// outbound messages go out as the header and then the payload.
#include "transports/rdp/RdpChannel.h"

#include "base/Logging.h"
#include "transports/PacketFraming.h"

#include <winpr/stream.h>

#include <cstddef>
#include <iostream>
#include <new>

namespace {

struct ListenerCallback;

struct Plugin {
    IWTSPlugin iface{};
    ListenerCallback* listener = nullptr;
};

struct ListenerCallback {
    IWTSListenerCallback iface{};
    Plugin* plugin = nullptr;
    IWTSVirtualChannelManager* manager = nullptr;
};

// The channel sits right before the session core's record, so the writer
// finds it from the record's address.
struct ChannelLink {
    IWTSVirtualChannel* channel;
    TConnection connection;
};

struct ChannelCallback {
    IWTSVirtualChannelCallback iface{};
    Plugin* plugin = nullptr;
    IWTSVirtualChannelManager* manager = nullptr;
    ChannelLink link{};
    Framing::Reassembler incoming{13};
};

IWTSVirtualChannel* channelOf(TConnection* connection)
{
    auto* link = reinterpret_cast<ChannelLink*>(reinterpret_cast<char*>(connection) - offsetof(ChannelLink, connection));
    return link->channel;
}

// Logs what reassembly found and hands content to the session core.
class Forwarder : public Framing::Sink {
public:
    Forwarder(TConnection* connection, std::size_t received) : _connection(connection), _received(received) {}

    void incomplete(std::size_t buffered, const Framing::Header& header) override
    {
        TRACE_FUNCTION("OnDataReceived");
        announce(header);
        TRACE_VERBOSE << "Incoming buffer has [" << buffered << "] bytes but [" << header.length << "] expected"
                      << std::endl;
    }

    void accepted(const Framing::Header& header, const char* payload, uint32_t length) override
    {
        TRACE_FUNCTION("OnDataReceived");
        announce(header);
        TRACE_VERBOSE << "Forwarding content of length [" << header.length << "] to client" << std::endl;
        ClientDataRead(_connection, payload, length);
    }

    void rejected(const Framing::Header& header) override
    {
        TRACE_FUNCTION("OnDataReceived");
        announce(header);
        TRACE_ERROR << "Unable to handle content length [" << header.length << "] type [" << header.type
                    << "] encoding [" << header.encoding << "]. Aborting packet." << std::endl;
    }

    void unframeable(const Framing::Header& header, std::size_t discarded) override
    {
        TRACE_FUNCTION("OnDataReceived");
        announce(header);
        TRACE_ERROR << "Discarding [" << discarded << "] buffered bytes since no packet can have length ["
                    << header.length << "]" << std::endl;
    }

private:
    void announce(const Framing::Header& header) const
    {
        TRACE_FUNCTION("OnDataReceived");
        TRACE_INFO << "Received [" << _received << "] bytes with type [" << header.type << "] length ["
                   << header.length << "] encoding [" << header.encoding << "]" << std::endl;
    }

    TConnection* _connection;
    std::size_t _received;
};

void WriteDataCallback(TConnection* connection, const char* data, unsigned int length)
{
    TRACE_ENTER;
    try {
        TRACE_INFO << "Sending [" << length << "] bytes to host" << std::endl;
        IWTSVirtualChannel* channel = channelOf(connection);
        const auto header = Framing::encodeHeader(length);
        UINT result = channel->Write(channel, static_cast<ULONG>(header.size()), header.data(), nullptr);
        if (result != 0) {
            TRACE_ERROR << "Failed to write header to channel with error [" << result << "]" << std::endl;
        } else {
            result = channel->Write(channel, length, reinterpret_cast<const BYTE*>(data), nullptr);
            if (result != 0) {
                TRACE_ERROR << "Failed to write [" << length << "] bytes to channel error [" << result << "]"
                            << std::endl;
            }
        }
    } catch (...) {
        TRACE_ERROR << "Unexpected exception writing [" << length << "] bytes to channel" << std::endl;
    }
    TRACE_EXIT;
}

UINT OnDataReceived(IWTSVirtualChannelCallback* callback, wStream* stream)
{
    TRACE_ENTER;
    try {
        auto* record = reinterpret_cast<ChannelCallback*>(callback);
        const std::size_t received = Stream_GetRemainingLength(stream);
        if (!record->incoming.append(Stream_Pointer(stream), received)) {
            TRACE_ERROR << "Failed to buffer [" << received << "] received bytes" << std::endl;
        } else {
            Forwarder forwarder(&record->link.connection, received);
            record->incoming.process(forwarder);
        }
    } catch (...) {
        TRACE_ERROR << "Unexpected exception handling received data" << std::endl;
    }
    TRACE_EXIT;
    return Rdp::kSuccess;
}

UINT OnClose(IWTSVirtualChannelCallback* callback)
{
    TRACE_ENTER;
    auto* record = reinterpret_cast<ChannelCallback*>(callback);
    try {
        ClientDisconnected(&record->link.connection);
    } catch (...) {
        TRACE_ERROR << "Unexpected exception disconnecting client" << std::endl;
    }
    delete record;
    TRACE_EXIT;
    return Rdp::kSuccess;
}

UINT OnNewChannelConnection(IWTSListenerCallback* listenerCallback, IWTSVirtualChannel* channel, BYTE*, BOOL*,
                            IWTSVirtualChannelCallback** callbackOut)
{
    TRACE_ENTER;
    UINT result = Rdp::kSuccess;
    try {
        auto* listener = reinterpret_cast<ListenerCallback*>(listenerCallback);
        auto* record = new (std::nothrow) ChannelCallback();
        if (record == nullptr) {
            TRACE_ERROR << "Failed to allocate channel callback" << std::endl;
            result = Rdp::kNoMemory;
        } else {
            record->link.channel = channel;
            record->link.connection.writeData = &WriteDataCallback;
            if (!ClientConnected(&record->link.connection)) {
                TRACE_ERROR << "Failed to connect client" << std::endl;
                delete record;
                result = Rdp::kConnectionRefused;
            } else {
                record->iface.OnDataReceived = &OnDataReceived;
                record->iface.OnClose = &OnClose;
                record->plugin = listener->plugin;
                record->manager = listener->manager;
                *callbackOut = &record->iface;
            }
        }
    } catch (...) {
        TRACE_ERROR << "Unexpected exception accepting channel" << std::endl;
        result = Rdp::kNoMemory;
    }
    TRACE_EXIT;
    return result;
}

UINT OnPluginInitialise(IWTSPlugin* pluginInterface, IWTSVirtualChannelManager* manager)
{
    TRACE_ENTER;
    auto* plugin = reinterpret_cast<Plugin*>(pluginInterface);
    auto* listener = new (std::nothrow) ListenerCallback();
    if (listener == nullptr) {
        TRACE_ERROR << "Failed to allocate listener callback" << std::endl;
        TRACE_EXIT;
        return Rdp::kNoMemory;
    }
    plugin->listener = listener;
    listener->iface.OnNewChannelConnection = &OnNewChannelConnection;
    listener->plugin = plugin;
    listener->manager = manager;
    const UINT result = manager->CreateListener(manager, Rdp::kChannelName, 0, &listener->iface, nullptr);
    TRACE_EXIT;
    return result;
}

UINT OnPluginTerminated(IWTSPlugin* pluginInterface)
{
    TRACE_ENTER;
    auto* plugin = reinterpret_cast<Plugin*>(pluginInterface);
    delete plugin->listener;
    delete plugin;
    TRACE_EXIT;
    return Rdp::kSuccess;
}

}  // namespace

extern "C" UINT DVCPluginEntry(IDRDYNVC_ENTRY_POINTS* entryPoints)
{
    TRACE_INIT(0);
    TRACE_ENTER;
    UINT result = Rdp::kSuccess;
    try {
        if (entryPoints->GetPlugin(entryPoints, Rdp::kPluginName) != nullptr) {
            TRACE_VERBOSE << "Plugin [" << Rdp::kPluginName << "] is registered already" << std::endl;
        } else {
            auto* plugin = new (std::nothrow) Plugin();
            if (plugin == nullptr) {
                TRACE_ERROR << "Failed to allocate plugin" << std::endl;
                result = Rdp::kNoMemory;
            } else {
                plugin->iface.Initialize = &OnPluginInitialise;
                plugin->iface.Terminated = &OnPluginTerminated;
                result = entryPoints->RegisterPlugin(entryPoints, Rdp::kPluginName, &plugin->iface);
                if (result != Rdp::kSuccess) {
                    // The client did not take it: it is still ours to free.
                    delete plugin;
                }
            }
        }
    } catch (...) {
        TRACE_ERROR << "Unexpected exception registering plugin" << std::endl;
        result = Rdp::kNoMemory;
    }
    TRACE_EXIT;
    return result;
}
