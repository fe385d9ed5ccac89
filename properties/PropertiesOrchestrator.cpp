// SPDX-License-Identifier: Apache-2.0
#include "properties/PropertiesOrchestrator.h"

#include "base/EngineThread.h"
#include "base/HeldLines.h"
#include "base/Logging.h"

#include <iostream>

PropertiesOrchestrator::PropertiesOrchestrator() = default;

PropertiesOrchestrator::~PropertiesOrchestrator() = default;

void PropertiesOrchestrator::initialise(const std::vector<std::shared_ptr<Category const>>& categories,
                                        const std::string& hostVersion)
{
    std::lock_guard<std::mutex> lock(_mutex);
    if (_shuttingDown) {
        TRACE_WARNING << "Not creating providers since shutting down" << std::endl;
        return;
    }
    _properties.initialise(categories, hostVersion);
}

PropertyMap PropertiesOrchestrator::getPropertiesAndMonitorForChanges(const std::chrono::milliseconds& interval,
                                                                     const ChangeCallback& callback)
{
    std::lock_guard<std::mutex> lock(_mutex);
    if (_shuttingDown) {
        TRACE_WARNING << "Not monitoring for property changes since shutting down" << std::endl;
        return {};
    }
    TRACE_VERBOSE << "Monitoring for property changes every [" << interval.count() << "] ms" << std::endl;
    std::weak_ptr<PropertiesOrchestrator> self = weak_from_this();
    _properties.monitorForChanges([self](std::shared_ptr<Category const> category) {
        if (auto orchestrator = self.lock()) {
            orchestrator->scheduleNotifyChanges(std::move(category));
        }
    });
    TRACE_VERBOSE << "Done monitoring for property changes every [" << interval.count() << "] ms" << std::endl;
    PropertyMap initial = _properties.getProperties();
    _interval = interval;
    _callback = callback;
    if (_interval.count() < 1) {
        TRACE_WARNING << "Property check interval [" << _interval.count()
                    << "] ms is not positive: no periodic property checks" << std::endl;
    } else {
        armTimer();
    }
    runOwedCheck();  // runs after the caller has sent the initial answer
    return initial;
}

void PropertiesOrchestrator::armTimer()
{
    if (_interval.count() < 1 || _shuttingDown) {
        return;
    }
    std::weak_ptr<PropertiesOrchestrator> self = weak_from_this();
    _timer.create(
        _interval,
        [self] {
            if (auto orchestrator = self.lock()) {
                orchestrator->timerExpired();
            }
        },
        Base::EngineThread::context());
}

PropertyMap PropertiesOrchestrator::getProperties()
{
    TRACE_VERBOSE << "Getting properties..." << std::endl;
    std::lock_guard<std::mutex> lock(_mutex);
    PropertyMap properties = _properties.getProperties();
    TRACE_VERBOSE << "Done getting properties." << std::endl;
    return properties;
}

void PropertiesOrchestrator::scheduleNotifyChanges(std::shared_ptr<Category const> category)
{
    const std::string& name = category->name;
    if (_shuttingDown) {
        TRACE_WARNING << "Ignoring provider [" << name
                    << "] request to initiate a real-time property change since shutting down." << std::endl;
        return;
    }
    {
        // Owed before probing: the reading that holds the lock sees it when it ends.
        _changeOwed = true;
        std::unique_lock<std::mutex> probe(_mutex, std::try_to_lock);
        if (!probe.owns_lock()) {
            TRACE_INFO << "Ignoring provider [" << name
                     << "] request to initiate a real-time property change since properties already refreshing."
                     << std::endl;
            return;
        }
        _changeOwed = false;
    }
    TRACE_INFO << "Provider [" << name << "] initiated a real-time property change. Scheduling a refresh..."
             << std::endl;
    queueCheck();
}

void PropertiesOrchestrator::queueCheck()
{
    if (!_checkQueued.exchange(true)) {
        Base::EngineThread::post([self = shared_from_this()] { self->handleNotifyChanges(); });
    }
}

