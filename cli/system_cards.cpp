// SPDX-License-Identifier: MIT
#include "system.h"

#include "address.h"

namespace cli::sys {

std::optional<std::pair<uint32_t, uint32_t>> CardOf(const std::string &interfaceText,
                                                    const std::vector<LocalInterface> &local)
{
    // the library names a card by its name and one of its addresses
    for (const auto &i : local)
        for (const auto &subnet : i.subnets)
            if (i.name + " (" + tvp::wire::FormatDottedQuad(subnet.first) + ")" == interfaceText)
                return subnet;
    return std::nullopt;
}

} // namespace cli::sys
