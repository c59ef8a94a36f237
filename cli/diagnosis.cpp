// SPDX-License-Identifier: MIT
#include "diagnosis.h"

#include "conflicts.h"
#include "tvp.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <sstream>

namespace cli {

namespace {

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

// Every interface's report; `clear` starts the counters from zero after it.
// Empty when the library is not running.
std::vector<TVPInterfaceReport> LibraryReports(bool clear = false)
{
    const int count = TVPGetDiagnostics(nullptr, 0, 0);
    if (count <= 0)
        return {};
    std::vector<TVPInterfaceReport> reports(size_t(count) + 8); // room for one that appears meanwhile
    const int filled = TVPGetDiagnostics(reports.data(), reports.size(), clear ? 1 : 0);
    reports.resize(size_t(std::clamp(filled, 0, int(reports.size()))));
    return reports;
}

} // namespace

uint16_t DevicePort()
{
    const char *text = std::getenv("TVP_PORT");
    if (!text || !*text || std::strlen(text) > 5 || std::strspn(text, "0123456789") != std::strlen(text))
        return TVP_DEFAULT_PORT;
    const long port = std::strtol(text, nullptr, 10);
    return port >= 1 && port <= 65535 ? uint16_t(port) : uint16_t(TVP_DEFAULT_PORT);
}

void MergeLibraryReports(std::vector<site::DoctorInterface> &interfaces)
{
    const auto reports = LibraryReports();
    for (auto &i : interfaces) {
        const auto r =
            std::find_if(reports.begin(), reports.end(), [&](const TVPInterfaceReport &k) { return i.name == k.Name; });
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

std::string DoctorText(const site::DoctorFacts &facts, const site::DoctorReport &report)
{
    std::ostringstream out;
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
    return out.str();
}

bool DiagnosisRun::Begin()
{
    const bool started = TVPGetDiagnostics(nullptr, 0, 1) >= 0;
    used_.clear();
    for (const auto &r : LibraryReports())
        if (r.Use == TVPInterfaceUsed)
            used_.push_back(r.Name);
    tapping_ = tap_.Open(used_, DevicePort());
    dropsBefore_ = sys::RpFilterDrops();
    return started;
}

void DiagnosisRun::Poll()
{
    if (tapping_)
        tap_.Drain();
}

site::DoctorFacts DiagnosisRun::Finish(const std::vector<site::DoctorDevice> &devices, bool libraryStarted)
{
    site::DoctorFacts facts;
    if (const char *selected = std::getenv("TVP_INTERFACES"))
        facts.selection = selected;
    facts.port = DevicePort();
    facts.libraryStarted = libraryStarted;
    facts.interfaces = sys::SystemInterfaces();
    if (libraryStarted) {
        Poll();
        if (const auto after = sys::RpFilterDrops(); dropsBefore_ && after)
            facts.rpFilterDrops = *after - *dropsBefore_;
        if (tapping_)
            facts.wire = tap_.Answers();
        MergeLibraryReports(facts.interfaces);
    }
    facts.devices = devices;
    // a probe's answer at a shared address names no device: it can't be
    // credited to either
    std::vector<site::Sighting> scan;
    for (const auto &d : facts.devices)
        scan.push_back({d.id, d.ip});
    const auto shared = site::FindSharedAddresses(scan);
    for (auto &d : facts.devices)
        if (!site::OthersAt(shared, d.ip, d.id).empty())
            d.reachable = false;
    std::sort(facts.devices.begin(), facts.devices.end(), [](const site::DoctorDevice &a, const site::DoctorDevice &b) {
        return a.name != b.name ? a.name < b.name : a.ip < b.ip;
    });
    sys::ReadSystemFacts(facts);
    return facts;
}

} // namespace cli