void PropertiesOrchestrator::handleNotifyChanges()
{
    Base::HeldLines held;
    TRACE_VERBOSE << "Received request to check for property changes..." << std::endl;
    _checkQueued = false;  // what is announced from now on may come too late for this check
    try {
        PropertyChanges changes;
        {
            std::unique_lock<std::mutex> lock(_mutex, std::try_to_lock);
            if (!lock.owns_lock()) {
                TRACE_WARNING << "Failed to acquire properties mutex. Will ignore request for changes, since changes "
                               "are currently being processed"
                            << std::endl;
            } else if (_shuttingDown) {
                // A request queued before the connection closed.
                TRACE_WARNING << "Ignoring request for changes since we've been shutdown" << std::endl;
            } else {
                _timer.destroy();
                changes = checkForPropertyChanges();
                // The next periodic check comes one full interval after this one.
                armTimer();
            }
        }
        if (!changes.empty()) {
            held.release();
            _callback(changes);
        }
        runOwedCheck();
    } catch (const std::exception& error) {
        TRACE_ERROR << "Failed to check for property changes with error [" << error.what() << "]" << std::endl;
    } catch (...) {
        TRACE_ERROR << "Unknown exception checking for property changes" << std::endl;
    }
    TRACE_VERBOSE << "Done handling request to check for property changes." << std::endl;
}

PropertyChanges PropertiesOrchestrator::checkForPropertyChanges()
{
    TRACE_ENTER;
    PropertyChanges changes = _properties.getChanges();
    TRACE_VERBOSE << "Found [" << changes.updated.size() << "] updated properties and [" << changes.removed.size()
                << "] removed" << std::endl;
    TRACE_EXIT;
    return changes;
}

void PropertiesOrchestrator::timerExpired()
{
    if (_shuttingDown) {
        TRACE_WARNING << "Property change timer expired but we've been shutdown" << std::endl;
        return;
    }
    // A check that finds nothing new writes only its WARNING and ERROR lines.
    Base::HeldLines held;
    TRACE_VERBOSE << "Checking for property changes after timer expired..." << std::endl;
    PropertyChanges changes;
    {
        std::unique_lock<std::mutex> lock(_mutex, std::try_to_lock);
        if (!lock.owns_lock()) {
            TRACE_WARNING << "Failed to acquire properties mutex. Will ignore timer expiration, since changes are "
                           "currently being processed"
                        << std::endl;
            return;
        }
        changes = checkForPropertyChanges();
    }
    if (!changes.empty()) {
        held.release();
        if (_shuttingDown) {
            TRACE_INFO << "Ignoring property changes since we've shutdown" << std::endl;
            return;
        }
        _callback(changes);
    }
    runOwedCheck();
}

void PropertiesOrchestrator::runOwedCheck()
{
    if (_changeOwed.exchange(false) && !_shuttingDown) {
        TRACE_VERBOSE << "Checking for a property change announced during the last check" << std::endl;
        queueCheck();
    }
}

void PropertiesOrchestrator::shutdown()
{
    TRACE_VERBOSE << "Shutting down properties..." << std::endl;
    _shuttingDown = true;
    _timer.destroy();
    if (!Base::EngineThread::running()) {
        // No Initialise started the engine: there is no provider, and none
        // is made once shutting down; nothing to start a thread for.
        closeProviders();
        return;
    }
    // Readings run on the engine thread, so the providers are closed there,
    // after the reading in progress (if any) has ended; the caller does not
    // wait for that.
    Base::EngineThread::post([self = shared_from_this()] { self->closeProviders(); });
}

void PropertiesOrchestrator::closeProviders()
{
    TRACE_FUNCTION("shutdown");
    TRACE_VERBOSE << "Waiting for providers to complete..." << std::endl;
    std::lock_guard<std::mutex> lock(_mutex);
    if (_timer.isActive()) {
        _timer.destroy();  // re-armed by a check that ended after the shutdown began
    }
    _properties.shutdown();
    TRACE_VERBOSE << "Done shutting down properties." << std::endl;
}
