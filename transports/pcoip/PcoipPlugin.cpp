// SPDX-License-Identifier: Apache-2.0
// The PCoIP virtual channel plugin: the client loads the library, hands it its
// function table and raises connection and channel events; the plugin opens
// the "Corvane" channel when the PCoIP connection opens, hands it to the
// session core, and reads the channel on a thread of its own that the
// receive-ready events wake. Outbound messages leave as one buffer holding the
// packet header and the payload.
//
// No exception leaves an entry point or a callback: the caller is the client.
#include "transports/pcoip/PcoipChannel.h"

#include "base/Guard.h"
#include "base/Logging.h"
#include "base/SignalStack.h"
#include "core/cvclient.h"
#include "transports/PacketFraming.h"

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <exception>
#include <future>
#include <iostream>
#include <mutex>
#include <thread>
#include <type_traits>
#include <utility>
#include <vector>

namespace {

constexpr const char* kChannelName = "Corvane";
// A header plus at least one payload byte before a header is read.
constexpr std::size_t kReassemblyThreshold = Framing::kHeaderSize + 1;
constexpr uint32_t kOpenFlags = 0;
constexpr uint32_t kOpenPriority = 10;
constexpr uint32_t kOpenReserved = 0;

struct PCoIPConnection;

// The record the core is handed, and the way back from it to its connection:
// the core's writeData gets the record's address. A standard-layout struct,
// so that address is the head's.
struct RecordHead {
    TConnection connection{};
    PCoIPConnection* owner = nullptr;
};
static_assert(std::is_standard_layout_v<RecordHead>);
static_assert(offsetof(RecordHead, connection) == 0);

// One per client_init, destroyed by client_exit.
//
// Threads: the client's event threads run the event callbacks, serialised by
// `lifecycle`; the read thread owns `incoming` and is the only caller of
// ClientDataRead; the library's engine thread calls the write callback.
struct PCoIPConnection {
    // First member: the context the client holds starts with the record.
    RecordHead head{{}, this};
    PcoipClientInterface interface{};
    uint32_t channelHandle = 0;
    std::atomic<bool> readThreadRunning{false};
    std::thread readThread;
    // Guards `disconnecting`; the read thread holds it while it hands a packet
    // to the core, so no packet reaches the core once a disconnect started.
    std::mutex disconnectMutex;
    // Set while the core has no connected record: from creation until a
    // connect, and from the start of a disconnect until the next connect.
    bool disconnecting = true;
    Framing::Reassembler incoming{kReassemblyThreshold};
    // Guards the swap of `wakePromise` and `stopRequested`.
    std::mutex wakeMutex;
    // The read thread waits on the future of the promise current when it
    // started reading: false = data may be available, true = stop.
    std::promise<bool> wakePromise;
    // Set by a shutdown, so a thread that has not yet taken its first future
    // stops as well.
    bool stopRequested = false;
    // Serialises connecting, stopping the read thread and disconnecting.
    std::recursive_mutex lifecycle;
};

// An address as log text ("0" for none). Streaming a pointer makes the
// standard library switch the shared log stream to hex for a moment, which
// other threads' numbers can catch; this text leaves the stream alone.
struct Address {
    explicit Address(const void* pointer)
    {
        if (pointer == nullptr) {
            text[0] = '0';
            text[1] = '\0';
        } else {
            std::snprintf(text, sizeof(text), "%p", pointer);
        }
    }
    char text[24];
};

std::ostream& operator<<(std::ostream& stream, const Address& address)
{
    return stream << address.text;
}

Address id(const PCoIPConnection& connection)
{
    return Address(&connection);
}

// Calls a slot of the client's table; a missing slot counts as `missing`.
template <typename Function, typename... Arguments>
int call(Function function, int missing, Arguments... arguments)
{
    return function != nullptr ? function(arguments...) : missing;
}

void OnClientConnectionEvent(void* context, uint32_t handle, int event, const void* eventData);
void OnClientChannelEvent(void* context, uint32_t channel, int event, const void* eventData);
void OnClientChannelWriteDataCallback(TConnection* record, const char* data, unsigned int length);
void ShutdownChannelReadThread(PCoIPConnection& connection);
void BeginClientDisconnectedThread(PCoIPConnection& connection);
void ReadChannelThreadEntry(PCoIPConnection* connection);

// What reassembly finds, logged and handed to the core by the read thread.
class IncomingPackets : public Framing::Sink {
public:
    explicit IncomingPackets(PCoIPConnection& connection) : _connection(connection) {}

