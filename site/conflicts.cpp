// SPDX-License-Identifier: MIT
#include "conflicts.h"

#include <algorithm>
#include <set>

namespace site {

SharedAddresses FindSharedAddresses(const std::vector<Sighting> &scan)
{
    std::map<std::string, std::set<std::string>> byAddress;
    for (const auto &s : scan)
        if (!s.address.empty())
            byAddress[s.address].insert(s.id);
    SharedAddresses shared;
    for (auto &[address, ids] : byAddress)
        if (ids.size() > 1)
            shared.emplace(address, std::vector<std::string>(ids.begin(), ids.end()));
    return shared;
}

std::vector<std::string> OthersAt(const SharedAddresses &shared, const std::string &address, const std::string &id)
{
    const auto it = shared.find(address);
    if (it == shared.end())
        return {};
    std::vector<std::string> others;
    std::copy_if(it->second.begin(), it->second.end(), std::back_inserter(others),
                 [&](const std::string &other) { return other != id; });
    return others;
}

} // namespace site
