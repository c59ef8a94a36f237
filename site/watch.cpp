// SPDX-License-Identifier: MIT
#include "watch.h"

#include "address.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <cctype>
#include <set>

namespace site {

namespace {

struct FieldChange
{
    const char *field;
    std::string before, after;
};

// What differs between two sightings of one device, in a fixed order. The
// interface counts by name: a card that got a new address of its own did
// not move the device.
std::vector<FieldChange> Differences(const WatchDevice &a, const WatchDevice &b)
{
    std::vector<FieldChange> out;
    if (a.ip != b.ip)
        out.push_back({"ip", a.ip, b.ip});
    if (!a.mask.empty() && !b.mask.empty() && a.mask != b.mask)
        out.push_back({"mask", a.mask, b.mask});
    if (a.name != b.name)
        out.push_back({"name", a.name, b.name});
    if (a.type != b.type)
        out.push_back({"type", a.type, b.type});
    if (InterfaceName(a.interfaceText) != InterfaceName(b.interfaceText))
        out.push_back({"interface", a.interfaceText, b.interfaceText});
    return out;
}

WatchEvent Make(WatchEventKind kind, const WatchDevice &d, WallClock::time_point now)
{
    WatchEvent e;
    e.kind = kind;
    e.time = now;
    e.device = d;
    return e;
}

// Each ID once, the first entry of it.
std::vector<const WatchDevice *> Unique(const std::vector<WatchDevice> &devices)
{
    std::vector<const WatchDevice *> out;
    std::set<std::string> seen;
    for (const auto &d : devices)
        if (seen.insert(d.id).second)
            out.push_back(&d);
    return out;
}

// Addresses that two or more IDs report, with the IDs sorted.
std::map<std::string, std::vector<std::string>> Shared(const std::vector<const WatchDevice *> &devices)
{
    std::map<std::string, std::vector<std::string>> at;
    for (const auto *d : devices)
        if (!d->ip.empty())
            at[d->ip].push_back(d->id);
    std::erase_if(at, [](const auto &entry) { return entry.second.size() < 2; });
    for (auto &[ip, ids] : at)
        std::sort(ids.begin(), ids.end());
    return at;
}

WatchEvent ConflictEvent(const std::string &ip, const std::vector<std::string> &ids, WallClock::time_point now)
{
    WatchEvent e;
    e.kind = WatchEventKind::Conflict;
    e.time = now;
    e.device.ip = ip;
    e.ids = ids;
    return e;
}

std::string Who(const WatchDevice &d)
{
    return d.id + (d.name.empty() ? "" : " (" + d.name + ")");
}

} // namespace

const char *EventName(WatchEventKind kind)
{
    switch (kind) {
    case WatchEventKind::Appeared: return "appeared";
    case WatchEventKind::Changed: return "changed";
    case WatchEventKind::Reachable: return "reachable";
    case WatchEventKind::Unreachable: return "unreachable";
    case WatchEventKind::Conflict: return "conflict";
    case WatchEventKind::Disappeared: return "disappeared";
    case WatchEventKind::New: return "new";
    case WatchEventKind::Missing: return "missing";
    case WatchEventKind::Moved: return "moved";
    }
    return "?";
}

std::string InterfaceName(const std::string &text)
{
    const size_t open = text.rfind(" (");
    return open != std::string::npos && !text.empty() && text.back() == ')' ? text.substr(0, open) : text;
}

std::string EventText(const WatchEvent &e)
{
    const std::string what = EventName(e.kind);
    const WatchDevice &d = e.device;
    switch (e.kind) {
    case WatchEventKind::Changed:
    case WatchEventKind::Moved:
        return what + " " + Who(d) + ": " + e.field + " " + (e.before.empty() ? "(none)" : e.before) + " -> " +
               (e.after.empty() ? "(none)" : e.after);
    case WatchEventKind::Conflict: {
        std::string ids;
        for (const auto &id : e.ids)
            ids += (ids.empty() ? "" : ", ") + id;
        return what + " " + d.ip + ": " + std::to_string(e.ids.size()) + " devices answer there (" + ids + ")";
    }
    case WatchEventKind::Reachable:
    case WatchEventKind::Unreachable: return what + " " + Who(d) + " at " + d.ip;
    default: break;
    }
    std::string line = what + " " + Who(d) + (d.type.empty() ? "" : " " + d.type) + " at " + d.ip;
    if (!d.interfaceText.empty())
        line += " on " + d.interfaceText;
    if (e.kind == WatchEventKind::Appeared && !d.reachable)
        line += ", not reachable";
    return line;
}

std::vector<WatchEvent> Watch::Scan(const std::vector<WatchDevice> &found, WallClock::time_point now)
{
    std::vector<WatchEvent> events;
    const auto devices = Unique(found);
    std::set<std::string> present;
    for (const WatchDevice *d : devices) {
        present.insert(d->id);
        auto it = known_.find(d->id);
        if (it == known_.end() || it->second.gone) {
            events.push_back(Make(WatchEventKind::Appeared, *d, now));
        } else {
            for (auto &c : Differences(it->second.device, *d)) {
                WatchEvent e = Make(WatchEventKind::Changed, *d, now);
                e.field = c.field;
                e.before = c.before;
                e.after = c.after;
                events.push_back(e);
            }
            if (d->reachable != it->second.device.reachable)
                events.push_back(Make(d->reachable ? WatchEventKind::Reachable : WatchEventKind::Unreachable, *d, now));
        }
        known_[d->id] = Known{*d, now, 0, false};
    }
    const auto shared = Shared(devices);
    for (const auto &[ip, ids] : shared)
        if (auto was = conflicts_.find(ip); was == conflicts_.end() || was->second != ids)
            events.push_back(ConflictEvent(ip, ids, now));
    conflicts_ = shared;
    for (auto &[id, k] : known_) {
        if (present.count(id) || k.gone)
            continue;
        if (++k.missed >= kMissedScans) {
            k.gone = true;
            events.push_back(Make(WatchEventKind::Disappeared, k.device, now));
        }
    }
    return events;
}

std::vector<WatchEvent> CompareSite(const std::vector<WatchDevice> &saved, const std::vector<WatchDevice> &scan,
                                    WallClock::time_point now)
{
    std::vector<WatchEvent> events;
    const auto before = Unique(saved), after = Unique(scan);
    std::map<std::string, const WatchDevice *> old;
    for (const auto *d : before)
        old[d->id] = d;
    for (const WatchDevice *d : after) {
        auto it = old.find(d->id);
        if (it == old.end()) {
            events.push_back(Make(WatchEventKind::New, *d, now));
            continue;
        }
        for (auto &c : Differences(*it->second, *d)) {
            WatchEvent e =
                Make(std::string(c.field) == "ip" ? WatchEventKind::Moved : WatchEventKind::Changed, *d, now);
            e.field = c.field;
            e.before = c.before;
            e.after = c.after;
            events.push_back(e);
        }
        old.erase(it);
    }
    for (const auto &[ip, ids] : Shared(after))
        events.push_back(ConflictEvent(ip, ids, now));
    for (const auto *d : before)
        if (old.count(d->id))
            events.push_back(Make(WatchEventKind::Missing, *d, now));
    return events;
}

namespace {

// "00:1a:2b:3c:4d:5e" -> "00:1A:2B:3C:4D:5E"; empty for anything else.
std::string CanonicalMac(const std::string &text)
{
    if (text.size() != 17)
        return {};
    std::string out = text;
    for (size_t i = 0; i < out.size(); ++i) {
        const bool colon = i % 3 == 2;
        if (colon ? out[i] != ':' : !std::isxdigit(static_cast<unsigned char>(out[i])))
            return {};
        out[i] = char(std::toupper(static_cast<unsigned char>(out[i])));
    }
    return out;
}

// One device of a site file; false with *error when a key holds the wrong kind of value.
bool ReadDevice(const nlohmann::json &entry, WatchDevice *d, std::string *error)
{
    if (!entry.is_object()) {
        *error = "is not an object";
        return false;
    }
    const auto id = entry.find("id");
    if (id == entry.end() || !id->is_string() || (d->id = CanonicalMac(id->get<std::string>())).empty()) {
        *error = "has no \"id\" that is a MAC address such as 00:1A:2B:3C:4D:5E";
        return false;
    }
    for (auto [key, out] : {std::pair<const char *, std::string *>{"name", &d->name},
                            {"type", &d->type},
                            {"ip", &d->ip},
                            {"mask", &d->mask},
                            {"interface", &d->interfaceText}}) {
        const auto v = entry.find(key);
        if (v == entry.end() || v->is_null())
            continue;
        if (!v->is_string()) {
            *error = std::string("has a \"") + key + "\" that is not a text";
            return false;
        }
        *out = v->get<std::string>();
    }
    for (auto [key, text] : {std::pair<const char *, const std::string *>{"ip", &d->ip}, {"mask", &d->mask}})
        if (!text->empty() && !tvp::wire::ParseDottedQuad(*text)) {
            *error = std::string("has a \"") + key + "\" that is not an IPv4 address: \"" + *text + "\"";
            return false;
        }
    if (const auto r = entry.find("reachable"); r != entry.end() && r->is_boolean())
        d->reachable = r->get<bool>();
    return true;
}

} // namespace

std::optional<std::vector<WatchDevice>> ParseSiteFile(const std::string &text, std::string *error)
{
    nlohmann::json doc;
    try {
        doc = nlohmann::json::parse(text);
    } catch (const nlohmann::json::parse_error &e) {
        *error = std::string("not JSON: ") + e.what();
        return std::nullopt;
    }
    if (!doc.is_array()) {
        *error = "not a list of devices, as discover --json prints it";
        return std::nullopt;
    }
    std::vector<WatchDevice> devices;
    std::set<std::string> ids;
    for (size_t i = 0; i < doc.size(); ++i) {
        WatchDevice d;
        std::string why;
        if (!ReadDevice(doc[i], &d, &why)) {
            *error = "device " + std::to_string(i + 1) + " " + why;
            return std::nullopt;
        }
        if (!ids.insert(d.id).second) {
            *error = "device " + std::to_string(i + 1) + " repeats the ID " + d.id;
            return std::nullopt;
        }
        devices.push_back(std::move(d));
    }
    return devices;
}

} // namespace site
