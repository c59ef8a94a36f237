// SPDX-License-Identifier: MIT
// Two devices on one address: which IDs a scan shows sharing one.
#include "conflicts.h"

#include <gtest/gtest.h>

namespace {

const std::string kA = "02:00:00:00:00:0A", kB = "02:00:00:00:00:0B", kC = "02:00:00:00:00:0C";

TEST(Conflicts, IdsReportingOneAddressShareItOneIdSeenTwiceDoesNot)
{
    struct Case
    {
        const char *what;
        std::vector<site::Sighting> scan;
        site::SharedAddresses shared;
    } cases[] = {
        {"each its own", {{kA, "10.0.0.5"}, {kB, "10.0.0.6"}}, {}},
        {"one device heard twice", {{kA, "10.0.0.5"}, {kA, "10.0.0.5"}}, {}},
        {"no address is no conflict", {{kA, ""}, {kB, ""}}, {}},
        {"three on one, two more apart",
         {{kC, "10.0.0.5"}, {kA, "10.0.0.5"}, {kB, "10.0.0.6"}, {kB, "10.0.0.5"}, {kA, "10.0.0.7"}},
         {{"10.0.0.5", {kA, kB, kC}}}},
    };
    for (const auto &c : cases)
        EXPECT_EQ(site::FindSharedAddresses(c.scan), c.shared) << c.what;
}

TEST(Conflicts, EachDeviceIsToldTheOthersAtItsAddress)
{
    const auto shared = site::FindSharedAddresses({{kA, "10.0.0.5"}, {kB, "10.0.0.5"}, {kC, "10.0.0.5"}});
    EXPECT_EQ(site::OthersAt(shared, "10.0.0.5", kB), (std::vector<std::string>{kA, kC}));
    EXPECT_EQ(site::OthersAt(shared, "10.0.0.5", kA), (std::vector<std::string>{kB, kC}));
    EXPECT_TRUE(site::OthersAt(shared, "10.0.0.6", kA).empty());
}

} // namespace
