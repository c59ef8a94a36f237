// SPDX-License-Identifier: MIT
// Address ranges as --target and Scan Addresses take them, and the pace of
// a sweep through them.
#include "ranges.h"
#include "sweep.h"

#include <gtest/gtest.h>

using namespace site;

namespace {

TEST(Ranges, RangesLeaveOutWhatNoDeviceHolds)
{
    struct Case
    {
        const char *text;
        uint32_t first, last;
    } good[] = {
        {"10.1.2.3", 0x0a010203, 0x0a010203},
        {"10.1.2.0/24", 0x0a010201, 0x0a0102fe},  // no network, no broadcast address
        {"10.1.2.77/24", 0x0a010201, 0x0a0102fe}, // host bits ignored
        {"10.1.2.4/31", 0x0a010204, 0x0a010205},  // a point-to-point pair: both
        {"10.1.2.4/32", 0x0a010204, 0x0a010204},
        {"127.1.0.0/16", 0x7f010001, 0x7f01fffe},
    };
    for (const auto &c : good) {
        std::string error;
        auto r = ParseTarget(c.text, &error);
        ASSERT_TRUE(r) << c.text << ": " << error;
        EXPECT_EQ(r->first, c.first) << c.text;
        EXPECT_EQ(r->last, c.last) << c.text;
    }
    for (const char *bad : {"300.1.1.1", "10.0.0.0/33", "10.0.0.0/", "10.0.0.0/-1", "10.0.0.0/7", "10.0.0.0/24/2",
                            "10.0.0.0/2x", "224.0.0.1", "255.255.255.255", "0.0.0.0", "0.0.0.0/8", "eth0"}) {
        std::string error;
        EXPECT_FALSE(ParseTarget(bad, &error)) << bad;
        EXPECT_FALSE(error.empty()) << bad;
    }
}

TEST(Ranges, MergedRangesAskEachAddressOnce)
{
    auto merged = MergeRanges({{20, 30}, {5, 10}, {11, 12}, {25, 40}, {100, 100}, {8, 9}});
    ASSERT_EQ(merged.size(), 3u);
    EXPECT_EQ(merged[0].first, 5u);
    EXPECT_EQ(merged[0].last, 12u);
    EXPECT_EQ(merged[1].first, 20u);
    EXPECT_EQ(merged[1].last, 40u);
    EXPECT_EQ(TotalSize(merged), 8u + 21u + 1u);
    for (uint32_t a : {5u, 12u, 20u, 40u, 100u})
        EXPECT_TRUE(Contains(merged, a)) << a;
    for (uint32_t a : {0u, 4u, 13u, 19u, 41u, 99u, 101u})
        EXPECT_FALSE(Contains(merged, a)) << a;

    RangeWalker walk(merged);
    std::vector<uint32_t> seen;
    uint32_t a = 0;
    while (walk.Next(&a))
        seen.push_back(a);
    ASSERT_EQ(seen.size(), 30u);
    EXPECT_EQ(seen.front(), 5u);
    EXPECT_EQ(seen[8], 20u);
    EXPECT_EQ(seen.back(), 100u);

    // the top of the address space does not wrap around
    auto top = MergeRanges({{0xfffffff0u, 0xffffffffu}, {0xfffffff5u, 0xffffffffu}});
    ASSERT_EQ(top.size(), 1u);
    EXPECT_EQ(TotalSize(top), 16u);
}

TEST(Ranges, ManyTextsMergeOrTheFirstBadOneIsNamed)
{
    std::string error;
    auto merged = ParseTargets({"10.1.2.0/30", "10.1.2.3", "10.1.2.9"}, &error);
    ASSERT_TRUE(merged) << error;
    ASSERT_EQ(merged->size(), 2u);
    EXPECT_EQ(TotalSize(*merged), 4u); // .1 to .3 joined, and .9
    EXPECT_FALSE(ParseTargets({"10.1.2.3", "10.1.2.0/40", "bad"}, &error));
    EXPECT_NE(error.find("10.1.2.0/40"), std::string::npos) << error;
}

// The n-th request is due at n / rate: none early, none skipped or twice,
// however unevenly the caller looks at the clock.
TEST(Sweep, RequestsFollowTheRateInOrderEachOnce)
{
    SweepPacer pacer(MergeRanges({{100, 109}}), 4); // one every 250 ms
    struct Step
    {
        double at;
        size_t max;
        std::vector<uint32_t> due;
    } steps[] = {
        {0.0, 99, {100}},
        {0.2, 99, {}},
        {0.25, 99, {101}},
        {1.3, 2, {102, 103}}, // a short batch: the rest waits for the next look
        {1.3, 99, {104, 105}},
        {0.9, 99, {}}, // a clock that went back sends nothing
        {99.0, 99, {106, 107, 108, 109}},
        {100.0, 99, {}},
    };
    for (const auto &s : steps) {
        EXPECT_EQ(pacer.Due(s.at, s.max), s.due) << "at " << s.at;
        if (!pacer.Done()) {
            EXPECT_DOUBLE_EQ(pacer.NextDueS(), double(pacer.Asked()) / 4);
        }
    }
    EXPECT_TRUE(pacer.Done());
    EXPECT_EQ(pacer.Asked(), 10u);
}

} // namespace
