// SPDX-License-Identifier: MIT
// A simulator that plays one device in a network namespace of its own
// holds that device's address on its interface, as the device would: set
// at start and again whenever a SetIP changes it.
#pragma once

#include "devices.h"

#include <string>

namespace devsim {

// Replaces the IPv4 addresses of `interface` with the device's address and
// mask, and its default route with the device's gateway; false with a
// message when the ip tool failed.
bool HoldAddress(const std::string &interface, const Device &device, std::string *error);

} // namespace devsim
