// SPDX-License-Identifier: MIT
// Each rule of the plan check, and the plan made from an address, against
// facts in the test's hand.
#include "plan_check.h"
#include "plan_make.h"

#include "address.h"

#include <gtest/gtest.h>

using namespace site;

namespace {

uint32_t A(const char *text)
{
    return *tvp::wire::ParseDottedQuad(text);
}

const Subnet kCard{A("10.1.0.1"), A("255.255.255.0")};
const Subnet kOtherCard{A("10.9.0.1"), A("255.255.255.0")};
const std::string kEth0 = "eth0 (10.1.0.1)";

SiteDevice Device(const char *id, const char *name, const char *ip, bool routed = false, Subnet card = kCard)
{
    return {id, name, "Serial Server", ip, card.address == kCard.address ? kEth0 : "eth1 (10.9.0.1)", card, routed};
}

const SiteDevice kAlpha = Device("00:00:00:00:00:0A", "Alpha", "10.1.0.20");
const SiteDevice kBravo = Device("00:00:00:00:00:0B", "Bravo", "192.168.0.5"); // factory address, on the link
const SiteDevice kDelta = Device("00:00:00:00:00:0D", "Delta", "10.1.0.30");
const SiteDevice kEcho = Device("00:00:00:00:00:0E", "Echo", "10.1.0.40");
const SiteDevice kRemote = Device("00:00:00:00:00:0F", "Remote", "10.72.0.20", true);

CheckFacts Facts()
{
    CheckFacts f;
    f.devices = {kAlpha, kBravo, kDelta, kEcho, kRemote};
    f.pcAddresses = {A("10.1.0.1"), A("10.9.0.1")};
    f.uses = {{A("10.1.0.50"), AddressUse::Neighbour}, {A("10.1.0.20"), AddressUse::Device}};
    return f;
}

PlanLine Line(int line, const SiteDevice &d, const char *ip, const char *mask = "255.255.255.0",
              const char *gateway = nullptr)
{
    return {line, d.id, {false, A(ip), A(mask), gateway ? A(gateway) : 0}, {}};
}

PlanLine Dhcp(int line, const SiteDevice &d)
{
    return {line, d.id, {true, 0, 0, 0}, {}};
}

// Each line's problems contain these, one each, in order.
void ExpectProblems(const std::vector<PlanLine> &plan, const std::vector<std::vector<std::string>> &expected)
{
    const auto checks = CheckPlan(plan, Facts());
    ASSERT_EQ(checks.size(), expected.size());
    for (size_t i = 0; i < checks.size(); ++i) {
        const auto &problems = checks[i].problems;
        std::string all;
        for (const auto &p : problems)
            all += "\n  " + p;
        ASSERT_EQ(problems.size(), expected[i].size()) << "line " << plan[i].line << all;
        for (size_t p = 0; p < problems.size(); ++p)
            EXPECT_NE(problems[p].find(expected[i][p]), std::string::npos) << "line " << plan[i].line << all;
    }
}

TEST(PlanCheck, EachRuleOnOneLine)
{
    const SiteDevice unknown = Device("00:00:00:00:00:99", "", "10.1.0.99");
    struct Case
    {
        PlanLine line;
        std::vector<std::string> problems;
    } cases[] = {
        {Line(2, kAlpha, "10.1.0.21", "255.255.255.0", "10.1.0.1"), {}},
        {Line(2, kAlpha, "10.1.0.20"), {}}, // its own address: it answers there itself
        {Line(2, kBravo, "10.1.0.22"), {}}, // an unconfigured device on the link
        {Dhcp(2, kAlpha), {}},
        {Line(2, unknown, "10.1.0.23"), {"device 00:00:00:00:00:99 was not found; check that it is on"}},
        {Line(2, kAlpha, "10.1.0.21", "255.0.255.0"), {"mask 255.0.255.0 is not a subnet mask"}},
        {Line(2, kAlpha, "10.1.0.0"), {"10.1.0.0 is the network address of 10.1.0.0/24"}},
        {Line(2, kAlpha, "10.1.0.255"), {"10.1.0.255 is the broadcast address of 10.1.0.0/24"}},
        {Line(2, kAlpha, "10.1.0.21", "255.255.255.0", "10.2.0.1"), {"gateway 10.2.0.1 lies outside 10.1.0.0/24"}},
        {Line(2, kAlpha, "10.1.0.21", "255.255.255.0", "10.1.0.21"), {"is the device's own planned address"}},
        {Line(2, kAlpha, "10.2.0.5"), {"10.2.0.5 lies outside 10.1.0.0/24, the subnet of eth0 (10.1.0.1) where"}},
        {Line(2, kAlpha, "10.1.0.30"), {"10.1.0.30 is held by device 00:00:00:00:00:0D (Delta); plan a free"}},
        {Line(2, kAlpha, "10.1.0.1"), {"10.1.0.1 is this PC's own address"}},
        {Line(2, kAlpha, "10.1.0.50"), {"10.1.0.50 is in use: a host answers ARP there; plan a free address"}},
        {Line(2, kRemote, "10.72.0.21", "255.255.255.0", "10.72.0.254"), {}},
        {Line(2, kRemote, "10.73.0.21", "255.255.255.0", "10.73.0.254"),
         {"behind a router at 10.72.0.20: 10.73.0.21 leaves its subnet 10.72.0.0/24"}},
        {Line(2, kRemote, "10.72.0.21"), {"is behind a router: give it a gateway"}},
        {Dhcp(2, kRemote), {"is behind a router: after DHCP it could not be found again"}},
    };
    for (const auto &c : cases)
        ExpectProblems({c.line}, {c.problems});
}

TEST(PlanCheck, RulesAcrossLines)
{
    // one device twice, one address twice: both lines each time
    ExpectProblems({Line(2, kAlpha, "10.1.0.21"), Line(3, kAlpha, "10.1.0.22")},
                   {{"device 00:00:00:00:00:0A is on line 3 too"}, {"is on line 2 too"}});
    ExpectProblems({Line(2, kAlpha, "10.1.0.60"), Line(5, kBravo, "10.1.0.60")},
                   {{"10.1.0.60 is planned on line 5 too"}, {"10.1.0.60 is planned on line 2 too"}});
    // an address the plan frees: in order, in two steps
    ExpectProblems({Line(2, kAlpha, "10.1.0.40"), Line(3, kEcho, "10.1.0.41")},
                   {{"10.1.0.40 is held by device 00:00:00:00:00:0E (Echo), which line 3 moves; apply that line "
                     "first"},
                    {}});
}

TEST(PlanCheck, AddressesCheckedAreTheNewOnesOnTheLinks)
{
    const auto asked = AddressesToCheck({Line(2, kAlpha, "10.1.0.21"), Line(3, kBravo, "10.1.0.22"),
                                         Line(4, kDelta, "10.1.0.30"), Line(5, kRemote, "10.72.0.21"), Dhcp(6, kEcho),
                                         Line(7, Device("00:00:00:00:00:99", "", ""), "10.1.0.23")},
                                        Facts().devices);
    ASSERT_EQ(asked.size(), 1u);
    EXPECT_EQ(asked.at(kEth0), (std::vector<uint32_t>{A("10.1.0.21"), A("10.1.0.22")}));
}

TEST(PlanMake, ConsecutiveFreeAddressesInNameOrder)
{
    MakeRequest r;
    const SiteDevice zulu = Device("00:00:00:00:00:01", "Zulu", "192.168.0.9");
    const SiteDevice delta = Device("00:00:00:00:00:0D", "Delta", "10.1.0.37");
    const SiteDevice apart = Device("00:00:00:00:00:02", "Apart", "10.9.0.5", false, kOtherCard);
    r.selected = {zulu, kRemote, kBravo, delta, kAlpha, apart};
    r.found = r.selected;
    r.found.push_back(kEcho);
    r.found.back().ip = "10.1.0.31";
    r.pcAddresses = {A("10.1.0.35"), A("10.9.0.1")};
    r.from = A("10.1.0.30");
    r.gateway = A("10.1.0.33");
    std::vector<uint32_t> asked;
    auto hosts = [&](uint32_t a) {
        asked.push_back(a);
        return a == A("10.1.0.32") || a == A("10.1.0.36");
    };
    // .31 Echo's, .32 a host's, .33 the gateway, .35 the PC's, .36 a host's,
    // .37 Delta's own: it may keep it
    const auto plan = MakePlan(r, hosts);
    ASSERT_TRUE(plan.error.empty()) << plan.error;
    const std::vector<std::pair<std::string, std::string>> expected = {
        {"Alpha", "10.1.0.30"}, {"Bravo", "10.1.0.34"}, {"Delta", "10.1.0.37"}, {"Zulu", "10.1.0.38"}};
    ASSERT_EQ(plan.lines.size(), expected.size());
    for (size_t i = 0; i < expected.size(); ++i) {
        EXPECT_EQ(plan.lines[i].name, expected[i].first);
        EXPECT_EQ(plan.lines[i].planned, (Settings{false, A(expected[i].second.c_str()), kCard.mask, r.gateway}));
    }
    EXPECT_EQ(asked,
              (std::vector<uint32_t>{A("10.1.0.30"), A("10.1.0.32"), A("10.1.0.34"), A("10.1.0.36"), A("10.1.0.38")}));
    ASSERT_EQ(plan.leftOut.size(), 2u);
    EXPECT_NE(plan.leftOut[0].find("(Apart) was found on eth1 (10.9.0.1), not on the card of 10.1.0.0/24"),
              std::string::npos);
    EXPECT_NE(plan.leftOut[1].find("(Remote) was found behind a router"), std::string::npos);

    // the subnet's end
    r.from = A("10.1.0.253");
    const auto end = MakePlan(r, [](uint32_t) { return false; });
    ASSERT_EQ(end.lines.size(), 2u);
    EXPECT_EQ(end.lines[1].planned.ip, A("10.1.0.254"));
    ASSERT_EQ(end.leftOut.size(), 4u);
    EXPECT_NE(end.leftOut[1].find("(Delta): no free address is left in 10.1.0.0/24 from 10.1.0.253"),
              std::string::npos);

    r.from = A("10.50.0.1");
    EXPECT_EQ(MakePlan(r, hosts).error, "10.50.0.1 lies in the subnet of no card the selected devices were found on");
}

// The address checks asked ahead in batches, each address once, never
// beyond the card; only Free is free.
TEST(PlanMake, InUseAsksTheCardAheadInBatchesEachAddressOnce)
{
    std::vector<std::vector<uint32_t>> batches;
    const auto inUse = InUseInBatches(kCard, [&](const std::vector<uint32_t> &addresses) {
        batches.push_back(addresses);
        std::vector<AddressUse> uses(addresses.size(), AddressUse::Free);
        uses[1] = AddressUse::Arp;
        uses.pop_back(); // an answer short: the last one unknown
        return uses;
    });
    const struct
    {
        const char *address;
        bool inUse;
        size_t batches; // asked so far
    } cases[] = {
        {"10.1.0.10", false, 1}, {"10.1.0.11", true, 1},  {"10.1.0.12", false, 1},  {"10.1.0.41", true, 1},
        {"10.1.0.42", false, 2}, {"10.1.0.10", false, 2}, {"10.1.0.250", false, 3}, {"10.9.0.1", true, 3},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.address);
        EXPECT_EQ(inUse(A(c.address)), c.inUse);
        EXPECT_EQ(batches.size(), c.batches);
    }
    ASSERT_EQ(batches.size(), 3u);
    EXPECT_EQ(batches[0].size(), InUseBatch);
    EXPECT_EQ(batches[0].front(), A("10.1.0.10"));
    // the card's last addresses only: .250 to .255
    EXPECT_EQ(batches[2], (std::vector<uint32_t>{A("10.1.0.250"), A("10.1.0.251"), A("10.1.0.252"), A("10.1.0.253"),
                                                 A("10.1.0.254"), A("10.1.0.255")}));
}

} // namespace
