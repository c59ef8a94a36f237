// SPDX-License-Identifier: MIT
#include "tvp_events.h"

#include "test_support.h"

#include <algorithm>
#include <thread>

namespace tvptest {

bool g_insideRequest = false;

namespace {
std::vector<Event> g_events;
std::vector<std::string> g_log;
int g_misdelivered = 0;
std::thread::id g_owner;

std::string Text(const char *t)
{
    return t ? t : "";
}

void Callback(uint32_t code, const void *record)
{
    if (g_insideRequest || std::this_thread::get_id() != g_owner)
        ++g_misdelivered;
    Event e;
    e.code = code;
    switch (code) {
    case TVPEventLog:
        // kept apart, and in the event stream too, where its order shows
        g_log.push_back(Text(static_cast<const TVPLogRecord *>(record)->Text));
        e.name = g_log.back();
        break;
    case TVPEventDeviceFound: {
        auto r = static_cast<const TVPDeviceFoundRecord *>(record);
        e.id = Text(r->ID), e.iface = Text(r->Interface), e.address = Text(r->IPAddress);
        e.name = Text(r->Name), e.type = Text(r->Type);
        break;
    }
    case TVPEventGetIPReply: {
        auto r = static_cast<const TVPGetIPReplyRecord *>(record);
        e.id = Text(r->ID), e.iface = Text(r->Interface), e.address = Text(r->IPAddress);
        e.mask = Text(r->SubnetMask), e.gateway = Text(r->DefaultGateway), e.dhcp = r->UseDHCP;
        break;
    }
    case TVPEventSetIPReply: {
        auto r = static_cast<const TVPSetIPReplyRecord *>(record);
        e.id = Text(r->ID), e.address = Text(r->IPAddress);
        break;
    }
    default: break;
    }
    g_events.push_back(e);
}
} // namespace

void Collect(int debug)
{
    g_events.clear();
    g_log.clear();
    g_misdelivered = 0;
    g_owner = std::this_thread::get_id();
    TVPSetApplicationCallback(Callback, debug);
}

std::vector<Event> &Events()
{
    return g_events;
}

std::vector<Event> EventsOf(uint32_t code)
{
    std::vector<Event> out;
    std::copy_if(g_events.begin(), g_events.end(), std::back_inserter(out),
                 [&](const Event &e) { return e.code == code; });
    return out;
}

std::vector<std::string> LogLines()
{
    return g_log;
}

bool LogContains(const std::string &text)
{
    return std::any_of(g_log.begin(), g_log.end(),
                       [&](const std::string &l) { return l.find(text) != std::string::npos; });
}

int Misdelivered()
{
    return g_misdelivered;
}

bool PumpUntil(const std::function<bool()> &done, int timeoutMs)
{
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (!done()) {
        auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now()).count();
        if (left <= 0)
            return done();
        if (testsupport::WaitReadable(TVPEventHandle(), int(std::min<long long>(left, 50))))
            TVPProcessEvents();
    }
    return true;
}

void PumpFor(int ms)
{
    PumpUntil([] { return false; }, ms);
}

} // namespace tvptest
