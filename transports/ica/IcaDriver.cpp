// SPDX-License-Identifier: Apache-2.0
// The ICA virtual driver: the ICA client's engine loads the library, opens
// the CRVLINK virtual channel through the winstation driver and hands every
// received piece to the driver; the session core's outbound messages are cut
// into pieces the winstation driver can take and written when the engine
// polls. The engine is single-threaded and must never block: data arrival and
// polling only ever try the queue lock, and the core's writes (from the
// library's engine thread) only hold it to link pieces.
//
// Internal references to the exported data go through local symbols, so a
// same-named symbol elsewhere in the client process cannot interpose on them.
#include "transports/ica/IcaAbi.h"

#include "base/Guard.h"
#include "base/Logging.h"
#include "core/cvclient.h"
#include "transports/PacketFraming.h"

#include <pthread.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <deque>
#include <exception>
#include <iostream>
#include <new>
#include <type_traits>
#include <vector>

using namespace IcaAbi;

namespace {

char kChannelName[] = "CRVLINK";
constexpr uint16_t kOpenParametersSize = sizeof(OpenParameters);
constexpr uint16_t kInfoArgumentSize = sizeof(DriverInfoArgument);
constexpr uint16_t kDriverInformationSize = sizeof(DriverInformation);
constexpr uint16_t kQueryInformationSize = sizeof(WdInformation);
constexpr uint16_t kMaximumPieceSize = 1024;
// The channel byte the winstation driver counts in its maximum write size.
constexpr uint16_t kChannelByte = 1;
// What reserve asks for beyond the piece itself.
constexpr uint16_t kReserveOverhead = 4;
constexpr std::size_t kHeaderSize = Framing::kHeaderSize;

// One piece of an outbound message, exactly as it is written.
struct OutgoingPiece {
    std::vector<uint8_t> bytes;
    int lastError = 0;  // the last failure reported for it, logged once
};

// One open channel. The connection is the first member: the core hands its
// address back to WriteDataCallback.
struct DriverRecord {
    TConnection connection;
    Framing::Reassembler incoming{kHeaderSize};
    pthread_mutex_t queueLock;
    std::deque<OutgoingPiece> queue;
    std::atomic<std::size_t> queued;  // pieces in the queue, readable without the lock
    void* wdData;
    ReserveProcedure reserve;
    AppendHeaderProcedure appendHeader;
    AppendDataProcedure appendData;
    WriteProcedure write;
    uint16_t maximumPieceSize;
    uint16_t channel;
};
static_assert(std::is_standard_layout_v<DriverRecord>);
static_assert(offsetof(DriverRecord, connection) == 0);

DriverRecord* recordOf(void* vd)
{
    return vd != nullptr ? static_cast<DriverRecord*>(static_cast<VirtualDriver*>(vd)->privateData) : nullptr;
}

// The queue lock, released on every path; release() reports the unlock.
class QueueLock {
public:
    QueueLock(pthread_mutex_t& mutex, bool tryOnly)
        : _mutex(mutex), _error(tryOnly ? pthread_mutex_trylock(&mutex) : pthread_mutex_lock(&mutex))
    {
    }
    ~QueueLock()
    {
        if (_error == 0 && !_released) {
            pthread_mutex_unlock(&_mutex);
        }
    }
    QueueLock(const QueueLock&) = delete;
    QueueLock& operator=(const QueueLock&) = delete;

    int error() const { return _error; }
    int release()
    {
        _released = true;
        return pthread_mutex_unlock(&_mutex);
    }

private:
    pthread_mutex_t& _mutex;
    int _error;
    bool _released = false;
};

void releaseQueueLock(QueueLock& lock, const char* function)
{
    const int error = lock.release();
    if (error != 0) {
        [[maybe_unused]] const char* cvLogFunction = function;
        TRACE_ERROR << "Failed to unlock outgoing queue error [" << error << "]" << std::endl;
    }
}

// What reassembly of the received pieces found, in the driver's words.
class ArrivalSink final : public Framing::Sink {
public:
    explicit ArrivalSink(DriverRecord& record) : _record(record) {}

