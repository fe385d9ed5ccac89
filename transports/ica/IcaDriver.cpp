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
#include "core/cvclient.h"
#include "transports/PacketFraming.h"

#include <pthread.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <exception>
#include <deque>
#include <new>
#include <type_traits>
#include <vector>

using namespace IcaAbi;

namespace {

constexpr int kVerbose = 7;
constexpr int kError = 3;

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
        Log(kError, function, "Failed to unlock outgoing queue error [%d]", error);
    }
}

// What reassembly of the received pieces found, in the driver's words.
class ArrivalSink final : public Framing::Sink {
public:
    explicit ArrivalSink(DriverRecord& record) : _record(record) {}

    void incomplete(std::size_t buffered, const Framing::Header& header) override
    {
        Log(kVerbose, kFunction, "Incoming buffer has [%u] bytes but [%u] expected", static_cast<unsigned>(buffered),
            header.length);
    }
    void accepted(const Framing::Header& header, const char* payload, uint32_t payloadLength) override
    {
        Log(kVerbose, kFunction, "Forwarding content of length [%u] to client", header.length);
        ClientDataRead(&_record.connection, payload, payloadLength);
    }
    void rejected(const Framing::Header& header) override
    {
        Log(kVerbose, kFunction, "Unable to handle content length [%u] type [%u] encoding [%u]. Aborting packet.",
            header.length, header.type, header.encoding);
    }
    void unframeable(const Framing::Header& header, std::size_t discarded) override
    {
        Log(kError, kFunction,
            "Incoming packet length [%u] is impossible (a packet has 12 to %u bytes): discarded [%u] buffered bytes",
            header.length, Framing::kMaximumPacketLength, static_cast<unsigned>(discarded));
    }

private:
    static constexpr const char* kFunction = "ICADataArrival";
    DriverRecord& _record;
};

