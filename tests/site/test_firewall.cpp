// SPDX-License-Identifier: MIT
// The firewall walk: rulesets as nft -j and iptables-save print them, one
// answer of a device walked through them.
#include "firewall.h"

#include <gtest/gtest.h>

using namespace site;

namespace {

// nft -j's document of table inet filter: base chain "input" with the
// policy and `input` rules, and a chain "allow" with `allow` rules; each
// rule a list of expressions.
std::string Nft(const std::string &policy, const std::vector<std::string> &input,
                const std::vector<std::string> &allow = {})
{
    std::string doc = R"({"nftables": [{"metainfo": {"json_schema_version": 1}},
        {"table": {"family": "inet", "name": "filter", "handle": 1}},
        {"chain": {"family": "inet", "table": "filter", "name": "input", "handle": 1, "type": "filter",
                   "hook": "input", "prio": 0, "policy": ")" +
                      policy + R"("}},
        {"chain": {"family": "inet", "table": "filter", "name": "allow", "handle": 2}})";
    for (const auto &[chain, rules] : {std::pair{"input", &input}, {"allow", &allow}})
        for (const auto &r : *rules)
            doc += std::string(R"(, {"rule": {"family": "inet", "table": "filter", "chain": ")") + chain +
                   R"(", "expr": )" + r + "}}";
    return doc + "]}";
}

const std::string kEstablished =
    R"([{"match": {"op": "in", "left": {"ct": {"key": "state"}}, "right": ["established", "related"]}}, {"accept": null}])";
const std::string kLoopback =
    R"([{"match": {"op": "==", "left": {"meta": {"key": "iifname"}}, "right": "lo"}}, {"accept": null}])";

std::string Udp(const std::string &field, const std::string &value, const std::string &verdict,
                const std::string &op = "==")
{
    return R"([{"match": {"op": ")" + op + R"(", "left": {"payload": {"protocol": "udp", "field": ")" + field +
           R"("}}, "right": )" + value + R"(}}, {"counter": {"packets": 0, "bytes": 0}}, {")" + verdict +
           R"(": null}])";
}

struct Expected
{
    size_t blocks;
    bool certain;
    std::string rule;
};

void Check(const Ruleset &rules, const AnswerPacket &p, const Expected &e, const std::string &what)
{
    const auto blocks = WhatDropsAnswers(rules, p);
    ASSERT_EQ(blocks.size(), e.blocks) << what;
    if (!blocks.empty()) {
        EXPECT_EQ(blocks[0].certain, e.certain) << what;
        EXPECT_EQ(blocks[0].rule, e.rule) << what;
    }
}

TEST(Firewall, NftRulesThatDropTheAnswersAreFound)
{
    const std::string ipSource =
        R"([{"match": {"op": "==", "left": {"payload": {"protocol": "ip", "field": "saddr"}},
             "right": {"prefix": {"addr": "10.0.0.0", "len": 8}}}},
            {"match": {"op": "==", "left": {"payload": {"protocol": "udp", "field": "dport"}},
             "right": {"range": [1024, 65535]}}}, {"reject": {"type": "icmp", "expr": "port-unreachable"}}])";
    const std::string broadcast =
        R"([{"match": {"op": "==", "left": {"meta": {"key": "pkttype"}}, "right": "broadcast"}}, {"accept": null}])";
    const std::string cards =
        R"([{"match": {"op": "==", "left": {"meta": {"key": "iifname"}}, "right": "eth*"}}, {"drop": null}])";
    const std::string tcp = R"([{"match": {"op": "==", "left": {"payload": {"protocol": "tcp", "field": "dport"}},
                                "right": 22}}, {"drop": null}])";
    const std::string limited = R"([{"limit": {"rate": 10, "per": "second"}}, {"drop": null}])";
    const std::string ipv6 = R"([{"match": {"op": "==", "left": {"meta": {"key": "nfproto"}}, "right": "ipv6"}},
                                 {"drop": null}])";
    const struct
    {
        const char *what;
        std::string doc;
        Expected expected;
    } cases[] = {
        {"a desktop's firewall: policy drop, only replies let in",
         Nft("drop", {kEstablished, kLoopback}),
         {1, true, "policy drop"}},
        {"the device port dropped",
         Nft("accept", {kEstablished, Udp("sport", "30718", "drop")}),
         {1, true, "udp sport 30718 drop"}},
        {"the device port let in first", Nft("drop", {Udp("sport", "30718", "accept"), kEstablished}), {0, true, ""}},
        {"the device port let in by a set",
         Nft("drop", {Udp("sport", R"({"set": [30718, 30719]})", "accept")}),
         {0, true, ""}},
        {"another port let in", Nft("drop", {Udp("sport", "53", "accept")}), {1, true, "policy drop"}},
        {"every port above 1023 dropped, but only from 10/8",
         Nft("accept", {ipSource}),
         {1, false, "ip saddr 10.0.0.0/8 udp dport 1024-65535 reject"}},
        {"one high port dropped: maybe the program's",
         Nft("accept", {Udp("dport", "40000", "drop")}),
         {1, false, "udp dport 40000 drop"}},
        {"high ports dropped, by comparison",
         Nft("accept", {Udp("dport", "1023", "drop", ">")}),
         {1, true, "udp dport > 1023 drop"}},
        {"low ports dropped", Nft("accept", {Udp("dport", "1024", "drop", "<")}), {0, true, ""}},
        {"broadcasts accepted in a chain jumped to",
         Nft("drop", {R"([{"jump": {"target": "allow"}}])"}, {broadcast}),
         {0, true, ""}},
        {"a chain jumped to returns without a verdict",
         Nft("drop", {R"([{"jump": {"target": "allow"}}])"}, {Udp("sport", "53", "accept")}),
         {1, true, "policy drop"}},
        {"every eth card dropped", Nft("accept", {cards}), {1, true, "iifname eth* drop"}},
        {"TCP and IPv6 rules leave the answers alone", Nft("accept", {tcp, ipv6}), {0, true, ""}},
        {"a rate limit may drop them", Nft("accept", {limited}), {1, false, "limit drop"}},
    };
    AnswerPacket answer;
    answer.interface = "eth0";
    for (const auto &c : cases) {
        std::string error;
        const auto rules = ParseNftJson(c.doc, &error);
        ASSERT_TRUE(rules) << c.what << ": " << error;
        Check(*rules, answer, c.expected, c.what);
        const auto blocks = WhatDropsAnswers(*rules, answer);
        if (!blocks.empty()) {
            EXPECT_EQ(blocks[0].where, "table inet filter, chain input") << c.what;
        }
    }
    for (const std::string bad : {"[]", R"({"nftables": [{"chain": {"family": "inet", "name": 5}}]})"}) {
        std::string error;
        EXPECT_FALSE(ParseNftJson(bad, &error)) << bad;
        EXPECT_NE(error.find("not the JSON of nft -j"), std::string::npos) << bad << ": " << error;
    }
}