    void incomplete(std::size_t buffered, const Framing::Header& header) override
    {
        TRACE_FUNCTION("ICADataArrival");
        TRACE_VERBOSE << "Incoming buffer has [" << static_cast<unsigned>(buffered) << "] bytes but [" << header.length
                      << "] expected" << std::endl;
    }
    void accepted(const Framing::Header& header, const char* payload, uint32_t payloadLength) override
    {
        TRACE_FUNCTION("ICADataArrival");
        TRACE_VERBOSE << "Forwarding content of length [" << header.length << "] to client" << std::endl;
        ClientDataRead(&_record.connection, payload, payloadLength);
    }
    void rejected(const Framing::Header& header) override
    {
        TRACE_FUNCTION("ICADataArrival");
        TRACE_VERBOSE << "Unable to handle content length [" << header.length << "] type [" << header.type
                      << "] encoding [" << header.encoding << "]. Aborting packet." << std::endl;
    }
    void unframeable(const Framing::Header& header, std::size_t discarded) override
    {
        TRACE_FUNCTION("ICADataArrival");
        TRACE_ERROR << "Incoming packet length [" << header.length << "] is impossible (a packet has 12 to "
                    << Framing::kMaximumPacketLength << " bytes): discarded [" << static_cast<unsigned>(discarded)
                    << "] buffered bytes" << std::endl;
    }

private:
    DriverRecord& _record;
};

// The write hook's data-arrival procedure: a piece received on the channel.
int ICADataArrival(void* vd, uint16_t, uint8_t* data, uint16_t length)
{
    return Base::guarded("ICADataArrival", kSuccess, [&] {
        TRACE_FUNCTION("ICADataArrival");
        DriverRecord* record = recordOf(vd);
        if (record == nullptr) {
            TRACE_ERROR << "Dropping [" << static_cast<unsigned>(length) << "] bytes received while no channel is open"
                        << std::endl;
            return kSuccess;
        }
        const std::size_t current = record->incoming.buffered();
        TRACE_VERBOSE << "Received data of length [" << static_cast<int>(length) << "] current ["
                      << static_cast<int>(current) << "]" << std::endl;
        if (length > 0 && data == nullptr) {
            return kSuccess;
        }
        if (!record->incoming.append(data, length)) {
            TRACE_VERBOSE << "Failed to allocate buffer for incoming data of length [" << static_cast<unsigned>(length)
                          << "] size [" << static_cast<unsigned>(current + length) << "] current ["
                          << static_cast<unsigned>(current) << "]. Aborting packet." << std::endl;
            return kSuccess;
        }
        ArrivalSink sink(*record);
        record->incoming.process(sink);
        return kSuccess;
    });
}

// The core's send function: the message is framed, cut into pieces of at most
// the maximum piece size and queued for DriverPoll, all pieces under one lock.
void WriteDataCallback(TConnection* connection, const char* data, unsigned int length)
{
    Base::guarded("WriteDataCallback", 0, [&] {
        TRACE_FUNCTION("WriteDataCallback");
        if (connection == nullptr || (data == nullptr && length > 0)) {
            return 0;
        }
        // The connection is the record's first member.
        DriverRecord* record = reinterpret_cast<DriverRecord*>(connection);
        const std::size_t maximum = record->maximumPieceSize;
        std::vector<OutgoingPiece> pieces;
        try {
            const auto header = Framing::encodeHeader(length);
            const std::size_t first = std::min<std::size_t>(std::size_t{length} + kHeaderSize, maximum);
            pieces.reserve(1 + (length + maximum - 1) / maximum);
            OutgoingPiece& head = pieces.emplace_back();
            head.bytes.resize(first);
            std::memcpy(head.bytes.data(), header.data(), kHeaderSize);
            std::size_t sent = first - kHeaderSize;
            if (sent > 0) {
                std::memcpy(head.bytes.data() + kHeaderSize, data, sent);
            }
            while (sent < length) {
                const std::size_t size = std::min<std::size_t>(length - sent, maximum);
                pieces.emplace_back().bytes.assign(data + sent, data + sent + size);
                sent += size;
            }
        } catch (const std::bad_alloc&) {
            TRACE_ERROR << "Failed to allocate queued buffer. Data length [" << length << "] will be ignored!"
                        << std::endl;
            return 0;
        }

        QueueLock lock(record->queueLock, false);
        if (lock.error() != 0) {
            TRACE_ERROR << "Lock of outgoing queue failed error [" << lock.error() << "]" << std::endl;
            return 0;
        }
        // All pieces of the message or none.
        const std::size_t before = record->queue.size();
        try {
            for (OutgoingPiece& piece : pieces) {
                record->queue.push_back(std::move(piece));
            }
        } catch (const std::bad_alloc&) {
            while (record->queue.size() > before) {
                record->queue.pop_back();
            }
            releaseQueueLock(lock, "WriteDataCallback");
            TRACE_ERROR << "Failed to allocate queued buffer. Data length [" << length << "] will be ignored!"
                        << std::endl;
            return 0;
        }
        for (std::size_t index = before; index < record->queue.size(); ++index) {
            const OutgoingPiece& piece = record->queue[index];
            TRACE_VERBOSE << (index == 0 ? "Created" : "Appended") << " outgoing packet ["
                          << static_cast<const void*>(piece.bytes.data()) << "] length [" << piece.bytes.size() << "]"
                          << std::endl;
        }
        record->queued.store(record->queue.size());
        releaseQueueLock(lock, "WriteDataCallback");
        return 0;
    });
}

int VdCallWdImpl(VirtualDriver* vd, uint16_t procedure, void* params, uint16_t* size)
{
    LibraryLink* link = vd != nullptr ? vd->wdLink : nullptr;
    if (link == nullptr || link->procedureTable == nullptr) {
        return kNullMemoryPointer;
    }
    TableProcedure call = static_cast<TableProcedure*>(link->procedureTable)[procedure];
    if (call == nullptr) {
        return kNullMemoryPointer;
    }
    return call(link->data, params, size);
}

void freeRecord(VirtualDriver* vd, DriverRecord* record, bool lockReady)
{
    if (lockReady) {
        pthread_mutex_destroy(&record->queueLock);
    }
    vd->privateData = nullptr;
    delete record;
}

int DriverOpenImpl(VirtualDriver* vd, OpenParameters* params, uint16_t* size)
{
    TRACE_FUNCTION("DriverOpen");
    TRACE_INIT(0);
    TRACE_VERBOSE << "DriverOpen entered" << std::endl;
    if (vd == nullptr || params == nullptr) {
        TRACE_ERROR << "No driver record or open parameters given" << std::endl;
        return kOpenFailed;
    }
    if (size != nullptr) {
        *size = kOpenParametersSize;
    }

    TRACE_VERBOSE << "Opening channel [" << kChannelName << "]" << std::endl;
    OpenChannel openChannel{kChannelName, 0};
    WdInformation query{kInfoOpenVirtualChannel, &openChannel, sizeof(OpenChannel), 0};
    uint16_t querySize = sizeof(query);
    int rc = VdCallWdImpl(vd, kWdQueryInformation, &query, &querySize);
    if (rc != kSuccess) {
        TRACE_VERBOSE << "Could not open [" << kChannelName << "] rc [" << rc << "]" << std::endl;
        return rc;
    }
    const uint16_t channel = openChannel.channel;
    params->channelMask = channel < 32 ? 1U << channel : 0U;

    WriteHook hook{};
    hook.channel = channel;
    hook.vd = vd;
    hook.arrival = &ICADataArrival;
    WdInformation set{kInfoVirtualWriteHook, &hook, sizeof(WriteHook), 0};
    uint16_t setSize = sizeof(set);
    rc = VdCallWdImpl(vd, kWdSetInformation, &set, &setSize);
    TRACE_VERBOSE << "Writehook channel number [" << static_cast<unsigned>(channel) << "] data ["
                  << static_cast<const void*>(hook.wdData) << "] rc [" << rc << "]" << std::endl;
    if (rc != kSuccess) {
        TRACE_VERBOSE << "Could not register write hook rc [" << rc << "]" << std::endl;
        return rc;
    }
    if (hook.maximumWriteSize < kHeaderSize + kChannelByte) {
        TRACE_ERROR << "Maximum write size [" << static_cast<unsigned>(hook.maximumWriteSize)
                    << "] of the channel leaves no room for the 12-byte packet header; not connecting" << std::endl;
        return kOpenFailed;
    }
    if (hook.reserve == nullptr || hook.appendHeader == nullptr || hook.appendData == nullptr ||
        hook.write == nullptr) {
        TRACE_ERROR << "The write hook lacks a write procedure; not connecting" << std::endl;
        return kOpenFailed;
    }

    auto* record = new (std::nothrow) DriverRecord();
    if (record == nullptr) {
        TRACE_ERROR << "Failed to allocate the channel's record" << std::endl;
        return kNoMemory;
    }
    record->connection.writeData = &WriteDataCallback;
    record->wdData = hook.wdData;
    record->reserve = hook.reserve;
    record->appendHeader = hook.appendHeader;
    record->appendData = hook.appendData;
    record->write = hook.write;
    record->channel = channel;
    record->maximumPieceSize = static_cast<uint16_t>(hook.maximumWriteSize - kChannelByte);
    if (record->maximumPieceSize > kMaximumPieceSize) {
        TRACE_VERBOSE << "Limiting max data size from [" << static_cast<unsigned>(hook.maximumWriteSize) << "] to 1024"
                      << std::endl;
        record->maximumPieceSize = kMaximumPieceSize;
    }

    const int error = pthread_mutex_init(&record->queueLock, nullptr);
    if (error != 0) {
        TRACE_ERROR << "Failed to create outgoing data mutext error [" << static_cast<unsigned>(error) << "]"
                    << std::endl;
        freeRecord(vd, record, false);
        return kOpenFailed;
    }

    vd->privateData = record;
    TRACE_VERBOSE << "Connecting client [" << static_cast<const void*>(record) << "]..." << std::endl;
    if (!ClientConnected(&record->connection)) {
        TRACE_VERBOSE << "Failed to connect client [" << static_cast<const void*>(record) << "] to virtual channel"
                      << std::endl;
        freeRecord(vd, record, true);
        return kOpenFailed;
    }
    TRACE_VERBOSE << "Client [" << static_cast<const void*>(record) << "] connected successfully" << std::endl;
    return kSuccess;
}

int DriverCloseImpl(VirtualDriver* vd)
{
    TRACE_FUNCTION("DriverClose");
    DriverRecord* record = recordOf(vd);
    if (record == nullptr) {
        return kSuccess;
    }
    TRACE_VERBOSE << "Disconnecting client [" << static_cast<const void*>(record) << "]" << std::endl;
    // Once it returns the core never writes to this record again.
    ClientDisconnected(&record->connection);
    for (const OutgoingPiece& piece : record->queue) {
        TRACE_VERBOSE << "Deleting outgoing buffer [" << static_cast<const void*>(piece.bytes.data()) << "] length ["
                      << static_cast<unsigned>(piece.bytes.size()) << "]" << std::endl;
    }
    freeRecord(vd, record, true);
    return kSuccess;
}

int DriverInfoImpl(VirtualDriver* vd, DriverInfoArgument* info, uint16_t* size)
{
    TRACE_FUNCTION("DriverInfo");
    if (size != nullptr) {
        *size = kInfoArgumentSize;
    }
    if (info == nullptr) {
        return kNoOutputBuffer;
    }
    const uint16_t offered = info->byteCount;
    TRACE_VERBOSE << "Request for info with bytes [" << static_cast<unsigned>(offered) << "]" << std::endl;
    info->byteCount = kDriverInformationSize;
    if (info->buffer == nullptr || offered < kDriverInformationSize) {
        return kBufferTooSmall;
    }
    // Only the fields the driver reports; the engine's other bytes stay.
    auto* bytes = static_cast<uint8_t*>(info->buffer);
    const uint16_t byteCount = kDriverInformationSize;
    const uint32_t mask = vd != nullptr ? vd->channelMask : 0;
    std::memcpy(bytes + offsetof(ModuleHeader, byteCount), &byteCount, sizeof(byteCount));
    bytes[offsetof(ModuleHeader, moduleClass)] = kModuleClassVirtualDriver;
    bytes[offsetof(ModuleHeader, lowestVersion)] = 1;
    bytes[offsetof(ModuleHeader, highestVersion)] = 20;
    std::memcpy(bytes + offsetof(ModuleHeader, hostModuleName), "ICA", 4);
    std::memcpy(bytes + offsetof(DriverInformation, channelMask), &mask, sizeof(mask));
    bytes[offsetof(DriverInformation, flow.bandwidthQuota)] = 0;
    bytes[offsetof(DriverInformation, flow.flowType)] = 0;
    return kSuccess;
}

// Writes the queued pieces in order; a piece that fails stays at the head.
int DriverPollImpl(VirtualDriver* vd)
{
    TRACE_FUNCTION("DriverPoll");
    DriverRecord* record = recordOf(vd);
    if (record == nullptr || record->queued.load() == 0) {
        return kNoData;
    }
    QueueLock lock(record->queueLock, true);
    if (lock.error() != 0) {
        TRACE_ERROR << "Lock of outgoing queue failed error [" << lock.error() << "]" << std::endl;
        return kSuccess;
    }
    while (!record->queue.empty()) {
        OutgoingPiece& piece = record->queue.front();
        const auto length = static_cast<uint16_t>(piece.bytes.size());
        const char* failure = nullptr;
        int rc = record->reserve(record->wdData, static_cast<uint16_t>(length + kReserveOverhead));
        if (rc != kSuccess) {
            failure = "Failed to reserve outgoing data";
        } else if ((rc = record->appendHeader(record->wdData, record->channel, length)) != kSuccess) {
            failure = "Failed to append header to outgoing data";
        } else if ((rc = record->appendData(record->wdData, piece.bytes.data(), length)) != kSuccess) {
            failure = "Failed to append outgoing data";
        } else if ((rc = record->write(record->wdData)) != kSuccess) {
            failure = "Failed to write outgoing data";
        }
        if (failure != nullptr) {
            if (rc != piece.lastError) {
                TRACE_VERBOSE << failure << " [" << static_cast<const void*>(piece.bytes.data()) << "] length ["
                              << length << "] error [" << rc << "]. Will retry." << std::endl;
                piece.lastError = rc;
            }
            releaseQueueLock(lock, "DriverPoll");
            return kErrorRetry;
        }
        TRACE_VERBOSE << "Successfully wrote outgoing data [" << static_cast<const void*>(piece.bytes.data())
                      << "] length [" << static_cast<unsigned>(length) << "]." << std::endl;
        record->queue.pop_front();
        record->queued.store(record->queue.size());
    }
    releaseQueueLock(lock, "DriverPoll");
    return kSuccess;
}

int DriverQueryInformationImpl(WdInformation* query, uint16_t* size)
{
    TRACE_FUNCTION("DriverQueryInformation");
    TRACE_VERBOSE << "Request for info for class [" << (query != nullptr ? query->informationClass : -1) << "]"
                  << std::endl;
    if (size != nullptr) {
        *size = kQueryInformationSize;
    }
    return kSuccess;
}

int DriverSetInformationImpl(WdInformation* information)
{
    TRACE_FUNCTION("DriverSetInformation");
    TRACE_VERBOSE << "Set info for class [" << (information != nullptr ? information->informationClass : -1)
                  << "] data length [" << (information != nullptr ? static_cast<int>(information->length) : 0) << "]"
                  << std::endl;
    return kSuccess;
}

}  // namespace

