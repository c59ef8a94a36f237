// SPDX-License-Identifier: MIT
#include "doctor_command.h"

#include "readings.h"
#include "system.h"
#include "watch.h"

#include "address.h"
#include "tvp.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <cstdlib>
#include <sstream>

namespace cli {

namespace {

using json = nlohmann::ordered_json;

std::vector<std::string> SplitNames(const std::string &list)
{
    std::vector<std::string> out;
    std::stringstream in(list);
    for (std::string name; std::getline(in, name, ',');)
        if (!name.empty())
            out.push_back(name);
    return out;
}

void CopyReport(site::DoctorInterface &i, const TVPInterfaceReport &r)
{
    i.use = static_cast<site::InterfaceUse>(std::min<uint32_t>(r.Use, uint32_t(site::InterfaceUse::Unusable)));
    i.notUsedWhy = r.Reason;
    i.discovers = r.DiscoversSent;
    i.sendErrors = r.SendErrors;
    i.bytesSent = r.BytesSent;
    i.lastSendError = r.LastSendError;
    i.answers = r.Answers;
    i.devices = r.Devices;
    i.late = r.DroppedLate;
    i.impossible = r.DroppedImpossible;
    i.malformed = r.DroppedMalformed;
    i.duplicate = r.DroppedDuplicate;
    i.notInUse = r.DroppedNotInUse;
}

std::vector<TVPInterfaceReport> LibraryReports()
{
    const int count = TVPGetDiagnostics(nullptr, 0, 0);
    if (count <= 0)
        return {};
    std::vector<TVPInterfaceReport> reports(size_t(count) + 8); // room for one that appears meanwhile
    const int filled = TVPGetDiagnostics(reports.data(), reports.size(), 0);
    reports.resize(size_t(std::clamp(filled, 0, int(reports.size()))));
    return reports;
}

json InterfaceJson(const site::DoctorFacts &facts, const site::DoctorInterface &i)
{
    json addresses = json::array();
    for (const auto &[address, mask] : i.addresses)
        addresses.push_back(tvp::wire::FormatDottedQuad(address) + "/" + std::to_string(tvp::wire::PrefixLength(mask)));
    const auto rp = site::EffectiveRpFilter(facts, i);
    return {{"name", i.name},
            {"kind", site::KindText(i.kind)},
            {"up", i.up},
            {"addresses", addresses},
            {"broadcast", i.broadcast},
            {"used", i.use == site::InterfaceUse::Used},
            {"reason", i.use == site::InterfaceUse::Used ? json() : json(i.notUsedWhy)},
            {"rp_filter", rp ? json(*rp) : json()},
            {"firewall_profile", i.firewallProfile.empty() ? json() : json(i.firewallProfile)},
            {"sent", {{"discovers", i.discovers}, {"bytes", i.bytesSent}, {"errors", i.sendErrors},
                      {"last_error", i.lastSendError.empty() ? json() : json(i.lastSendError)}}},
            {"received", {{"answers", i.answers}, {"devices", i.devices},
                          {"dropped", {{"late", i.late}, {"impossible", i.impossible}, {"malformed", i.malformed},
                                       {"duplicate", i.duplicate}, {"not_in_use", i.notInUse}}}}}};
}

std::string Dump(const json &j, int indent)
{
    // invalid UTF-8 in a device name becomes U+FFFD instead of an exception
    return j.dump(indent, ' ', false, json::error_handler_t::replace);
}

} // namespace

void MergeLibraryReports(std::vector<site::DoctorInterface> &interfaces)
{
    const auto reports = LibraryReports();
    for (auto &i : interfaces) {
        const auto r = std::find_if(reports.begin(), reports.end(),
                                    [&](const TVPInterfaceReport &k) { return i.name == k.Name; });
        if (r != reports.end()) {
            CopyReport(i, *r);
        } else {
            i.use = site::InterfaceUse::Unusable;
            i.notUsedWhy = "is not seen by the library";
        }
    }
    for (const auto &r : reports)
        if (std::none_of(interfaces.begin(), interfaces.end(),
                         [&](const site::DoctorInterface &i) { return i.name == r.Name; })) {
            site::DoctorInterface i;
            i.name = r.Name;
            CopyReport(i, r);
            interfaces.push_back(i);
        }
}

void PrintDoctor(std::ostream &out, const site::DoctorFacts &facts, const site::DoctorReport &report, bool asJson)
{
    if (asJson) {
        json findings = json::array(), interfaces = json::array(), devices = json::array();
        for (const auto &f : report.findings)
            findings.push_back({{"kind", f.kind}, {"subject", f.subject}, {"text", f.text}, {"blocking", f.blocking}});
        for (const auto &i : facts.interfaces)
            interfaces.push_back(InterfaceJson(facts, i));
        for (const auto &d : facts.devices)
            devices.push_back({{"name", d.name}, {"ip", d.ip}, {"id", d.id}, {"interface", d.interfaceText},
                               {"reachable", d.reachable}});
        out << Dump({{"findings", findings}, {"interfaces", interfaces}, {"devices", devices},
                     {"exit", report.exitCode}},
                    2)
            << "\n";
        return;
    }
    out << "Findings, most likely cause first:\n";
    for (size_t n = 0; n < report.findings.size(); ++n)
        out << "  " << n + 1 << ". " << report.findings[n].text << "\n";
    out << "Interfaces:\n";
    for (const auto &i : facts.interfaces)
        out << "  " << site::InterfaceLine(facts, i) << "\n";
    out << "Devices found: " << facts.devices.size() << "\n";
    for (const auto &d : facts.devices)
        out << "  " << d.ip << "  " << d.id << "  " << d.name << "  on " << d.interfaceText
            << (d.reachable ? "" : ", not reachable") << "\n";
}

int RunDoctor(const DoctorOptions &options, std::ostream &out)
{
    site::DoctorFacts facts;
    if (const char *selected = std::getenv("TVP_INTERFACES"))
        facts.selection = selected;
    facts.port = DevicePort();
    std::vector<FoundDevice> found;
    try {
        Library library(LibraryOptions{{}, options.verbose});
        TVPGetDiagnostics(nullptr, 0, 1); // count this cycle alone
        const auto used = SplitNames(library.InterfaceNames());
        sys::AnswerTap tap;
        const bool tapping = tap.Open(used, facts.port);
        const auto before = sys::RpFilterDrops();
        if (!used.empty()) {
            DiscoveryPlan plan;
            plan.enough = [&](const std::vector<FoundDevice> &) {
                if (tapping)
                    tap.Drain();
                return false;
            };
            found = library.Discover(plan);
        }
        tap.Drain();
        if (const auto after = sys::RpFilterDrops(); before && after)
            facts.rpFilterDrops = *after - *before;
        if (tapping)
            facts.wire = tap.Answers();
        facts.interfaces = sys::SystemInterfaces();
        MergeLibraryReports(facts.interfaces);
    } catch (const Failure &) {
        facts.libraryStarted = false;
        facts.interfaces = sys::SystemInterfaces();
    }
    for (const auto &d : found)
        facts.devices.push_back({d.id, d.name, d.ip, d.interface, d.reachable});
    sys::ReadSystemFacts(facts);
    const site::DoctorReport report = site::Diagnose(facts);
    PrintDoctor(out, facts, report, options.json);
    return report.exitCode;
}

} // namespace cli
