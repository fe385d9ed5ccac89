// SPDX-License-Identifier: Apache-2.0
// The binary interface between the ICA client's engine and a virtual driver
// on x86-64 Linux: plain C calling convention, 16-bit fields as uint16_t,
// 32-bit ULONG and int, 8-byte pointers. Every size and offset below is what
// the engine reads and writes; the static_asserts keep them from drifting.
#pragma once

#include <cstddef>
#include <cstdint>

namespace IcaAbi {

// Status values.
constexpr int kSuccess = 0;
constexpr int kNoData = 21;
constexpr int kErrorRetry = 30;
constexpr int kOpenFailed = 1000;  // DriverOpen failed after the channel was opened
constexpr int kNoMemory = 1001;
constexpr int kBufferTooSmall = 1004;
constexpr int kNullMemoryPointer = 1011;  // no winstation-driver procedure table
constexpr int kNoOutputBuffer = 1016;
constexpr int kBufferBusy = 2201;

// Winstation-driver procedure indexes and information classes.
constexpr uint16_t kWdQueryInformation = 6;
constexpr uint16_t kWdSetInformation = 7;
constexpr int kInfoVirtualWriteHook = 10;
constexpr int kInfoOpenVirtualChannel = 33;

// The module class a virtual driver reports about itself.
constexpr uint8_t kModuleClassVirtualDriver = 3;

// A procedure of a procedure table (the winstation driver's or ours).
using TableProcedure = int (*)(void* data, void* param, uint16_t* size);

// How a loaded library is linked into the engine; the engine hands the same
// record to Load and to the procedures of the library's table.
struct LibraryLink {
    uint16_t unused;
    uint16_t dllSize;
    uint16_t procedureCount;
    void* procedureTable;
    void* data;
    void* unusedPointer;
    char moduleName[14];
    void* libraryManagerCallTable;
    uint16_t moduleDate;
    uint16_t moduleTime;
    uint32_t moduleSize;
    LibraryLink* next;
    uint32_t flags;
    char* alternativeLoadName;
    void* libraryHandle;
};
static_assert(sizeof(LibraryLink) == 96);
static_assert(offsetof(LibraryLink, dllSize) == 2);
static_assert(offsetof(LibraryLink, procedureCount) == 4);
static_assert(offsetof(LibraryLink, procedureTable) == 8);
static_assert(offsetof(LibraryLink, data) == 16);
static_assert(offsetof(LibraryLink, unusedPointer) == 24);
static_assert(offsetof(LibraryLink, moduleName) == 32);
static_assert(offsetof(LibraryLink, libraryManagerCallTable) == 48);
static_assert(offsetof(LibraryLink, moduleDate) == 56);
static_assert(offsetof(LibraryLink, moduleTime) == 58);
static_assert(offsetof(LibraryLink, moduleSize) == 60);
static_assert(offsetof(LibraryLink, next) == 64);
static_assert(offsetof(LibraryLink, flags) == 72);
static_assert(offsetof(LibraryLink, alternativeLoadName) == 80);
static_assert(offsetof(LibraryLink, libraryHandle) == 88);

// The virtual driver's own record; the engine passes it to every procedure.
struct VirtualDriver {
    uint32_t channelMask;
    LibraryLink* wdLink;
    int lastError;
    void* privateData;
};
static_assert(sizeof(VirtualDriver) == 32);
static_assert(offsetof(VirtualDriver, channelMask) == 0);
static_assert(offsetof(VirtualDriver, wdLink) == 8);
static_assert(offsetof(VirtualDriver, lastError) == 16);
static_assert(offsetof(VirtualDriver, privateData) == 24);

// What the engine passes to the open procedure.
struct OpenParameters {
    LibraryLink* vdLink;
    LibraryLink* wdLink;
    uint32_t channelMask;
    void* reservedProcedure;
    void* statusMessageProcedure;
    void* engineHandle;
};
static_assert(sizeof(OpenParameters) == 48);
static_assert(offsetof(OpenParameters, vdLink) == 0);
static_assert(offsetof(OpenParameters, wdLink) == 8);
static_assert(offsetof(OpenParameters, channelMask) == 16);
static_assert(offsetof(OpenParameters, reservedProcedure) == 24);
static_assert(offsetof(OpenParameters, statusMessageProcedure) == 32);
static_assert(offsetof(OpenParameters, engineHandle) == 40);

// A winstation driver's query or set information block.
struct WdInformation {
    int informationClass;
    void* information;
    uint16_t length;
    uint16_t returnLength;
};
static_assert(sizeof(WdInformation) == 24);
static_assert(offsetof(WdInformation, informationClass) == 0);
static_assert(offsetof(WdInformation, information) == 8);
static_assert(offsetof(WdInformation, length) == 16);
static_assert(offsetof(WdInformation, returnLength) == 18);

// Opening a virtual channel by name; the engine fills the channel number.
struct OpenChannel {
    char* name;
    uint16_t channel;
};
static_assert(sizeof(OpenChannel) == 16);
static_assert(offsetof(OpenChannel, name) == 0);
static_assert(offsetof(OpenChannel, channel) == 8);

using ArrivalProcedure = int (*)(void* vd, uint16_t channel, uint8_t* data, uint16_t length);
using ReserveProcedure = int (*)(void* wd, uint16_t bytes);
using AppendDataProcedure = int (*)(void* wd, uint8_t* data, uint16_t bytes);
using WriteProcedure = int (*)(void* wd);
using AppendHeaderProcedure = int (*)(void* wd, uint16_t channel, uint16_t bytes);

// The virtual write hook: the driver fills the first three fields, the
// winstation driver the rest.
struct WriteHook {
    uint16_t channel;
    void* vd;
    ArrivalProcedure arrival;
    void* wdData;
    ReserveProcedure reserve;
    AppendDataProcedure appendData;
    WriteProcedure write;
    AppendHeaderProcedure appendHeader;
    uint16_t maximumWriteSize;  // includes one channel byte
    void* queueVirtualWrite;
};
static_assert(sizeof(WriteHook) == 80);
static_assert(offsetof(WriteHook, channel) == 0);
static_assert(offsetof(WriteHook, vd) == 8);
static_assert(offsetof(WriteHook, arrival) == 16);
static_assert(offsetof(WriteHook, wdData) == 24);
static_assert(offsetof(WriteHook, reserve) == 32);
static_assert(offsetof(WriteHook, appendData) == 40);
static_assert(offsetof(WriteHook, write) == 48);
static_assert(offsetof(WriteHook, appendHeader) == 56);
static_assert(offsetof(WriteHook, maximumWriteSize) == 64);
static_assert(offsetof(WriteHook, queueVirtualWrite) == 72);

// What DriverInfo writes: a module header, the channel mask and flow control.
struct ModuleHeader {
    uint16_t byteCount;
    uint8_t moduleCount;
    uint8_t moduleClass;
    uint8_t lowestVersion;
    uint8_t highestVersion;
    char moduleName[13];
    char hostModuleName[9];
    uint16_t moduleDate;
    uint16_t moduleTime;
    uint32_t moduleSize;
};
static_assert(sizeof(ModuleHeader) == 36);
static_assert(offsetof(ModuleHeader, moduleCount) == 2);
static_assert(offsetof(ModuleHeader, moduleClass) == 3);
static_assert(offsetof(ModuleHeader, lowestVersion) == 4);
static_assert(offsetof(ModuleHeader, highestVersion) == 5);
static_assert(offsetof(ModuleHeader, moduleName) == 6);
static_assert(offsetof(ModuleHeader, hostModuleName) == 19);
static_assert(offsetof(ModuleHeader, moduleDate) == 28);
static_assert(offsetof(ModuleHeader, moduleTime) == 30);
static_assert(offsetof(ModuleHeader, moduleSize) == 32);

struct FlowControl {
    uint8_t bandwidthQuota;
    uint8_t flowType;  // 0: none
    uint8_t reserved[6];
};
static_assert(sizeof(FlowControl) == 8);

struct DriverInformation {
    ModuleHeader header;
    uint32_t channelMask;
    FlowControl flow;
};
static_assert(sizeof(DriverInformation) == 48);
static_assert(offsetof(DriverInformation, channelMask) == 36);
static_assert(offsetof(DriverInformation, flow) == 40);
static_assert(offsetof(DriverInformation, flow.flowType) == 41);

// DriverInfo's argument: the engine's buffer and its size in bytes.
struct DriverInfoArgument {
    void* buffer;
    uint16_t byteCount;
};
static_assert(sizeof(DriverInfoArgument) == 16);
static_assert(offsetof(DriverInfoArgument, byteCount) == 8);

// DriverPoll's argument.
struct PollArgument {
    uint32_t currentTime;  // milliseconds
};
static_assert(sizeof(PollArgument) == 4);

// The exported entry points, as the engine (and the tests) call them.
using LoadFunction = int (*)(LibraryLink* link);
using DriverOpenFunction = int (*)(VirtualDriver* vd, OpenParameters* params, uint16_t* size);
using DriverCloseFunction = int (*)(VirtualDriver* vd, void* params, uint16_t* size);
using DriverInfoFunction = int (*)(VirtualDriver* vd, DriverInfoArgument* info, uint16_t* size);
using DriverPollFunction = int (*)(VirtualDriver* vd, PollArgument* poll, uint16_t* size);
using DriverQueryInformationFunction = int (*)(VirtualDriver* vd, WdInformation* query, uint16_t* size);
using DriverSetInformationFunction = int (*)(VirtualDriver* vd, WdInformation* information, uint16_t* size);
using DriverGetLastErrorFunction = int (*)(VirtualDriver* vd, void* lastError);
using VdCallWdFunction = int (*)(VirtualDriver* vd, uint16_t procedure, void* params, uint16_t* size);
using VdLibMgrFunction = void* (*)();

// Slots of the procedure table Load hands to the engine.
enum VdProcedureSlot : int {
    kSlotLoad = 0,
    kSlotUnload = 1,
    kSlotOpen = 2,
    kSlotClose = 3,
    kSlotInfo = 4,
    kSlotPoll = 5,
    kSlotQueryInformation = 6,
    kSlotSetInformation = 7,
    kVdProcedureCount = 8,
};

}  // namespace IcaAbi
