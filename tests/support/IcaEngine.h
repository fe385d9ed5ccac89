// SPDX-License-Identifier: Apache-2.0
// The ICA client's engine as it drives the library's virtual driver: a winstation driver (channel 5 unless told
// otherwise) and the write hook's procedures, which collect the pieces; rule breaks go to `protocolErrors`.
#pragma once
#include "support/LoadedLibrary.h"
#include "transports/ica/IcaAbi.h"
#include <cstring>
#include <numeric>
#include <string>
#include <vector>
namespace TestSupport {
template <typename Function>
Function icaEntry(const char* name)
{
    return library(), entryPoint<Function>(name);  // loaded, logging initialised
}

class IcaEngine {
public:
    uint16_t channel = 5, maximumWriteSize = 1025;
    IcaAbi::WriteHook hook{};
    std::vector<std::string> pieces, protocolErrors;
    std::vector<unsigned> reserved, headerSizes;
    IcaAbi::LibraryLink wdLink{}, vdLink{};
    IcaAbi::OpenParameters params{&vdLink, &wdLink, 0, nullptr, nullptr, nullptr};
    int callTable[4]{};
    IcaEngine()
    {
        _wdTable[IcaAbi::kWdQueryInformation] = &queryInformation;
        _wdTable[IcaAbi::kWdSetInformation] = &setInformation;
        wdLink.procedureCount = 8;
        wdLink.procedureTable = _wdTable;
        wdLink.data = this;
        vdLink.libraryManagerCallTable = callTable;
    }
    ~IcaEngine() { close(); }
    template <typename Function>
    Function slot(int index) const
    {
        return reinterpret_cast<Function>(static_cast<void (**)()>(vdLink.procedureTable)[index]);
    }
    int open(uint16_t* size = nullptr)
    {
        check(icaEntry<IcaAbi::LoadFunction>("Load")(&vdLink) == IcaAbi::kSuccess, "Load failed");
        return slot<IcaAbi::TableProcedure>(IcaAbi::kSlotOpen)(vdLink.data, &params, size ? size : &_size);
    }
    int close() { return vdLink.data ? slot<IcaAbi::TableProcedure>(IcaAbi::kSlotClose)(&vd(), nullptr, nullptr) : 0; }
    int poll() { return slot<IcaAbi::TableProcedure>(IcaAbi::kSlotPoll)(&vd(), nullptr, nullptr); }
    IcaAbi::VirtualDriver& vd() const { return *static_cast<IcaAbi::VirtualDriver*>(vdLink.data); }
    // The driver record starts with the connection the core writes through.
    void send(const std::string& message) const
    {
        auto* connection = static_cast<TConnection*>(vd().privateData);
        connection->writeData(connection, message.c_str(), static_cast<unsigned>(message.size()));
    }
    int arrive(std::string bytes) const
    {
        return hook.arrival(hook.vd, channel, reinterpret_cast<uint8_t*>(bytes.data()), static_cast<uint16_t>(bytes.size()));
    }
    std::string stream() const { return std::accumulate(pieces.begin(), pieces.end(), std::string()); }
private:
    static IcaEngine& of(void* data) { return *static_cast<IcaEngine*>(data); }
    void check(bool holds, const char* what)
    {
        if (!holds) { protocolErrors.push_back(what); }
    }
    static int queryInformation(void* data, void* param, uint16_t*)
    {
        auto* query = static_cast<IcaAbi::WdInformation*>(param);
        auto* open = static_cast<IcaAbi::OpenChannel*>(query->information);
        of(data).check(query->informationClass == IcaAbi::kInfoOpenVirtualChannel, "query of another class");
        of(data).check(std::strcmp(open->name, "CRVLINK") == 0, "open of another channel");
        open->channel = of(data).channel;
        return IcaAbi::kSuccess;
    }
    static int setInformation(void* data, void* param, uint16_t*)
    {
        auto* set = static_cast<IcaAbi::WdInformation*>(param);
        auto* hook = static_cast<IcaAbi::WriteHook*>(set->information);
        of(data).check(set->informationClass == IcaAbi::kInfoVirtualWriteHook, "set of another class");
        of(data).check(set->length == sizeof(IcaAbi::WriteHook), "write hook of another size");
        of(data).check(hook->channel == of(data).channel, "write hook for another channel");
        hook->wdData = data;
        hook->reserve = [](void* wd, uint16_t bytes) { return of(wd)._current.clear(), of(wd).reserved.push_back(bytes), 0; };
        hook->appendHeader = [](void* wd, uint16_t channel, uint16_t bytes) {
            of(wd).check(channel == of(wd).channel, "header for another channel");
            return of(wd).headerSizes.push_back(bytes), 0;
        };
        hook->appendData = [](void* wd, uint8_t* bytes, uint16_t length) {
            return of(wd)._current.append(reinterpret_cast<const char*>(bytes), length), 0;
        };
        hook->write = [](void* wd) { return of(wd).pieces.push_back(of(wd)._current), 0; };
        hook->maximumWriteSize = of(data).maximumWriteSize;
        of(data).hook = *hook;
        return IcaAbi::kSuccess;
    }
    IcaAbi::TableProcedure _wdTable[8]{};
    std::string _current;
    uint16_t _size = 0;
};
}  // namespace TestSupport
