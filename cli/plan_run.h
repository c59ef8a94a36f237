// SPDX-License-Identifier: MIT
// plan apply's steps (site/plan_apply) driven by pumping the library.
#pragma once

#include "library.h"
#include "plan_apply.h"

#include <functional>
#include <vector>

namespace cli {

// Runs the steps to the end; `finished` hears of each device as it ends.
std::vector<site::ApplyDevice> RunApply(Library &library, std::vector<site::ApplyTarget> targets,
                                        const site::ApplyOptions &options,
                                        const std::function<void(const site::ApplyDevice &)> &finished);

} // namespace cli
