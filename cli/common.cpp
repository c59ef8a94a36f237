// SPDX-License-Identifier: MIT
#include "common.h"

#include "address.h"

namespace cli {

void AddCommon(CLI::App *app, Common &c)
{
    app->add_option("--interface", c.interfaces, "use this network interface (repeatable); overrides TVP_INTERFACES")
        ->type_name("NAME");
    app->add_flag("-v,--verbose", c.verbose, "the library's log lines on stderr");
    auto *json = app->add_flag("--json", c.json, "JSON output");
    app->add_flag("--csv", c.csv, "CSV output (RFC 4180)")->excludes(json);
}

uint32_t AddressArgument(const std::string &what, const std::string &text)
{
    auto a = tvp::wire::ParseDottedQuad(text);
    if (!a)
        throw UsageError(what + " \"" + text + "\" is not an IPv4 address");
    return *a;
}

std::vector<site::Range> TargetArguments(const std::vector<std::string> &targets)
{
    std::string error;
    auto ranges = site::ParseTargets(targets, &error);
    if (!ranges)
        throw UsageError("--target: " + error);
    return *ranges;
}

} // namespace cli