TEST(Firewall, IptablesSaveRulesThatDropTheAnswersAreFound)
{
    const std::string head = "# Generated by iptables-save\n*filter\n";
    const struct
    {
        const char *what;
        std::string text;
        Expected expected;
    } cases[] = {
        {"policy drop, only replies let in",
         head + ":INPUT DROP [0:0]\n:FORWARD DROP [0:0]\n-A INPUT -m conntrack --ctstate RELATED,ESTABLISHED -j "
                "ACCEPT\n-A INPUT -i lo -j ACCEPT\nCOMMIT\n",
         {1, true, "policy drop"}},
        {"the device port let in first",
         head + ":INPUT DROP [0:0]\n-A INPUT -p udp -m udp --sport 30718 -j ACCEPT\nCOMMIT\n",
         {0, true, ""}},
        {"every high port dropped",
         head + ":INPUT ACCEPT [0:0]\n-A INPUT -p udp -m multiport --dports 30000:65535 -j DROP\n",
         {1, true, "-A INPUT -p udp -m multiport --dports 30000:65535 -j DROP"}},
        {"dropped unless from 10/8: depends on the device",
         head + ":INPUT ACCEPT [0:0]\n-A INPUT ! -s 10.0.0.0/8 -p udp -j DROP\n",
         {1, false, "-A INPUT ! -s 10.0.0.0/8 -p udp -j DROP"}},
        {"broadcasts rejected on every eth card, through a chain of its own, with counters",
         head + ":INPUT ACCEPT [0:0]\n:guard - [0:0]\n[3:120] -A INPUT -i eth+ -j guard\n"
                "[0:0] -A guard -m pkttype --pkt-type broadcast -j REJECT --reject-with icmp-port-unreachable\n",
         {1, true, "-A guard -m pkttype --pkt-type broadcast -j REJECT --reject-with icmp-port-unreachable"}},
        {"TCP only", head + ":INPUT ACCEPT [0:0]\n-A INPUT -p tcp --dport 22 -j DROP\n", {0, true, ""}},
        {"NAT chains drop nothing", "*nat\n:PREROUTING DROP [0:0]\n", {0, true, ""}},
    };
    AnswerPacket answer;
    answer.interface = "eth0";
    for (const auto &c : cases)
        Check(ParseIptablesSave(c.text), answer, c.expected, c.what);
}

TEST(Firewall, AnIngressChainSeesItsOwnCardsAlone)
{
    // nft prints one card as a name, several as a list
    for (const std::string dev : {R"("eth1")", R"(["eth2", "eth1"])"}) {
        std::string error;
        const auto rules = ParseNftJson(R"({"nftables": [{"table": {"family": "netdev", "name": "edge"}},
            {"chain": {"family": "netdev", "table": "edge", "name": "in", "type": "filter", "hook": "ingress",
                       "dev": )" + dev + R"(, "prio": 0, "policy": "drop"}}]})",
                                        &error);
        ASSERT_TRUE(rules) << error;
        AnswerPacket p;
        p.interface = "eth0";
        Check(*rules, p, {0, true, ""}, dev + ": another card");
        p.interface = "eth1";
        Check(*rules, p, {1, true, "policy drop"}, dev + ": its card");
    }
}

TEST(Firewall, AKnownSourceSettlesARuleOnAddresses)
{
    const auto rules =
        ParseIptablesSave("*filter\n:INPUT ACCEPT [0:0]\n-A INPUT -s 192.168.77.0/24 -p udp --sport 30718 -j DROP\n");
    AnswerPacket p;
    p.interface = "eth0";
    p.source = 0xc0a84d14; // 192.168.77.20
    Check(rules, p, {1, true, "-A INPUT -s 192.168.77.0/24 -p udp --sport 30718 -j DROP"}, "from the dropped subnet");
    p.source = 0x0a000014;
    Check(rules, p, {0, true, ""}, "from another subnet");
}

} // namespace