    void incomplete(std::size_t, const Framing::Header& header) override
    {
        TRACE_FUNCTION("ReadChannelThreadEntry");
        TRACE_VERBOSE << "Insufficient data to process content length [" << header.length << "]" << std::endl;
    }

    void accepted(const Framing::Header& header, const char* payload, uint32_t payloadLength) override
    {
        TRACE_FUNCTION("ReadChannelThreadEntry");
        TRACE_VERBOSE << "Handling UTF-8 JSON packet of length [" << header.length << "]" << std::endl;
        std::lock_guard<std::mutex> lock(_connection.disconnectMutex);
        if (_connection.disconnecting) {
            TRACE_WARNING << "Dropping packet of length [" << header.length
                          << "] since the client is disconnected on connection [" << id(_connection) << "]"
                          << std::endl;
            return;
        }
        ClientDataRead(&_connection.head.connection, payload, payloadLength);
    }

    void rejected(const Framing::Header& header) override
    {
        TRACE_FUNCTION("ReadChannelThreadEntry");
        TRACE_ERROR << "Unhandled packet type [" << header.type << "] length [" << header.length << "] encoding ["
                    << header.encoding << "]" << std::endl;
    }

    void unframeable(const Framing::Header& header, std::size_t discarded) override
    {
        TRACE_FUNCTION("ReadChannelThreadEntry");
        TRACE_ERROR << "Invalid packet length [" << header.length << "]: discarding [" << discarded
                    << "] bytes of incoming data on connection [" << id(_connection) << "]" << std::endl;
    }

private:
    PCoIPConnection& _connection;
};

// Fulfils the current wake promise with `stop` and puts a fresh one in its
// place; the caller holds wakeMutex.
void replaceWakePromise(PCoIPConnection& connection, bool stop)
{
    std::promise<bool> previous = std::exchange(connection.wakePromise, std::promise<bool>());
    previous.set_value(stop);
}

void OnClientConnectionOpen(PCoIPConnection& connection)
{
    Base::FunctionTrace trace(__func__);
    std::lock_guard<std::recursive_mutex> lifecycle(connection.lifecycle);
    if (connection.readThread.joinable()) {
        TRACE_WARNING << "Ignoring PCoIP connection OPEN event since the read channel thread of an earlier OPEN "
                         "is still running for connection ["
                      << id(connection) << "]" << std::endl;
        return;
    }
    TRACE_VERBOSE << "Opening client channel for connection [" << id(connection) << "]" << std::endl;
    const int opened = call(connection.interface.openChannel, -1, kChannelName, kOpenFlags, kOpenPriority,
                            kOpenReserved, &OnClientChannelEvent, static_cast<void*>(&connection),
                            &connection.channelHandle);
    if (opened != 0) {
        TRACE_ERROR << "Failed to open client channel for connection [" << id(connection) << "]" << std::endl;
        call(connection.interface.channelRejected, -1, kChannelName, uint32_t{0});
        return;
    }

    // A fresh record and a fresh stream for the new channel.
    connection.head.connection.clientConnection = nullptr;
    connection.incoming = Framing::Reassembler(kReassemblyThreshold);
    if (!ClientConnected(&connection.head.connection)) {
        TRACE_ERROR << "Failed to connect client channel for connection [" << id(connection) << "]" << std::endl;
        call(connection.interface.closeChannel, -1, connection.channelHandle, uint32_t{0}, uint32_t{0});
        ShutdownChannelReadThread(connection);
        return;
    }
    TRACE_VERBOSE << "Successfully connected client for connection [" << id(connection) << "]" << std::endl;
    {
        std::lock_guard<std::mutex> lock(connection.disconnectMutex);
        connection.disconnecting = false;
    }
    {
        std::lock_guard<std::mutex> lock(connection.wakeMutex);
        connection.stopRequested = false;
        connection.wakePromise = std::promise<bool>();
    }
    try {
        connection.readThread = std::thread(&ReadChannelThreadEntry, &connection);
    } catch (const std::exception& error) {
        TRACE_ERROR << "Failed to start the read channel thread with error [" << error.what()
                    << "] for connection [" << id(connection) << "]" << std::endl;
        call(connection.interface.closeChannel, -1, connection.channelHandle, uint32_t{0}, uint32_t{0});
        BeginClientDisconnectedThread(connection);
    }
}

void OnClientConnectionEvent(void* context, uint32_t, int event, const void* eventData)
{
    Base::guarded(__func__, [&] {
        TRACE_FUNCTION("OnClientConnectionEvent");
        Base::FunctionTrace trace(cvLogFunction);
        if (context == nullptr) {
            TRACE_ERROR << "Received PCoIP connection event [" << event << "] without a connection" << std::endl;
            return;
        }
        PCoIPConnection& connection = *static_cast<PCoIPConnection*>(context);
        switch (event) {
        case PCOIP_CONNECTION_EVENT_OPEN:
            TRACE_VERBOSE << "Received PCoIP connection OPEN event for connection [" << id(connection) << "]"
                          << std::endl;
            OnClientConnectionOpen(connection);
            break;
        case PCOIP_CONNECTION_EVENT_STATE: {
            const int state = eventData != nullptr ? *static_cast<const int*>(eventData) : -1;
            if (state == PCOIP_CONNECTION_STATE_DISCONNECTED) {
                TRACE_VERBOSE << "Received PCoIP connection DISCONNECTED event for connection [" << id(connection)
                              << "]" << std::endl;
                ShutdownChannelReadThread(connection);
                BeginClientDisconnectedThread(connection);
            } else {
                TRACE_VERBOSE << "Received PCoIP connection event in state [" << state << "] for connection ["
                              << id(connection) << "]" << std::endl;
            }
            break;
        }
        case PCOIP_CONNECTION_EVENT_PEER_LOADED:
            TRACE_VERBOSE << "Received PCoIP connection PEER LOADED for connection [" << id(connection) << "]"
                          << std::endl;
            break;
        case PCOIP_CONNECTION_EVENT_PEER_NOT_LOADED:
            TRACE_VERBOSE << "Received PCoIP connection PEER NOT LOADED for connection [" << id(connection) << "]"
                          << std::endl;
            break;
        default:
            TRACE_WARNING << "Received PCoIP connection event [" << event << "] for connection [" << id(connection)
                          << "]" << std::endl;
            break;
        }
    });
}

void WakeChannelReadThread(PCoIPConnection& connection)
{
    Base::FunctionTrace trace(__func__);
    if (!connection.readThreadRunning) {
        TRACE_VERBOSE << "Ignoring request to wake read channel thread, since the thread isn't running for "
                         "connection ["
                      << id(connection) << "]" << std::endl;
        return;
    }
    TRACE_VERBOSE << "Waking the read channel thread for connection [" << id(connection) << "]" << std::endl;
    {
        std::lock_guard<std::mutex> lock(connection.wakeMutex);
        replaceWakePromise(connection, false);
    }
    TRACE_VERBOSE << "Finished waking the read channel thread for connection [" << id(connection) << "]"
                  << std::endl;
}

void OnClientChannelEvent(void* context, uint32_t channel, int event, const void* eventData)
{
    Base::guarded(__func__, [&] {
        TRACE_FUNCTION("OnClientChannelEvent");
        Base::FunctionTrace trace(cvLogFunction);
        if (context == nullptr) {
            TRACE_ERROR << "Received PCoIP channel [" << channel << "] event [" << event << "] without a connection"
                        << std::endl;
            return;
        }
        PCoIPConnection& connection = *static_cast<PCoIPConnection*>(context);
        switch (event) {
        case PCOIP_CHANNEL_EVENT_OPENED:
            TRACE_VERBOSE << "Received PCoIP channel [" << channel << "] OPENED event for connection ["
                          << id(connection) << "]" << std::endl;
            break;
        case PCOIP_CHANNEL_EVENT_OPEN_REJECTED:
            TRACE_VERBOSE << "Received PCoIP channel [" << channel << "] OPEN REJECTED event for connection ["
                          << id(connection) << "]. Disconnecting." << std::endl;
            // The channel will carry nothing: its reader stops too, so a
            // later OPEN can start a new one.
            ShutdownChannelReadThread(connection);
            BeginClientDisconnectedThread(connection);
            break;
        case PCOIP_CHANNEL_EVENT_CLOSE_PENDING:
        case PCOIP_CHANNEL_EVENT_CLOSE_PENDING_OTHER:
            TRACE_VERBOSE << "Received PCoIP channel [" << channel << "] CLOSE PENDING ["
                          << (event == PCOIP_CHANNEL_EVENT_CLOSE_PENDING ? 1 : 0) << "] for connection ["
                          << id(connection) << "]. Disconnecting." << std::endl;
            ShutdownChannelReadThread(connection);
            BeginClientDisconnectedThread(connection);
            break;
        case PCOIP_CHANNEL_EVENT_RECEIVE_READY: {
            const uint32_t count = eventData != nullptr ? *static_cast<const uint32_t*>(eventData) : 0;
            TRACE_VERBOSE << "Received PCoIP channel [" << channel << "] RECEIVE READY [" << count
                          << "] bytes for connection [" << id(connection) << "]. Waking read thread." << std::endl;
            WakeChannelReadThread(connection);
            break;
        }
        case PCOIP_CHANNEL_EVENT_ERROR_DETECTED:
            TRACE_ERROR << "Received PCoIP channel [" << channel << "] ERROR DETECTED event for connection ["
                        << id(connection) << "]. Disconnecting." << std::endl;
            ShutdownChannelReadThread(connection);
            BeginClientDisconnectedThread(connection);
            break;
        default:
            TRACE_VERBOSE << "Received PCoIP channel [" << channel << "] event [" << event << "] for connection ["
                          << id(connection) << "]" << std::endl;
            break;
        }
    });
}

void ShutdownChannelReadThread(PCoIPConnection& connection)
{
    Base::FunctionTrace trace(__func__);
    std::lock_guard<std::recursive_mutex> lifecycle(connection.lifecycle);
    if (!connection.readThreadRunning && !connection.readThread.joinable()) {
        TRACE_VERBOSE << "Ignoring request to shutdown read channel thread, since the thread isn't running for "
                         "connection ["
                      << id(connection) << "]" << std::endl;
        return;
    }
    TRACE_VERBOSE << "Shutting down the read channel thread for connection [" << id(connection) << "]"
                  << std::endl;
    {
        std::lock_guard<std::mutex> lock(connection.wakeMutex);
        connection.stopRequested = true;
        replaceWakePromise(connection, true);
    }
    if (connection.readThread.joinable()) {
        if (connection.readThread.get_id() == std::this_thread::get_id()) {
            // Stops after the packet in hand; a later shutdown joins it.
            TRACE_WARNING << "The read channel thread cannot join itself on connection [" << id(connection) << "]"
                          << std::endl;
            return;
        }
        connection.readThread.join();
    }
    TRACE_VERBOSE << "Finished shutting down read channel thread for connection [" << id(connection) << "]"
                  << std::endl;
}

void BeginClientDisconnectedThread(PCoIPConnection& connection)
{
    Base::FunctionTrace trace(__func__);
    std::lock_guard<std::recursive_mutex> lifecycle(connection.lifecycle);
    {
        std::lock_guard<std::mutex> lock(connection.disconnectMutex);
        if (connection.disconnecting) {
            return;
        }
        connection.disconnecting = true;
    }
    TRACE_VERBOSE << "Starting thread to disconnect client connection [" << id(connection) << "]" << std::endl;
    auto disconnect = [&connection] {
        Base::guarded("BeginClientDisconnectedThread", [&] {
            TRACE_FUNCTION("BeginClientDisconnectedThread");
            TRACE_VERBOSE << "Disconnecting client connection [" << id(connection) << "]..." << std::endl;
            ClientDisconnected(&connection.head.connection);
            connection.head.connection.clientConnection = nullptr;
            TRACE_VERBOSE << "Done disconnecting client connection [" << id(connection) << "]." << std::endl;
        });
    };
    std::thread disconnecting;
    try {
        disconnecting = std::thread([&disconnect] {
            const Base::SignalStack stack;
            disconnect();
        });
    } catch (const std::exception& error) {
        TRACE_ERROR << "Failed to start the thread to disconnect client connection [" << id(connection)
                    << "] with error [" << error.what() << "]; disconnecting on this thread" << std::endl;
        disconnect();
        return;
    }
    disconnecting.join();
}

// Reads everything the channel holds into the reassembler and hands every
// complete packet on; returns when the channel reports nothing more.
void ReadAvailable(PCoIPConnection& connection, std::vector<uint8_t>& buffer, IncomingPackets& packets)
{
    TRACE_FUNCTION("ReadChannelThreadEntry");
    for (;;) {
        uint32_t available = 0;
        if (call(connection.interface.bytesAvailable, -1, connection.channelHandle, &available) != 0 ||
            available == 0) {
            return;
        }
        TRACE_VERBOSE << "Read channel thread detected [" << available << "] bytes available for connection ["
                      << id(connection) << "]" << std::endl;
        if (buffer.size() < available) {
            buffer.resize(available);
        }
        uint32_t received = 0;
        const int result = call(connection.interface.receive, -1, connection.channelHandle,
                                static_cast<void*>(buffer.data()), available, &received, uint32_t{0});
        if (result != 0 || received == 0) {
            TRACE_WARNING << "Read channel thread detected [" << available
                          << "] bytes available, but receive failed or read no bytes on connection ["
                          << id(connection) << "]" << std::endl;
            return;
        }
        if (received > available) {
            received = available;
        }
        if (!connection.incoming.append(buffer.data(), received)) {
            TRACE_ERROR << "Unable to buffer [" << received << "] bytes read from connection [" << id(connection)
                        << "]" << std::endl;
            return;
        }
        TRACE_VERBOSE << "Successfully read [" << received << "] bytes from connection [" << id(connection)
                      << "]. Incoming data is [" << connection.incoming.buffered() << "] bytes" << std::endl;
        connection.incoming.process(packets);
        TRACE_VERBOSE << "Incoming data buffer is [" << connection.incoming.buffered()
                      << "] bytes. Waiting for more data." << std::endl;
    }
}

void ReadChannelThreadEntry(PCoIPConnection* context)
{
    const Base::SignalStack stack;
    Base::guarded(__func__, [&] {
        TRACE_FUNCTION("ReadChannelThreadEntry");
        Base::FunctionTrace trace(cvLogFunction);
        PCoIPConnection& connection = *context;
        TRACE_VERBOSE << "Read channel thread started for connection [" << id(connection) << "]" << std::endl;
        connection.readThreadRunning = true;
        std::vector<uint8_t> buffer;
        IncomingPackets packets(connection);
        for (;;) {
            // Taken before reading: a wake that comes while this pass reads
            // fulfils this future, so the wait below returns at once and the
            // next pass finds the data.
            std::future<bool> woken;
            {
                std::lock_guard<std::mutex> lock(connection.wakeMutex);
                if (connection.stopRequested) {
                    TRACE_VERBOSE << "Aborting read channel thread since asked to shutdown on connection ["
                                  << id(connection) << "]" << std::endl;
                    break;
                }
                woken = connection.wakePromise.get_future();
            }
            Base::guarded("ReadChannelThreadEntry", [&] { ReadAvailable(connection, buffer, packets); });
            bool stop = true;
            try {
                stop = woken.get();
            } catch (const std::exception& error) {
                TRACE_ERROR << "Read channel thread lost its wake signal with error [" << error.what()
                            << "] on connection [" << id(connection) << "]" << std::endl;
            }
            if (stop) {
                TRACE_VERBOSE << "Aborting read channel thread since asked to shutdown on connection ["
                              << id(connection) << "]" << std::endl;
                break;
            }
        }
        connection.readThreadRunning = false;
        TRACE_VERBOSE << "Read channel thread exiting for connection [" << id(connection) << "]" << std::endl;
    });
    context->readThreadRunning = false;
}

void OnClientChannelWriteDataCallback(TConnection* record, const char* data, unsigned int length)
{
    Base::guarded(__func__, [&] {
        TRACE_FUNCTION("OnClientChannelWriteDataCallback");
        Base::FunctionTrace trace(cvLogFunction);
        if (record == nullptr) {
            TRACE_ERROR << "Unable to write [" << length << "] bytes without a connection" << std::endl;
            return;
        }
        PCoIPConnection& connection = *reinterpret_cast<RecordHead*>(record)->owner;
        TRACE_VERBOSE << "Writing [" << length << "] bytes to connection [" << id(connection) << "]" << std::endl;
        if (call(connection.interface.connectionState, PCOIP_CONNECTION_STATE_DISCONNECTED) ==
            PCOIP_CONNECTION_STATE_DISCONNECTED) {
            TRACE_ERROR << "Unable to write to disconnected channel on connection [" << id(connection) << "]"
                        << std::endl;
            return;
        }
        if (length > Framing::kMaximumPacketLength - Framing::kHeaderSize) {
            TRACE_ERROR << "Unable to write [" << length << "] bytes in one packet on connection ["
                        << id(connection) << "]" << std::endl;
            return;
        }
        const std::vector<uint8_t> packet = Framing::frame(data, length);
        const auto size = static_cast<uint32_t>(packet.size());
        uint32_t sent = 0;
        if (call(connection.interface.send, -1, connection.channelHandle, static_cast<const void*>(packet.data()),
                 size, &sent, PCOIP_WAIT_FOREVER) != 0) {
            TRACE_ERROR << "Failed to write [" << size << "] bytes to channel on connection [" << id(connection)
                        << "]" << std::endl;
        } else if (sent < size) {
            TRACE_ERROR << "Attempted to write [" << size << "] bytes to channel, but only [" << sent
                        << "] bytes sent on connection [" << id(connection) << "]" << std::endl;
        } else {
            TRACE_VERBOSE << "Successfully wrote [" << size << "] bytes to channel on connection ["
                          << id(connection) << "]" << std::endl;
        }
    });
}

// The part of the client's table that its version says exists.
std::size_t tableSize(uint32_t version)
{
    return version >= PCOIP_INTERFACE_VERSION_PROBE ? sizeof(PcoipClientInterface)
                                                    : offsetof(PcoipClientInterface, probeForHost);
}

}  // namespace

