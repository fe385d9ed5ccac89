// SPDX-License-Identifier: Apache-2.0
// The RDP transport: a FreeRDP dynamic virtual channel plugin. It listens for
// the dynamic channel "Corvane"; every channel the host opens becomes one
// session-core connection. Inbound pieces are reassembled into packets;
// outbound messages go out as the header and then the payload.
//
// No exception leaves an entry point or a callback: the caller is the client.
#include "transports/rdp/RdpChannel.h"

#include "base/Guard.h"
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
    Base::guarded(__func__, [&] {
        TRACE_FUNCTION("WriteDataCallback");
        const Base::FunctionTrace trace(cvLogFunction);
        TRACE_INFO << "Sending [" << length << "] bytes to host" << std::endl;
        IWTSVirtualChannel* channel = channelOf(connection);
        const auto header = Framing::encodeHeader(length);
        UINT result = channel->Write(channel, static_cast<ULONG>(header.size()), header.data(), nullptr);
        if (result != 0) {
            TRACE_ERROR << "Failed to write header to channel with error [" << result << "]" << std::endl;
            return;
        }
        result = channel->Write(channel, length, reinterpret_cast<const BYTE*>(data), nullptr);
        if (result != 0) {
            TRACE_ERROR << "Failed to write [" << length << "] bytes to channel error [" << result << "]"
                        << std::endl;
        }
    });
}

UINT OnDataReceived(IWTSVirtualChannelCallback* callback, wStream* stream)
{
    return Base::guarded(__func__, Rdp::kSuccess, [&] {
        TRACE_FUNCTION("OnDataReceived");
        const Base::FunctionTrace trace(cvLogFunction);
        auto* record = reinterpret_cast<ChannelCallback*>(callback);
        const std::size_t received = Stream_GetRemainingLength(stream);
        if (!record->incoming.append(Stream_Pointer(stream), received)) {
            TRACE_ERROR << "Failed to buffer [" << received << "] received bytes" << std::endl;
        } else {
            Forwarder forwarder(&record->link.connection, received);
            record->incoming.process(forwarder);
        }
        return Rdp::kSuccess;
    });
}

UINT OnClose(IWTSVirtualChannelCallback* callback)
{
    return Base::guarded(__func__, Rdp::kSuccess, [&] {
        TRACE_FUNCTION("OnClose");
        const Base::FunctionTrace trace(cvLogFunction);
        auto* record = reinterpret_cast<ChannelCallback*>(callback);
        ClientDisconnected(&record->link.connection);
        delete record;
        return Rdp::kSuccess;
    });
}

UINT OnNewChannelConnection(IWTSListenerCallback* listenerCallback, IWTSVirtualChannel* channel, BYTE*, BOOL*,
                            IWTSVirtualChannelCallback** callbackOut)
{
    return Base::guarded(__func__, Rdp::kNoMemory, [&] {
        TRACE_FUNCTION("OnNewChannelConnection");
        const Base::FunctionTrace trace(cvLogFunction);
        auto* listener = reinterpret_cast<ListenerCallback*>(listenerCallback);
        auto* record = new (std::nothrow) ChannelCallback();
        if (record == nullptr) {
            TRACE_ERROR << "Failed to allocate channel callback" << std::endl;
            return Rdp::kNoMemory;
        }
        record->link.channel = channel;
        record->link.connection.writeData = &WriteDataCallback;
        if (!ClientConnected(&record->link.connection)) {
            TRACE_ERROR << "Failed to connect client" << std::endl;
            delete record;
            return Rdp::kConnectionRefused;
        }
        record->iface.OnDataReceived = &OnDataReceived;
        record->iface.OnClose = &OnClose;
        record->plugin = listener->plugin;
        record->manager = listener->manager;
        *callbackOut = &record->iface;
        return Rdp::kSuccess;
    });
}

UINT OnPluginInitialise(IWTSPlugin* pluginInterface, IWTSVirtualChannelManager* manager)
{
    return Base::guarded(__func__, Rdp::kNoMemory, [&] {
        TRACE_FUNCTION("OnPluginInitialise");
        const Base::FunctionTrace trace(cvLogFunction);
        auto* plugin = reinterpret_cast<Plugin*>(pluginInterface);
        auto* listener = new (std::nothrow) ListenerCallback();
        if (listener == nullptr) {
            TRACE_ERROR << "Failed to allocate listener callback" << std::endl;
            return Rdp::kNoMemory;
        }
        plugin->listener = listener;
        listener->iface.OnNewChannelConnection = &OnNewChannelConnection;
        listener->plugin = plugin;
        listener->manager = manager;
        return manager->CreateListener(manager, Rdp::kChannelName, 0, &listener->iface, nullptr);
    });
}

UINT OnPluginTerminated(IWTSPlugin* pluginInterface)
{
    return Base::guarded(__func__, Rdp::kSuccess, [&] {
        TRACE_FUNCTION("OnPluginTerminated");
        const Base::FunctionTrace trace(cvLogFunction);
        auto* plugin = reinterpret_cast<Plugin*>(pluginInterface);
        delete plugin->listener;
        delete plugin;
        return Rdp::kSuccess;
    });
}

}  // namespace

extern "C" UINT DVCPluginEntry(IDRDYNVC_ENTRY_POINTS* entryPoints)
{
    return Base::guarded(__func__, Rdp::kNoMemory, [&] {
        TRACE_FUNCTION("DVCPluginEntry");
        TRACE_INIT(0);
        const Base::FunctionTrace trace(cvLogFunction);
        if (entryPoints->GetPlugin(entryPoints, Rdp::kPluginName) != nullptr) {
            TRACE_VERBOSE << "Plugin [" << Rdp::kPluginName << "] is registered already" << std::endl;
            return Rdp::kSuccess;
        }
        auto* plugin = new (std::nothrow) Plugin();
        if (plugin == nullptr) {
            TRACE_ERROR << "Failed to allocate plugin" << std::endl;
            return Rdp::kNoMemory;
        }
        plugin->iface.Initialize = &OnPluginInitialise;
        plugin->iface.Terminated = &OnPluginTerminated;
        const UINT result = entryPoints->RegisterPlugin(entryPoints, Rdp::kPluginName, &plugin->iface);
        if (result != Rdp::kSuccess) {
            // The client did not take it: it is still ours to free.
            delete plugin;
        }
        return result;
    });
}
