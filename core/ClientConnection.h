// SPDX-License-Identifier: Apache-2.0
// The core's state for one open channel: waits for the host's Initialise
// message, then runs the property engine on the library's engine thread
// (base/EngineThread.h) and writes every property message through the
// transport's writeData. The transport's calls only parse and hand work on:
// none of them waits for a reading.
//
// Owned through std::shared_ptr: the transport's handle is one owner, and
// work queued on the engine thread holds another, so a disconnect never frees
// a connection that queued work still uses. Writes go through a lock that the
// disconnect takes too: once ClientDisconnected has returned, writeData is
// never called for the record again.
#pragma once

#include "core/MessageEnvelope.h"
#include "core/cvclient.h"
#include "properties/Category.h"
#include "properties/PropertiesOrchestrator.h"
#include "properties/PropertyMap.h"

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

class ClientConnection : public std::enable_shared_from_this<ClientConnection> {
public:
    explicit ClientConnection(TConnection* connection);
    ~ClientConnection();

    ClientConnection(const ClientConnection&) = delete;
    ClientConnection& operator=(const ClientConnection&) = delete;

    bool ClientConnected();
    void ClientDataRead(const char* data, unsigned int length);
    void ClientDisconnected();

    // The queued Initialise work, on the engine thread.
    void HandleInitialise();
    void Initialise();
    void propertyChangeDetected(const PropertyChanges& changes);

private:
    // Hands `text` to the transport unless the channel has closed.
    void write(const char* text, std::size_t length);

    std::mutex _writeMutex;
    TConnection* _connection;
    bool _initialised = false;
    std::atomic<bool> _disconnected{false};
    std::vector<std::shared_ptr<Category const>> _categories;
    int32_t _propertyCheckInterval = 1000;
    std::string _hostVersion;
    // Read on the engine thread before the first message is built.
    MessageEnvelope::Device _device;
    std::shared_ptr<PropertiesOrchestrator> _orchestrator;
};
