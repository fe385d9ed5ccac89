// SPDX-License-Identifier: Apache-2.0
// FreeRDP's dynamic channel manager as it drives the RDP plugin: its tables played here, real winpr streams. One client
// at a time.
#pragma once
#include "support/LoadedLibrary.h"
#include <freerdp/dvc.h>
#include <winpr/stream.h>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>
namespace TestSupport {
struct RdpClient {
    IDRDYNVC_ENTRY_POINTS entry{};
    IWTSVirtualChannelManager manager{};
    IWTSVirtualChannel channel{};
    IWTSPlugin* plugin = nullptr;
    int registrations = 0;
    std::string pluginName, listenerName;  // as registered, as the listener was created
    IWTSListenerCallback* listener = nullptr;
    IWTSVirtualChannelCallback* callback = nullptr;
    std::mutex mutex;
    std::vector<std::string> writes;
    static inline RdpClient* self = nullptr;
    RdpClient()
    {
        self = this;
        entry.RegisterPlugin = [](IDRDYNVC_ENTRY_POINTS*, const char* name, IWTSPlugin* plugin) -> UINT {
            return self->pluginName = name, self->plugin = plugin, ++self->registrations, 0;
        };
        entry.GetPlugin = [](IDRDYNVC_ENTRY_POINTS*, const char* name) { return std::strcmp(name, "Corvane") ? nullptr : self->plugin; };
        manager.CreateListener = [](IWTSVirtualChannelManager*, const char* name, ULONG flags,
                                    IWTSListenerCallback* listener, IWTSListener**) -> UINT {
            return self->listenerName = name, self->listener = listener, flags;
        };
        channel.Write = [](IWTSVirtualChannel*, ULONG size, const BYTE* buffer, void*) -> UINT {
            const std::lock_guard<std::mutex> lock(self->mutex);
            return self->writes.emplace_back(reinterpret_cast<const char*>(buffer), size), 0;
        };
    }
    ~RdpClient() { self = nullptr; }
    static UINT pluginEntry(IDRDYNVC_ENTRY_POINTS* entryPoints)
    {
        return entryPoint<UINT (*)(IDRDYNVC_ENTRY_POINTS*)>("DVCPluginEntry")(entryPoints);
    }
    // Registration, initialisation and a channel opened by the host; false when any step failed or the channel was
    // refused.
    bool open()
    {
        BOOL accept = TRUE;
        return pluginEntry(&entry) == 0 && plugin != nullptr && plugin->Initialize(plugin, &manager) == 0 &&
               listener != nullptr && listener->OnNewChannelConnection(listener, &channel, nullptr, &accept, &callback) == 0 &&
               callback != nullptr && accept;
    }
    // One data event carrying `bytes`; the plugin's result.
    UINT receive(const std::string& bytes)
    {
        wStream* stream = Stream_New(nullptr, bytes.size() + 1);
        Stream_Write(stream, bytes.data(), bytes.size());
        Stream_SealLength(stream);
        Stream_SetPosition(stream, 0);
        const UINT result = callback->OnDataReceived(callback, stream);
        Stream_Free(stream, TRUE);
        return result;
    }
    // The channel closes, then the plugin is terminated; false when either failed.
    bool close() { const bool closed = callback->OnClose(callback) == 0; return plugin->Terminated(plugin) == 0 && closed; }
    std::vector<std::string> written() { return std::lock_guard<std::mutex>(mutex), writes; }
};
}  // namespace TestSupport