// The write hook's data-arrival procedure: a piece received on the channel.
int ICADataArrival(void* vd, uint16_t, uint8_t* data, uint16_t length)
{
    return Base::guarded("ICADataArrival", kSuccess, [&] {
        DriverRecord* record = recordOf(vd);
        if (record == nullptr) {
            Log(kError, "ICADataArrival", "Dropping [%u] bytes received while no channel is open",
                static_cast<unsigned>(length));
            return kSuccess;
        }
        const std::size_t current = record->incoming.buffered();
        Log(kVerbose, "ICADataArrival", "Received data of length [%d] current [%d]", static_cast<int>(length),
            static_cast<int>(current));
        if (length > 0 && data == nullptr) {
            return kSuccess;
        }
        if (!record->incoming.append(data, length)) {
            Log(kVerbose, "ICADataArrival",
                "Failed to allocate buffer for incoming data of length [%u] size [%u] current [%u]. Aborting packet.",
                static_cast<unsigned>(length), static_cast<unsigned>(current + length),
                static_cast<unsigned>(current));
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
            Log(kError, "WriteDataCallback", "Failed to allocate queued buffer. Data length [%u] will be ignored!",
                length);
            return 0;
        }

        QueueLock lock(record->queueLock, false);
        if (lock.error() != 0) {
            Log(kError, "WriteDataCallback", "Lock of outgoing queue failed error [%d]", lock.error());
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
            Log(kError, "WriteDataCallback", "Failed to allocate queued buffer. Data length [%u] will be ignored!",
                length);
            return 0;
        }
        for (std::size_t index = before; index < record->queue.size(); ++index) {
            const OutgoingPiece& piece = record->queue[index];
            Log(kVerbose, "WriteDataCallback",
                index == 0 ? "Created outgoing packet [%p] length [%u]" : "Appended outgoing packet [%p] length [%u]",
                static_cast<const void*>(piece.bytes.data()), static_cast<unsigned>(piece.bytes.size()));
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
    TRACE_INIT(0);
    Log(kVerbose, "DriverOpen", "DriverOpen entered");
    if (vd == nullptr || params == nullptr) {
        Log(kError, "DriverOpen", "No driver record or open parameters given");
        return kOpenFailed;
    }
    if (size != nullptr) {
        *size = kOpenParametersSize;
    }

    Log(kVerbose, "DriverOpen", "Opening channel [%s]", kChannelName);
    OpenChannel openChannel{kChannelName, 0};
    WdInformation query{kInfoOpenVirtualChannel, &openChannel, sizeof(OpenChannel), 0};
    uint16_t querySize = sizeof(query);
    int rc = VdCallWdImpl(vd, kWdQueryInformation, &query, &querySize);
    if (rc != kSuccess) {
        Log(kVerbose, "DriverOpen", "Could not open [%s] rc [%d]", kChannelName, rc);
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
    Log(kVerbose, "DriverOpen", "Writehook channel number [%u] data [%p] rc [%d]", static_cast<unsigned>(channel),
        hook.wdData, rc);
    if (rc != kSuccess) {
        Log(kVerbose, "DriverOpen", "Could not register write hook rc [%d]", rc);
        return rc;
    }
    if (hook.maximumWriteSize < kHeaderSize + kChannelByte) {
        Log(kError, "DriverOpen",
            "Maximum write size [%u] of the channel leaves no room for the 12-byte packet header; not connecting",
            static_cast<unsigned>(hook.maximumWriteSize));
        return kOpenFailed;
    }
    if (hook.reserve == nullptr || hook.appendHeader == nullptr || hook.appendData == nullptr ||
        hook.write == nullptr) {
        Log(kError, "DriverOpen", "The write hook lacks a write procedure; not connecting");
        return kOpenFailed;
    }

    auto* record = new (std::nothrow) DriverRecord();
    if (record == nullptr) {
        Log(kError, "DriverOpen", "Failed to allocate the channel's record");
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
        Log(kVerbose, "DriverOpen", "Limiting max data size from [%u] to 1024",
            static_cast<unsigned>(hook.maximumWriteSize));
        record->maximumPieceSize = kMaximumPieceSize;
    }

    const int error = pthread_mutex_init(&record->queueLock, nullptr);
    if (error != 0) {
        Log(kError, "DriverOpen", "Failed to create outgoing data mutext error [%u]", static_cast<unsigned>(error));
        freeRecord(vd, record, false);
        return kOpenFailed;
    }

    vd->privateData = record;
    Log(kVerbose, "DriverOpen", "Connecting client [%p]...", static_cast<void*>(record));
    if (!ClientConnected(&record->connection)) {
        Log(kVerbose, "DriverOpen", "Failed to connect client [%p] to virtual channel", static_cast<void*>(record));
        freeRecord(vd, record, true);
        return kOpenFailed;
    }
    Log(kVerbose, "DriverOpen", "Client [%p] connected successfully", static_cast<void*>(record));
    return kSuccess;
}

int DriverCloseImpl(VirtualDriver* vd)
{
    DriverRecord* record = recordOf(vd);
    if (record == nullptr) {
        return kSuccess;
    }
    Log(kVerbose, "DriverClose", "Disconnecting client [%p]", static_cast<void*>(record));
    // Once it returns the core never writes to this record again.
    ClientDisconnected(&record->connection);
    for (const OutgoingPiece& piece : record->queue) {
        Log(kVerbose, "DriverClose", "Deleting outgoing buffer [%p] length [%u]",
            static_cast<const void*>(piece.bytes.data()), static_cast<unsigned>(piece.bytes.size()));
    }
    freeRecord(vd, record, true);
    return kSuccess;
}

int DriverInfoImpl(VirtualDriver* vd, DriverInfoArgument* info, uint16_t* size)
{
    if (size != nullptr) {
        *size = kInfoArgumentSize;
    }
    if (info == nullptr) {
        return kNoOutputBuffer;
    }
    const uint16_t offered = info->byteCount;
    Log(kVerbose, "DriverInfo", "Request for info with bytes [%u]", static_cast<unsigned>(offered));
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
    DriverRecord* record = recordOf(vd);
    if (record == nullptr || record->queued.load() == 0) {
        return kNoData;
    }
    QueueLock lock(record->queueLock, true);
    if (lock.error() != 0) {
        Log(kError, "DriverPoll", "Lock of outgoing queue failed error [%d]", lock.error());
        return kSuccess;
    }
    while (!record->queue.empty()) {
        OutgoingPiece& piece = record->queue.front();
        const auto length = static_cast<uint16_t>(piece.bytes.size());
        const char* failure = nullptr;
        int rc = record->reserve(record->wdData, static_cast<uint16_t>(length + kReserveOverhead));
        if (rc != kSuccess) {
            failure = "Failed to reserve outgoing data [%p] length [%u] error [%d]. Will retry.";
        } else if ((rc = record->appendHeader(record->wdData, record->channel, length)) != kSuccess) {
            failure = "Failed to append header to outgoing data [%p] length [%u] error [%d]. Will retry.";
        } else if ((rc = record->appendData(record->wdData, piece.bytes.data(), length)) != kSuccess) {
            failure = "Failed to append outgoing data [%p] length [%u] error [%d]. Will retry.";
        } else if ((rc = record->write(record->wdData)) != kSuccess) {
            failure = "Failed to write outgoing data [%p] length [%u] error [%d]. Will retry.";
        }
        if (failure != nullptr) {
            if (rc != piece.lastError) {
                Log(kVerbose, "DriverPoll", failure, static_cast<void*>(piece.bytes.data()),
                    static_cast<unsigned>(length), rc);
                piece.lastError = rc;
            }
            releaseQueueLock(lock, "DriverPoll");
            return kErrorRetry;
        }
        Log(kVerbose, "DriverPoll", "Successfully wrote outgoing data [%p] length [%u].",
            static_cast<void*>(piece.bytes.data()), static_cast<unsigned>(length));
        record->queue.pop_front();
        record->queued.store(record->queue.size());
    }
    releaseQueueLock(lock, "DriverPoll");
    return kSuccess;
}

int DriverQueryInformationImpl(WdInformation* query, uint16_t* size)
{
    Log(kVerbose, "DriverQueryInformation", "Request for info for class [%d]",
        query != nullptr ? query->informationClass : -1);
    if (size != nullptr) {
        *size = kQueryInformationSize;
    }
    return kSuccess;
}

int DriverSetInformationImpl(WdInformation* information)
{
    Log(kVerbose, "DriverSetInformation", "Set info for class [%d] data length [%d]",
        information != nullptr ? information->informationClass : -1,
        information != nullptr ? static_cast<int>(information->length) : 0);
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
        Log(kVerbose, "DriverGetLastError", "Request for error entered");
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
