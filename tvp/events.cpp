// SPDX-License-Identifier: MIT
#include "events.h"

#include "tvp.h"

namespace tvp {

namespace {
// A flood of answers must not grow the queue without bound.
constexpr size_t kMaxQueued = 200000;
const char kLogPrefix[] = "TVP: ";
} // namespace

void EventQueue::SetCallback(Callback callback, bool debug)
{
    std::lock_guard lock(mu_);
    callback_ = std::move(callback);
    debug_ = debug;
}

bool EventQueue::Debug() const
{
    std::lock_guard lock(mu_);
    return debug_ && callback_;
}

bool EventQueue::HasCallback() const
{
    std::lock_guard lock(mu_);
    return bool(callback_);
}

void EventQueue::Push(Event event)
{
    std::lock_guard lock(mu_);
    if (!callback_)
        return;
    if (queue_.size() >= kMaxQueued) {
        if (!overflowLogged_ && debug_) {
            // the one line that may exceed the cap says why events are missing
            overflowLogged_ = true;
            Event e;
            e.code = TVPEventLog;
            e.t[0] = kLogPrefix + std::string("event queue full (") + std::to_string(kMaxQueued) +
                     "), dropping events until it drains";
            queue_.push_back(std::move(e));
        }
        return;
    }
    overflowLogged_ = false;
    queue_.push_back(std::move(event));
    if (!signalled_) {
        notifier_.Set();
        signalled_ = true;
    }
}

void EventQueue::Log(const std::string &line)
{
    if (!Debug())
        return;
    Event e;
    e.code = TVPEventLog;
    e.t[0] = kLogPrefix + line;
    Push(std::move(e));
}

void EventQueue::DeliverNow(uint32_t code, const void *record) const
{
    Callback cb;
    {
        std::lock_guard lock(mu_);
        cb = callback_;
    }
    if (cb)
        cb(code, record);
}

void EventQueue::LogNow(const std::string &line) const
{
    Callback cb;
    {
        std::lock_guard lock(mu_);
        if (!debug_)
            return;
        cb = callback_;
    }
    if (!cb)
        return;
    const std::string text = kLogPrefix + line;
    TVPLogRecord r{text.c_str()};
    cb(TVPEventLog, &r);
}

void EventQueue::Deliver(const Callback &cb, const Event &e)
{
    // the record points into `e`, alive for the whole call
    switch (e.code) {
    case TVPEventLog: {
        TVPLogRecord r{e.t[0].c_str()};
        cb(e.code, &r);
        break;
    }
    case TVPEventDeviceFound: {
        TVPDeviceFoundRecord r{e.t[0].c_str(), e.t[1].c_str(), e.t[2].c_str(), e.t[3].c_str(), e.t[4].c_str()};
        cb(e.code, &r);
        break;
    }
    case TVPEventGetIPReply: {
        TVPGetIPReplyRecord r{e.t[0].c_str(), e.t[1].c_str(), e.t[2].c_str(), e.t[3].c_str(), e.t[4].c_str(), e.dhcp};
        cb(e.code, &r);
        break;
    }
    case TVPEventSetIPReply: {
        TVPSetIPReplyRecord r{e.t[0].c_str(), e.t[1].c_str()};
        cb(e.code, &r);
        break;
    }
    default: break;
    }
}

int EventQueue::Process()
{
    size_t limit;
    {
        std::lock_guard lock(mu_);
        // events that arrive meanwhile wait for the next call: no endless loop
        limit = queue_.size();
    }
    int delivered = 0;
    for (size_t i = 0; i < limit; ++i) {
        Event e;
        Callback cb;
        bool debug;
        {
            std::lock_guard lock(mu_);
            if (queue_.empty())
                break;
            e = std::move(queue_.front());
            queue_.pop_front();
            if (queue_.empty() && signalled_) {
                notifier_.Clear();
                signalled_ = false;
            }
            cb = callback_;
            debug = debug_;
        }
        if (!cb || (e.code == TVPEventLog && !debug))
            continue;
        Deliver(cb, e);
        ++delivered;
    }
    return delivered;
}

void EventQueue::Clear()
{
    std::lock_guard lock(mu_);
    callback_ = nullptr;
    queue_.clear();
    notifier_.Clear();
    signalled_ = false;
}

} // namespace tvp
