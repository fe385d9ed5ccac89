// SPDX-License-Identifier: Apache-2.0
// pcscd's announcements, as a change source: readers added and removed (the
// "\\?PnP?\Notification" reader) and the readers' own states (a card put in
// or taken out), through pcsc-lite's status-change wait on a context of the
// source's own. The wait runs on a thread of the source and is cancelled when
// the source is let go. pcscd stopping makes the source lost; the watch
// connects it again when pcscd is back.
#pragma once

#include "base/ChangeSource.h"
#include "base/Descriptor.h"
#include "providers/smartcard/PcscLibrary.h"

#include <atomic>
#include <thread>
#include <vector>

class SmartCardChanges : public Base::ChangeSource {
public:
    SmartCardChanges() = default;
    ~SmartCardChanges() override { disconnect(); }

    std::string what() const override { return "pcscd"; }
    int connect(std::string& why) override;
    Taken take() override;
    void disconnect() override;

private:
    // The waiting thread: announces a loss when pcscd cannot be asked.
    void wait();
    // Waits for changes until stopped (true) or pcscd cannot be asked (false).
    bool watch();
    // Lists the readers and learns their states (without announcing them);
    // false when pcscd cannot be asked.
    bool learn(std::vector<std::string>& names, std::vector<SCARD_READERSTATE>& states);
    void announce();

    const PcscLibrary* _pcsc = nullptr;
    PcscContext _context;
    Base::Descriptor _announced;  // an eventfd, written for each announcement
    std::thread _waiter;
    std::atomic<bool> _stopping{false};
    std::atomic<bool> _lost{false};
    std::atomic<bool> _done{false};
};