// The exported data live under local names; the exported names are aliases.
using Procedure = void (*)();
static int LoadImpl(LibraryLink* link);
static int unload(void* data, void* param, uint16_t* size);
static int open(void* data, void* param, uint16_t* size);
static int DriverCloseProcedure(void* data, void* param, uint16_t* size);
static int DriverInfoProcedure(void* data, void* param, uint16_t* size);
static int DriverPollProcedure(void* data, void* param, uint16_t* size);
static int DriverQueryInformationProcedure(void* data, void* param, uint16_t* size);
static int DriverSetInformationProcedure(void* data, void* param, uint16_t* size);

static VirtualDriver sVdData __asm__("cvIcaVdData") = {};
static void* sLibMgrCallTable __asm__("cvIcaLibMgrCallTable") = nullptr;
static Procedure sVdProcedures[kVdProcedureCount] __asm__("cvIcaVdProcedures") = {
    reinterpret_cast<Procedure>(&LoadImpl),
    reinterpret_cast<Procedure>(&unload),
    reinterpret_cast<Procedure>(&open),
    reinterpret_cast<Procedure>(&DriverCloseProcedure),
    reinterpret_cast<Procedure>(&DriverInfoProcedure),
    reinterpret_cast<Procedure>(&DriverPollProcedure),
    reinterpret_cast<Procedure>(&DriverQueryInformationProcedure),
    reinterpret_cast<Procedure>(&DriverSetInformationProcedure),
};