extern "C" CVCLIENT_EXPORT int pcoip_vchan_plugin_client_init(const PcoipClientInterface* interface,
                                                              const char* args, void** context)
{
    int result = 0;
    Base::guarded(__func__, [&] {
        TRACE_FUNCTION("pcoip_vchan_plugin_client_init");
        TRACE_INIT(0);
        if (interface == nullptr || context == nullptr) {
            TRACE_ERROR << "Failed to initialise PCoIP with interface [" << Address(interface) << "] context ["
                        << Address(context) << "]" << std::endl;
            return;
        }
        const uint32_t version = interface->version;
        TRACE_INFO << "Initialising client PCoIP version [" << version << "] with args ["
                   << (args != nullptr ? args : "") << "]" << std::endl;
        auto* connection = new PCoIPConnection();
        std::memcpy(static_cast<void*>(&connection->interface), interface, tableSize(version));
        connection->head.connection.writeData = &OnClientChannelWriteDataCallback;
        *context = connection;
        result = 1;
        if (call(connection->interface.registerConnectionEvents, -1, kChannelName, &OnClientConnectionEvent,
                 static_cast<void*>(connection), &connection->channelHandle) != 0) {
            TRACE_ERROR << "Failed to initialise PCoIP" << std::endl;
            return;
        }
        TRACE_VERBOSE << "Successfully initialised PCoIP" << std::endl;
        if (version >= PCOIP_INTERFACE_VERSION_PROBE) {
            const int probe = call(connection->interface.probeForHost, 0, kChannelName);
            if (probe == 0) {
                TRACE_ERROR << "Failed to initiate probe for host error [" << probe << "] connection ["
                            << id(*connection) << "]" << std::endl;
            }
        }
    });
    return result;
}

