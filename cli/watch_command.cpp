// SPDX-License-Identifier: MIT
#include "watch_command.h"

#include "system.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <cstdio>

namespace cli {

namespace {

using json = nlohmann::ordered_json;

// "2024-05-01T10:00:00.123Z"
std::string Timestamp(site::WallClock::time_point t)
{
    using namespace std::chrono;
    const auto ms = floor<milliseconds>(t);
    const auto day = floor<days>(ms);
    const year_month_day date{day};
    const hh_mm_ss<milliseconds> time{ms - day};
    char text[32];
    std::snprintf(text, sizeof text, "%04d-%02u-%02uT%02lld:%02lld:%02lld.%03lldZ", int(date.year()),
                  unsigned(date.month()), unsigned(date.day()), static_cast<long long>(time.hours().count()),
                  static_cast<long long>(time.minutes().count()), static_cast<long long>(time.seconds().count()),
                  static_cast<long long>(time.subseconds().count()));
    return text;
}

json EventJson(const site::WatchEvent &e)
{
    json o = {{"time", Timestamp(e.time)}, {"event", site::EventName(e.kind)}};
    if (e.kind == site::WatchEventKind::Conflict) {
        o["ip"] = e.device.ip;
        o["ids"] = e.ids;
        return o;
    }
    const site::WatchDevice &d = e.device;
    o["id"] = d.id;
    o["name"] = d.name;
    o["type"] = d.type;
    o["ip"] = d.ip;
    o["interface"] = d.interfaceText;
    o["reachable"] = d.reachable;
    if (!e.field.empty()) {
        o["field"] = e.field;
        o["old"] = e.before;
        o["new"] = e.after;
    }
    return o;
}

} // namespace

std::vector<site::WatchDevice> WatchDevices(const std::vector<FoundDevice> &found)
{
    std::vector<site::WatchDevice> out;
    for (const auto &d : found)
        out.push_back({d.id, d.name, d.type, d.ip, "", d.interface, d.reachable});
    return out;
}

std::string EventLine(const site::WatchEvent &event, bool asJson)
{
    if (asJson)
        return EventJson(event).dump(-1, ' ', false, json::error_handler_t::replace);
    return Timestamp(event.time) + " " + site::EventText(event);
}

std::vector<site::WatchDevice> ReadSite(const std::string &path)
{
    std::string error;
    const auto text = sys::ReadTextFile(path, &error);
    if (!text)
        throw UsageError("site file " + path + " cannot be read: " + error);
    auto devices = site::ParseSiteFile(*text, &error);
    if (!devices)
        throw UsageError("site file " + path + ": " + error);
    return *devices;
}

void SaveSite(const std::string &path, const std::string &text)
{
    std::string error;
    if (!sys::WriteFileWhole(path, text, &error))
        throw Failure("site file " + path + " cannot be written: " + error);
}

int RunWatch(const WatchOptions &options, std::ostream &out)
{
    sys::CatchInterrupt();
    Library library(options.library);
    library.RequireInterfaces();
    site::Watch watch;
    const auto interval = std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(options.intervalS));
    auto next = Clock::now();
    while (!sys::Interrupted()) {
        DiscoveryPlan plan;
        // a cycle never runs into the next one
        plan.timeoutS = std::min(2.5, options.intervalS);
        plan.enough = [](const std::vector<FoundDevice> &) { return sys::Interrupted(); };
        const auto found = library.Discover(plan);
        if (sys::Interrupted())
            break;
        for (const auto &e : watch.Scan(WatchDevices(found), site::WallClock::now()))
            out << EventLine(e, options.json) << std::endl; // a log or script reads each at once
        next = std::max(next + interval, Clock::now());
        library.Pump(next, [] { return sys::Interrupted(); });
    }
    return 0;
}

} // namespace cli