extern "C" CVCLIENT_EXPORT VirtualDriver VdData __attribute__((alias("cvIcaVdData")));
extern "C" CVCLIENT_EXPORT void* g_pLibMgrCallTable __attribute__((alias("cvIcaLibMgrCallTable")));
extern "C" CVCLIENT_EXPORT Procedure VdProcedures[kVdProcedureCount] __attribute__((alias("cvIcaVdProcedures")));

static int LoadImpl(LibraryLink* link)
{
    if (link == nullptr) {
        return kNullMemoryPointer;
    }
    link->procedureCount = kVdProcedureCount;
    link->procedureTable = sVdProcedures;
    link->data = &sVdData;
    sLibMgrCallTable = link->libraryManagerCallTable;
    return kSuccess;
}

static int unload(void*, void* param, uint16_t*)
{
    if (auto* link = static_cast<LibraryLink*>(param)) {
        link->procedureCount = 0;
        link->procedureTable = nullptr;
        link->data = nullptr;
    }
    return kSuccess;
}

static int open(void*, void* param, uint16_t* size)
{
    return Base::guarded("open", kOpenFailed, [&] {
        auto* params = static_cast<OpenParameters*>(param);
        sVdData = VirtualDriver{};
        if (params != nullptr) {
            sVdData.wdLink = params->wdLink;
        }
        const int rc = DriverOpenImpl(&sVdData, params, size);
        if (params != nullptr) {
            sVdData.channelMask = params->channelMask;
        }
        return rc;
    });
}

