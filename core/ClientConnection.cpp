// SPDX-License-Identifier: Apache-2.0
#include "core/ClientConnection.h"

#include "base/EngineThread.h"
#include "base/Logging.h"
#include "base/Policy.h"
#include "core/InitialiseData.h"
#include "core/PropertiesData.h"
#include "properties/Factory.h"
#include "providers/Categories.h"
#include "providers/device/NameProvider.h"
#include "providers/device/OSProvider.h"

#include <chrono>
#include <iostream>
#include <mutex>

namespace {

// The endpoint's name, id and OS as the Name and OS providers report them.
MessageEnvelope::Device readDevice()
{
    return {NameProvider::getDeviceName(), NameProvider::getDeviceId(), OSProvider::getDeviceOS()};
}

// The owner's policy, read at the first connection of the process.
void installPolicy()
{
    std::vector<std::string> names;
    for (const Factory::Entry& entry : Categories::table()) {
        names.emplace_back(entry.name);
    }
    const Base::Policy policy = Base::Policy::read(Base::Policy::kPath, names);
    if (!policy.problem().empty()) {
        TRACE_ERROR << "Policy [" << policy.source() << "] cannot be read [" << policy.problem()
                    << "]: no web requests and no category that makes them" << std::endl;
    } else if (policy.present()) {
        TRACE_INFO << "Policy in force: " << policy.describe() << std::endl;
    }
    Base::Policy::install(policy);
}

// The categories the policy leaves; each one it takes away is logged and
// then treated like a category the library does not have.
std::vector<std::shared_ptr<Category const>> allowedCategories(std::vector<std::shared_ptr<Category const>> categories)
{
    const std::shared_ptr<const Base::Policy> policy = Base::Policy::inForce();
    std::erase_if(categories, [&policy](const std::shared_ptr<Category const>& category) {
        bool web = false;
        for (const Factory::Entry& entry : Categories::table()) {
            web = web || (entry.name == category->name && entry.makesWebRequests);
        }
        TRACE_FUNCTION("ClientDataRead");
        if (category->status == 0 || policy->allowsCategory(category->name, web)) {
            return false;
        }
        TRACE_INFO << "Category [" << category->name << "] is denied by the policy [" << policy->source() << "]"
                   << std::endl;
        return true;
    });
    return categories;
}

}  // namespace

ClientConnection::ClientConnection(TConnection* connection)
    : _connection(connection), _orchestrator(std::make_shared<PropertiesOrchestrator>())
{
}

ClientConnection::~ClientConnection() = default;

bool ClientConnection::ClientConnected()
{
    TRACE_INFO << "Client [" << this << "] connected to the host" << std::endl;
    // The category table is the same for every connection: register it once per process.
    static std::once_flag registered;
    std::call_once(registered, [] {
        installPolicy();
        Factory::registerProviders(Categories::table());
    });
    return true;
}

void ClientConnection::ClientDataRead(const char* data, unsigned int length)
{
    const std::string content(data != nullptr ? data : "", data != nullptr ? length : 0);
    TRACE_VERBOSE << "Client [" << this << "] received length [" << length << "] content ["
                  << Base::LogContent{content} << "]" << std::endl;
    if (_initialised) {
        return;
    }
    const InitialiseData initialiseData(content);
    if (initialiseData.hasError()) {
        TRACE_WARNING << "Ignoring content since error detected by initialise data" << std::endl;
        return;
    }
    _initialised = true;
    _categories = allowedCategories(initialiseData.getCategories());
    _propertyCheckInterval = initialiseData.getPropertyCheckInterval();
    _hostVersion = initialiseData.getHostVersion();
    TRACE_VERBOSE << "Detecting initial properties asynchronously for [" << _categories.size() << "] categories..."
                << std::endl;
    Base::EngineThread::post([self = shared_from_this()] { self->HandleInitialise(); });
    TRACE_VERBOSE << "Continuing execution of data received thread." << std::endl;
}

void ClientConnection::HandleInitialise()
{
    try {
        if (_disconnected) {
            TRACE_INFO << "Client [" << this << "] disconnected before its properties were read" << std::endl;
        } else {
            Initialise();
        }
    } catch (const std::exception& error) {
        TRACE_ERROR << "Failed to initialise client [" << this << "] with error [" << error.what() << "]"
                  << std::endl;
    } catch (...) {
        TRACE_ERROR << "Unknown exception initialising client [" << this << "]" << std::endl;
    }
}

void ClientConnection::Initialise()
{
    TRACE_ENTER;
    // libsystemd (the device's id, the categories that ask D-Bus services)
    // loads here, with the first Initialise, not when the channel opened.
    _device = readDevice();
    _orchestrator->initialise(_categories, _hostVersion);
    std::weak_ptr<ClientConnection> self = weak_from_this();
    const PropertyMap initial = _orchestrator->getPropertiesAndMonitorForChanges(
        std::chrono::milliseconds(_propertyCheckInterval), [self](const PropertyChanges& changes) {
            if (auto connection = self.lock()) {
                connection->propertyChangeDetected(changes);
            }
        });
    const PropertiesData message(_device, "initializeDeviceProperties", initial, {});
    TRACE_VERBOSE << "Writing initialize data [" << Base::LogContent{{message.text(), message.length()}} << "]"
                  << std::endl;
    write(message.text(), message.length());
    TRACE_EXIT;
}

void ClientConnection::propertyChangeDetected(const PropertyChanges& changes)
{
    TRACE_ENTER;
    TRACE_INFO << "Found [" << changes.updated.size() << "] updated properties and [" << changes.removed.size()
             << "] removed" << std::endl;
    if (changes.empty()) {
        TRACE_EXIT;
        return;
    }
    const PropertiesData message(_device, "updateDeviceProperties", changes.updated, changes.removed);
    TRACE_VERBOSE << "Writing property change data [" << Base::LogContent{{message.text(), message.length()}} << "]"
                  << std::endl;
    write(message.text(), message.length());
    TRACE_EXIT;
}

void ClientConnection::ClientDisconnected()
{
    TRACE_INFO << "Client [" << this << "] disconnected from the host" << std::endl;
    _disconnected = true;
    {
        // Waits for a write in progress; none starts afterwards.
        std::lock_guard<std::mutex> lock(_writeMutex);
        _connection = nullptr;
    }
    // Stops the timer and hands closing the providers to the engine thread,
    // where it follows any reading in progress; does not wait for that.
    _orchestrator->shutdown();
}

void ClientConnection::write(const char* text, std::size_t length)
{
    std::lock_guard<std::mutex> lock(_writeMutex);
    if (_connection == nullptr) {
        TRACE_INFO << "Not writing [" << length << "] bytes since the client has disconnected" << std::endl;
        return;
    }
    if (_connection->writeData == nullptr) {
        TRACE_ERROR << "Not writing [" << length << "] bytes since the transport has no write function" << std::endl;
        return;
    }
    _connection->writeData(_connection, text, static_cast<unsigned int>(length));
}
