// SPDX-License-Identifier: MIT
// The event queue: what the network thread hears waits here until the
// host's thread asks for it, so no callback ever runs on a foreign thread.
#pragma once

#include "os.h"

#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <string>

namespace tvp {

struct Event
{
    uint32_t code = 0;
    std::string t[5]; // the record's texts in their order
    uint8_t dhcp = 0;
};

class EventQueue
{
public:
    using Callback = std::function<void(uint32_t code, const void *record)>;

    bool Open() { return notifier_.Open(); }
    // Readable while events wait; a Windows SOCKET fits an int.
    int Handle() const { return int(notifier_.Handle()); }

    void SetCallback(Callback callback, bool debug);
    bool Debug() const;
    bool HasCallback() const;

    // Queued for TVPProcessEvents; a log line only when debug is on.
    void Push(Event event);
    void Log(const std::string &line);
    // On the calling thread, at once (upgrade events and their log lines).
    void DeliverNow(uint32_t code, const void *record) const;
    void LogNow(const std::string &line) const;

    int Process();
    void Clear();

private:
    static void Deliver(const Callback &callback, const Event &event);

    mutable std::mutex mu_;
    Callback callback_;
    bool debug_ = false;
    std::deque<Event> queue_;
    bool overflowLogged_ = false;
    bool signalled_ = false; // saves a system call per event
    os::Notifier notifier_;
};

} // namespace tvp