static int DriverCloseProcedure(void* data, void*, uint16_t*)
{
    return Base::guarded("DriverClose", kSuccess, [&] { return DriverCloseImpl(static_cast<VirtualDriver*>(data)); });
}

static int DriverInfoProcedure(void* data, void* param, uint16_t* size)
{
    return Base::guarded("DriverInfo", kBufferTooSmall, [&] {
        return DriverInfoImpl(static_cast<VirtualDriver*>(data), static_cast<DriverInfoArgument*>(param), size);
    });
}

static int DriverPollProcedure(void* data, void*, uint16_t*)
{
    return Base::guarded("DriverPoll", kErrorRetry, [&] { return DriverPollImpl(static_cast<VirtualDriver*>(data)); });
}

static int DriverQueryInformationProcedure(void*, void* param, uint16_t* size)
{
    return Base::guarded("DriverQueryInformation", kSuccess,
                   [&] { return DriverQueryInformationImpl(static_cast<WdInformation*>(param), size); });
}

static int DriverSetInformationProcedure(void*, void* param, uint16_t*)
{
    return Base::guarded("DriverSetInformation", kSuccess,
                   [&] { return DriverSetInformationImpl(static_cast<WdInformation*>(param)); });
}

// The exported entry points.
extern "C" {

CVCLIENT_EXPORT int Load(LibraryLink* link)
{
    return LoadImpl(link);
}

CVCLIENT_EXPORT int DriverOpen(VirtualDriver* vd, OpenParameters* params, uint16_t* size)
{
    return Base::guarded("DriverOpen", kOpenFailed, [&] { return DriverOpenImpl(vd, params, size); });
}

CVCLIENT_EXPORT int DriverClose(VirtualDriver* vd, void* params, uint16_t* size)
{
    return DriverCloseProcedure(vd, params, size);
}

CVCLIENT_EXPORT int DriverInfo(VirtualDriver* vd, DriverInfoArgument* info, uint16_t* size)
{
    return DriverInfoProcedure(vd, info, size);
}

CVCLIENT_EXPORT int DriverPoll(VirtualDriver* vd, PollArgument* poll, uint16_t* size)
{
    return DriverPollProcedure(vd, poll, size);
}

CVCLIENT_EXPORT int DriverQueryInformation(VirtualDriver* vd, WdInformation* query, uint16_t* size)
{
    return DriverQueryInformationProcedure(vd, query, size);
}

CVCLIENT_EXPORT int DriverSetInformation(VirtualDriver* vd, WdInformation* information, uint16_t* size)
{
    return DriverSetInformationProcedure(vd, information, size);
}

CVCLIENT_EXPORT int DriverGetLastError(VirtualDriver*, void*)
{
    return Base::guarded("DriverGetLastError", kSuccess, [] {
        TRACE_FUNCTION("DriverGetLastError");
        TRACE_VERBOSE << "Request for error entered" << std::endl;
        return kSuccess;
    });
}

CVCLIENT_EXPORT int VdCallWd(VirtualDriver* vd, uint16_t procedure, void* params, uint16_t* size)
{
    return Base::guarded("VdCallWd", kNullMemoryPointer, [&] { return VdCallWdImpl(vd, procedure, params, size); });
}

CVCLIENT_EXPORT void* VdLibMgr()
{
    return sLibMgrCallTable;
}

}  // extern "C"
