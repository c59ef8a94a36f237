// SPDX-License-Identifier: MIT
#include "own_address.h"

namespace devsim {

// Changing an adapter's addresses takes an administrator and the IP Helper
// calls of a network tool; the simulator does not do that on Windows.
bool HoldAddress(const std::string &interface, const Device &, std::string *error)
{
    *error = "--own-address is not supported on Windows (it would change the addresses of " + interface + ")";
    return false;
}

} // namespace devsim
