// SPDX-License-Identifier: Apache-2.0
// Runs a connection's property engine on the library's engine thread
// (base/EngineThread.h): the initial reading, a periodic check on a timer and
// a check whenever a provider reports a change. Readings never overlap; a
// check that would have to wait for another is dropped, not queued.
//
// Always owned by a std::shared_ptr: work queued on the engine thread holds a
// reference, so the orchestrator outlives every callback that runs there.
#pragma once

#include "properties/Category.h"
#include "properties/Properties.h"
#include "properties/PropertyMap.h"
#include "properties/Timer.h"

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

class PropertiesOrchestrator : public std::enable_shared_from_this<PropertiesOrchestrator> {
public:
    using ChangeCallback = std::function<void(const PropertyChanges&)>;

    PropertiesOrchestrator();
    ~PropertiesOrchestrator();

    PropertiesOrchestrator(const PropertiesOrchestrator&) = delete;
    PropertiesOrchestrator& operator=(const PropertiesOrchestrator&) = delete;

    void initialise(const std::vector<std::shared_ptr<Category const>>& categories, const std::string& hostVersion);

    // Starts provider monitoring, takes the initial reading and arms the
    // periodic check. Runs on the engine thread.
    PropertyMap getPropertiesAndMonitorForChanges(const std::chrono::milliseconds& interval,
                                                  const ChangeCallback& callback);

    PropertyMap getProperties();

    // Handed to every provider; may be called on any thread.
    void scheduleNotifyChanges(std::shared_ptr<Category const> category);

    // The check a notification asked for, on the engine thread.
    void handleNotifyChanges();

    // One change check; the caller holds the mutex.
    PropertyChanges checkForPropertyChanges();

    void timerExpired();

    // Stops the timer and returns at once; no check starts afterwards. The
    // providers are closed on the engine thread once the check in progress,
    // if any, has ended.
    void shutdown();

private:
    void armTimer();
    void closeProviders();
    // Starts the check that a change announced during a reading is owed.
    void runOwedCheck();
    void queueCheck();

    Properties _properties;
    std::chrono::milliseconds _interval{0};
    ChangeCallback _callback;
    Timer _timer;
    std::mutex _mutex;
    std::atomic<bool> _shuttingDown{false};
    // A change was announced while a reading held the properties: it is
    // checked for once that reading has ended, so it is never lost.
    std::atomic<bool> _changeOwed{false};
    // A check is queued on the engine thread and has not begun: announcements
    // meanwhile (a burst of events) are all seen by that one check.
    std::atomic<bool> _checkQueued{false};
};