extern "C" CVCLIENT_EXPORT void pcoip_vchan_plugin_client_exit(void* context)
{
    Base::guarded(__func__, [&] {
        TRACE_FUNCTION("pcoip_vchan_plugin_client_exit");
        TRACE_INFO << "Exiting client PCoIP channel" << std::endl;
        if (context == nullptr) {
            return;
        }
        auto* connection = static_cast<PCoIPConnection*>(context);
        ShutdownChannelReadThread(*connection);
        BeginClientDisconnectedThread(*connection);
        if (connection->readThread.joinable()) {
            // Only when the read thread itself unloads the plugin.
            connection->readThread.detach();
            return;
        }
        delete connection;
    });
}

extern "C" CVCLIENT_EXPORT void pcoip_vchan_plugin_get_version(char* buffer)
{
    Base::guarded(__func__, [&] {
        TRACE_FUNCTION("pcoip_vchan_plugin_get_version");
        TRACE_INIT(0);
        if (buffer == nullptr) {
            TRACE_ERROR << "No buffer given for the PCoIP version" << std::endl;
            return;
        }
        std::memcpy(buffer, CVCLIENT_VERSION, sizeof(CVCLIENT_VERSION));
        TRACE_VERBOSE << "Returned PCoIP version [" << buffer << "]" << std::endl;
    });
}

extern "C" CVCLIENT_EXPORT int pcoip_vchan_plugin_server_init(uint32_t version, const char* args)
{
    Base::guarded(__func__, [&] {
        TRACE_FUNCTION("pcoip_vchan_plugin_server_init");
        TRACE_INIT(0);
        TRACE_ERROR << "Unexpected call to initialise server PCoIP channel version [" << version << "] with args ["
                    << (args != nullptr ? args : "") << "]" << std::endl;
    });
    return 0;
}

extern "C" CVCLIENT_EXPORT int pcoip_vchan_plugin_server_exit(void)
{
    Base::guarded(__func__, [&] {
        TRACE_FUNCTION("pcoip_vchan_plugin_server_exit");
        TRACE_ERROR << "Unexpected call to exit server PCoIP channel" << std::endl;
    });
    return 1;
}
