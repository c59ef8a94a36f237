// SPDX-License-Identifier: MIT
// What every command takes: the interfaces, -v and the output format; and
// the checks of address arguments.
#pragma once

#include "library.h"
#include "output.h"
#include "ranges.h"

#include <CLI/CLI.hpp>

#include <cstdint>
#include <string>
#include <vector>

namespace cli {

struct Common
{
    std::vector<std::string> interfaces;
    bool verbose = false;
    bool json = false;
    bool csv = false;

    Format OutputFormat() const { return json ? Format::Json : csv ? Format::Csv : Format::Text; }
    LibraryOptions Options() const { return {interfaces, verbose}; }
};

void AddCommon(CLI::App *app, Common &c);

// An IPv4 address argument; UsageError naming `what` otherwise.
uint32_t AddressArgument(const std::string &what, const std::string &text);
// The --target arguments, merged; UsageError for one that is no range.
std::vector<site::Range> TargetArguments(const std::vector<std::string> &targets);

} // namespace cli
