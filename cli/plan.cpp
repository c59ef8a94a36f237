// SPDX-License-Identifier: MIT
#include "plan.h"

#include "common.h"
#include "sweep.h"
#include "glob.h"
#include "plan_check.h"
#include "plan_make.h"
#include "plan_run.h"
#include "site_facts.h"

#include "address.h"

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <map>
#include <sstream>

namespace cli {

namespace wire = tvp::wire;

struct PlanArgs
{
    Common common;
    std::string file;
    double timeout = 2.5;
    std::vector<std::string> targets;
    double rate = site::kDefaultSweepRate;
    // apply
    bool force = false;
    int jobs = 4;
    double verifyTimeout = 30;
    // make
    std::string from, type, name, gateway, output;
};

namespace {

double Since(Clock::time_point start)
{
    return std::chrono::duration<double>(Clock::now() - start).count();
}

std::filesystem::path PathOf(const std::string &utf8)
{
    return std::filesystem::path(std::u8string(utf8.begin(), utf8.end()));
}

site::ParsedPlan ReadPlan(const std::string &file)
{
    std::ifstream in(PathOf(file), std::ios::binary);
    std::ostringstream text;
    if (!in || !(text << in.rdbuf()))
        throw UsageError("plan " + file + " cannot be read; name a CSV or JSON plan file");
    auto plan = site::ParsePlan(text.str());
    if (!plan.errors.empty()) {
        std::string all;
        for (const auto &e : plan.errors)
            all += (all.empty() ? "" : "\nnetscry-cli: ") + file + ": " + e;
        throw UsageError(all);
    }
    return plan;
}

std::vector<site::LineCheck> RunCheck(Library &library, const std::vector<site::PlanLine> &lines, const PlanArgs &a)
{
    SiteScanPlan scan;
    scan.timeoutS = a.timeout;
    scan.rate = a.rate;
    scan.targets = TargetArguments(a.targets);
    // a device at a planned address behind a router is found only there
    for (const auto &l : lines)
        if (!l.planned.dhcp && wire::IsUnicast(l.planned.ip))
            scan.alsoAsk.push_back(l.planned.ip);
    const SiteScan found = ScanSite(library, scan);
    site::CheckFacts facts;
    facts.devices = found.devices;
    facts.pcAddresses = found.pcAddresses;
    facts.uses = CheckAddresses(library, site::AddressesToCheck(lines, found.devices));
    return site::CheckPlan(lines, facts);
}

void PrintResults(const std::vector<site::LineResult> &results, Format format)
{
    if (format != Format::Text) {
        std::cout << site::WriteResults(results, format == Format::Json ? site::Format::Json : site::Format::Csv);
        return;
    }
    std::vector<Record> records;
    for (const auto &r : results)
        records.push_back({{"line", int64_t(r.line)},
                           {"id", r.id},
                           {"planned", r.planned},
                           {"outcome", r.outcome},
                           {"message", r.message}});
    PrintList(std::cout, records,
              {{"line", "LINE"}, {"id", "ID"}, {"planned", "PLANNED"}, {"outcome", "OUTCOME"}, {"message", "MESSAGE"}},
              Format::Text);
}

int Check(const PlanArgs &a)
{
    const auto plan = ReadPlan(a.file);
    Library library(a.common.Options());
    const auto checks = RunCheck(library, plan.lines, a);
    PrintResults(site::CheckResults(checks), a.common.OutputFormat());
    const auto problems = std::count_if(checks.begin(), checks.end(), [](const auto &c) { return !c.Passed(); });
    if (problems)
        std::cerr << "netscry-cli: " << problems << " of " << checks.size() << " lines have problems\n";
    return problems ? 1 : 0;
}

// --- apply ------------------------------------------------------------------------

site::LineResult NotApplied(const site::LineCheck &c, const std::string &message)
{
    return {c.line.line, c.line.id, site::SettingsText(c.line.planned), "not applied", message};
}

std::string Problems(const site::LineCheck &c)
{
    std::string text;
    for (const auto &p : c.problems)
        text += (text.empty() ? "" : "; ") + p;
    return text;
}

void PrintLive(const site::LineResult &r)
{
    std::cout << "line " << r.line << "  " << r.id << "  " << r.planned << ": " << r.outcome << ": " << r.message
              << std::endl;
}

int Apply(const PlanArgs &a)
{
    const auto plan = ReadPlan(a.file);
    Library library(a.common.Options());
    const auto checkStart = Clock::now();
    const auto checks = RunCheck(library, plan.lines, a);
    const double checked = Since(checkStart);
    const auto problems =
        size_t(std::count_if(checks.begin(), checks.end(), [](const auto &c) { return !c.Passed(); }));
    const bool text = a.common.OutputFormat() == Format::Text;

    // nothing is sent while a line has problems, unless --force
    const bool sending = problems == 0 || a.force;
    std::vector<site::ApplyTarget> targets;
    std::vector<site::LineResult> results;
    for (const auto &c : checks) {
        if (!c.Passed())
            results.push_back(NotApplied(c, Problems(c)));
        else if (!sending)
            results.push_back(NotApplied(c, "nothing was sent: other lines have problems; mend them, or apply the "
                                            "lines that passed with --force"));
        else
            targets.push_back({c.line.line, c.line.id, c.line.planned, c.device->routed ? c.device->ip : ""});
    }
    if (text)
        for (const auto &r : results)
            PrintLive(r);

    site::ApplyOptions options;
    options.jobs = size_t(a.jobs);
    options.verifyTimeout = std::chrono::milliseconds(int64_t(a.verifyTimeout * 1000));
    const auto applyStart = Clock::now();
    const auto devices = targets.empty() ? std::vector<site::ApplyDevice>{}
                                         : RunApply(library, targets, options, [&](const site::ApplyDevice &d) {
                                               if (text)
                                                   PrintLive(site::ApplyResults({d}).front());
                                           });
    const double applied = Since(applyStart);
    for (const auto &r : site::ApplyResults(devices))
        results.push_back(r);
    std::stable_sort(results.begin(), results.end(), [](const auto &x, const auto &y) { return x.line < y.line; });
    if (!text)
        PrintResults(results, a.common.OutputFormat());

    std::map<std::string, size_t> count;
    for (const auto &r : results)
        ++count[r.outcome];
    std::fprintf(stderr,
                 "netscry-cli: checked in %.3g s, applied in %.3g s: %zu applied, %zu rolled back, %zu failed, "
                 "%zu not applied\n",
                 checked, applied, count["applied"], count["rolled back"], count["failed"], count["not applied"]);
    return count["applied"] == results.size() ? 0 : 1;
}

// --- make ---------------------------------------------------------------------------

int Make(const PlanArgs &a)
{
    site::MakeRequest request;
    request.from = AddressArgument("--from", a.from);
    if (!wire::IsUnicast(request.from))
        throw UsageError("--from " + a.from + " is not an address a device can hold");
    if (!a.gateway.empty())
        request.gateway = AddressArgument("--gateway", a.gateway);
    std::error_code ec;
    if (!a.output.empty() && std::filesystem::exists(PathOf(a.output), ec))
        throw UsageError(a.output + " exists; name another file, or remove it first (it may hold a plan you edited)");

    Library library(a.common.Options());
    SiteScanPlan scanPlan;
    scanPlan.timeoutS = a.timeout;
    const SiteScan scan = ScanSite(library, scanPlan);
    for (const auto &d : scan.devices)
        if ((a.type.empty() || d.type == a.type) && (a.name.empty() || GlobMatch(a.name, d.name)))
            request.selected.push_back(d);
    if (request.selected.empty())
        throw Failure("no device found matches the selection");
    request.found = scan.devices;
    request.pcAddresses = scan.pcAddresses;

    const auto card = std::find_if(request.selected.begin(), request.selected.end(), [&](const site::SiteDevice &d) {
        return !d.routed && d.link && d.link->Contains(request.from);
    });
    std::function<bool(uint32_t)> inUse = [](uint32_t) { return true; };
    if (card != request.selected.end())
        inUse = InUseOnCard(library, card->interfaceText, *card->link);
    const auto made = site::MakePlan(request, inUse);
    for (const auto &why : made.leftOut)
        std::cerr << "netscry-cli: left out " << why << "\n";
    if (made.lines.empty())
        throw Failure(made.error.empty() ? "no device could be planned" : made.error);

    const bool json = a.common.json || PathOf(a.output).extension() == ".json";
    const std::string text = site::WritePlan(made.lines, json ? site::Format::Json : site::Format::Csv);
    if (a.output.empty()) {
        std::cout << text;
        return 0;
    }
    std::ofstream out(PathOf(a.output), std::ios::binary);
    if (!(out << text) || !out.flush())
        throw Failure(a.output + " cannot be written");
    std::cerr << "netscry-cli: " << made.lines.size() << " devices planned in " << a.output
              << "; edit it if need be, then run plan check " << a.output << "\n";
    return 0;
}

// --- options ------------------------------------------------------------------------

void AddDiscovery(CLI::App *c, PlanArgs &a, bool targets)
{
    c->add_option("--timeout", a.timeout, "discovery time, in seconds (default 2.5)")->check(CLI::Range(0.1, 3600.0));
    if (!targets)
        return;
    c->add_option("--target", a.targets,
                  "also ask each address of this range (10.2.0.0/16) directly: devices behind a router (repeatable)")
        ->type_name("CIDR_OR_ADDRESS");
    c->add_option("--rate", a.rate, "at most this many requests per second to --target (default 1000)")
        ->check(CLI::Range(site::kMinSweepRate, site::kMaxSweepRate));
}

} // namespace

PlanCommands::PlanCommands(CLI::App &app)
    : args_(std::make_unique<PlanArgs>())
{
    PlanArgs &a = *args_;
    plan_ = app.add_subcommand("plan", "address plans: check, apply or make a plan for many devices");
    // without a command, Run() says which there are

    auto *check = plan_->add_subcommand("check", "check every line of a plan against the devices and hosts found");
    AddCommon(check, a.common);
    check->add_option("FILE", a.file, "the plan: CSV (id,ip,mask,gateway or id,dhcp) or JSON")->required();
    AddDiscovery(check, a, true);

    auto *apply = plan_->add_subcommand("apply", "check a plan, then give each device its planned settings, verify "
                                                 "it answers there and roll back the ones that do not");
    AddCommon(apply, a.common);
    apply->add_option("FILE", a.file, "the plan: CSV (id,ip,mask,gateway or id,dhcp) or JSON")->required();
    AddDiscovery(apply, a, true);
    apply->add_flag("--force", a.force, "apply the lines that passed the check even when others did not");
    apply->add_option("--jobs", a.jobs, "devices re-addressed at a time (default 4)")->check(CLI::Range(1, 64));
    apply
        ->add_option("--verify-timeout", a.verifyTimeout,
                     "wait this long for each device to answer at its planned address, in seconds (default 30)")
        ->check(CLI::Range(0.1, 3600.0));

    auto *make = plan_->add_subcommand("make", "write a plan that gives the devices found consecutive free "
                                               "addresses from an address on");
    AddCommon(make, a.common);
    make->add_option("--from", a.from, "the first address to give")->type_name("A")->required();
    make->add_option("--type", a.type, "only devices of this type")->type_name("T");
    make->add_option("--name", a.name, "only devices whose name matches this pattern (* ? [...])")->type_name("GLOB");
    make->add_option("--gateway", a.gateway, "the gateway of every line (none when left out)")->type_name("G");
    make->add_option("-o,--output", a.output, "write the plan to this file, not to standard output")->type_name("FILE");
    AddDiscovery(make, a, false);
}

PlanCommands::~PlanCommands() = default;

int PlanCommands::Run() const
{
    const auto parsed = plan_->get_subcommands();
    const std::string name = parsed.empty() ? std::string() : parsed.front()->get_name();
    if (name == "check")
        return Check(*args_);
    if (name == "apply")
        return Apply(*args_);
    if (name == "make")
        return Make(*args_);
    throw UsageError("plan needs a command: check, apply or make");
}

} // namespace cli
