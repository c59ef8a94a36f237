// SPDX-License-Identifier: MIT
#include "doctor_command.h"

#include "diagnosis.h"

#include "address.h"
#include "tvp.h"

#include <nlohmann/json.hpp>

#include <optional>

namespace cli {

namespace {

using json = nlohmann::ordered_json;

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
            {"port_of", i.portOf.empty() ? json() : json(i.portOf)},
            {"broadcast", i.broadcast},
            {"used", i.use == site::InterfaceUse::Used},
            {"reason", i.use == site::InterfaceUse::Used ? json() : json(i.notUsedWhy)},
            {"rp_filter", rp ? json(*rp) : json()},
            {"firewall_profile", i.firewallProfile.empty() ? json() : json(i.firewallProfile)},
            {"sent",
             {{"discovers", i.discovers},
              {"bytes", i.bytesSent},
              {"errors", i.sendErrors},
              {"last_error", i.lastSendError.empty() ? json() : json(i.lastSendError)}}},
            {"received",
             {{"answers", i.answers},
              {"devices", i.devices},
              {"dropped",
               {{"late", i.late},
                {"impossible", i.impossible},
                {"malformed", i.malformed},
                {"duplicate", i.duplicate},
                {"not_in_use", i.notInUse}}}}}};
}

std::string Dump(const json &j, int indent)
{
    // invalid UTF-8 in a device name becomes U+FFFD instead of an exception
    return j.dump(indent, ' ', false, json::error_handler_t::replace);
}

} // namespace

void PrintDoctor(std::ostream &out, const site::DoctorFacts &facts, const site::DoctorReport &report, bool asJson)
{
    if (asJson) {
        json findings = json::array(), interfaces = json::array(), devices = json::array();
        for (const auto &f : report.findings)
            findings.push_back({{"kind", f.kind}, {"subject", f.subject}, {"text", f.text}, {"blocking", f.blocking}});
        for (const auto &i : facts.interfaces)
            interfaces.push_back(InterfaceJson(facts, i));
        for (const auto &d : facts.devices)
            devices.push_back({{"name", d.name},
                               {"ip", d.ip},
                               {"id", d.id},
                               {"interface", d.interfaceText},
                               {"reachable", d.reachable}});
        out << Dump({{"findings", findings},
                     {"interfaces", interfaces},
                     {"devices", devices},
                     {"exit", report.exitCode}},
                    2)
            << "\n";
        return;
    }
    out << DoctorText(facts, report);
}

int RunDoctor(const DoctorOptions &options, std::ostream &out)
{
    DiagnosisRun run;
    std::optional<Library> library; // running until the counters are read
    std::vector<FoundDevice> found;
    try {
        library.emplace(LibraryOptions{{}, options.verbose});
        run.Begin();
        if (!run.Used().empty()) {
            DiscoveryPlan plan;
            plan.enough = [&](const std::vector<FoundDevice> &) {
                run.Poll();
                return false;
            };
            found = library->Discover(plan);
        }
    } catch (const Failure &) {
        library.reset();
    }
    std::vector<site::DoctorDevice> devices;
    for (const auto &d : found)
        devices.push_back({d.id, d.name, d.ip, d.interface, d.reachable});
    const site::DoctorFacts facts = run.Finish(devices, library.has_value());
    const site::DoctorReport report = site::Diagnose(facts);
    PrintDoctor(out, facts, report, options.json);
    return report.exitCode;
}

} // namespace cli
