// SPDX-License-Identifier: Apache-2.0
// The exported C entry points through which a transport hands a channel to
// the core. No exception ever leaves them: the caller is a C program.
#include "base/EngineThread.h"
#include "base/Guard.h"
#include "base/Logging.h"
#include "base/Utilities.h"
#include "core/ClientConnection.h"
#include "core/cvclient.h"

#include <iostream>
#include <memory>

namespace {

using ConnectionHandle = std::shared_ptr<ClientConnection>;

ConnectionHandle* handleOf(TConnection* record)
{
    return record != nullptr ? static_cast<ConnectionHandle*>(record->clientConnection) : nullptr;
}

// The library always runs its work on a thread of its own; the setting that
// once asked for that is still accepted.
void checkMainLoopSetting()
{
    const std::string mode = Utilities::getEnvironmentVariable("CORVANE_MAIN_LOOP", "");
    if (!mode.empty() && mode != "thread") {
        TRACE_FUNCTION("ClientConnected");
        TRACE_WARNING << "Ignoring CORVANE_MAIN_LOOP [" << mode << "]; the only mode is [thread]" << std::endl;
    }
}

}  // namespace

extern "C" bool ClientConnected(TConnection* connection)
{
    bool connected = false;
    Base::guarded(__func__, [&] {
        TRACE_FUNCTION("ClientConnected");
        TRACE_ENTER;
        if (connection == nullptr) {
            TRACE_ERROR << "No connection record given" << std::endl;
            return;
        }
        checkMainLoopSetting();
        auto client = std::make_shared<ClientConnection>(connection);
        connected = client->ClientConnected();
        if (connected) {
            connection->clientConnection = new ConnectionHandle(std::move(client));
        }
        TRACE_EXIT;
    });
    return connected;
}

extern "C" void ClientDataRead(TConnection* connection, const char* data, unsigned int length)
{
    Base::guarded(__func__, [&] {
        TRACE_FUNCTION("ClientDataRead");
        TRACE_ENTER;
        TRACE_INFO << "Read " << length << " bytes from host" << std::endl;
        if (ConnectionHandle* handle = handleOf(connection)) {
            (*handle)->ClientDataRead(data, length);
        } else {
            TRACE_ERROR << "Ignoring data for a connection that is not connected" << std::endl;
        }
        TRACE_EXIT;
    });
}

extern "C" void ClientDisconnected(TConnection* connection)
{
    Base::guarded(__func__, [&] {
        TRACE_FUNCTION("ClientDisconnected");
        TRACE_ENTER;
        ConnectionHandle* handle = handleOf(connection);
        if (handle != nullptr) {
            (*handle)->ClientDisconnected();
        }
        TRACE_EXIT;
        // The transport's ownership ends here; work still queued on the engine
        // thread keeps the object until it has run. The record no longer
        // points at it, so a stray later call finds no connection.
        delete handle;
        if (connection != nullptr) {
            connection->clientConnection = nullptr;
        }
    });
}
