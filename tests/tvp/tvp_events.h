// SPDX-License-Identifier: MIT
// Collects the TVP library's events for tests: the callback has no context
// argument, so one collector per process.
#pragma once

#include "tvp.h"

#include <chrono>
#include <functional>
#include <string>
#include <vector>

namespace tvptest {

struct Event
{
    uint32_t code = 0;
    std::string id, iface, address, name, type, mask, gateway;
    int dhcp = 0;
};

// Registers the collector with the library and empties it.
void Collect(int debug = 1);
// Every event in arrival order; a log line (code 0) carries its text in
// `name`.
std::vector<Event> &Events();
std::vector<Event> EventsOf(uint32_t code);
// Log lines (code 0) so far.
std::vector<std::string> LogLines();
bool LogContains(const std::string &text);
// True while a test marks that it is inside a request call.
extern bool g_insideRequest;
// Number of callbacks that came while g_insideRequest was set or from a
// thread other than the one that registered.
int Misdelivered();

// Delivers events through TVPProcessEvents, waiting on TVPEventHandle,
// until `done` holds or the time is up; returns `done()`.
bool PumpUntil(const std::function<bool()> &done, int timeoutMs = 3000);
// Delivers events for a fixed time (to show that nothing more comes).
void PumpFor(int ms);

} // namespace tvptest
