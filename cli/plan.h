// SPDX-License-Identifier: MIT
// netscry-cli plan check | apply | make: address plans for many devices.
#pragma once

#include <CLI/CLI.hpp>

#include <memory>

namespace cli {

struct PlanArgs;

// The plan commands and their options.
class PlanCommands
{
public:
    explicit PlanCommands(CLI::App &app);
    ~PlanCommands();
    PlanCommands(const PlanCommands &) = delete;
    PlanCommands &operator=(const PlanCommands &) = delete;

    // Runs the plan command that was parsed; its exit code. Throws
    // UsageError and Failure as the other commands do.
    int Run() const;

private:
    std::unique_ptr<PlanArgs> args_;
    CLI::App *plan_ = nullptr;
};

} // namespace cli
