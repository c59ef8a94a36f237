// SPDX-License-Identifier: MIT
// Whether the PC's own firewall (Linux: nftables or iptables) drops the
// devices' answers before they reach the program: the rules as `nft -j list
// ruleset` or `iptables-save` print them, walked for one answer. Pure: the
// text is handed in. Conditions it does not understand count as "may
// match", so an uncertain verdict says so instead of guessing.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace site {

// One condition of a rule.
struct FirewallMatch
{
    enum class Key {
        Protocol,
        SourcePort,
        DestPort,
        SourceAddress,
        DestAddress,
        InInterface,
        ConnState,
        PacketType,
        Other
    };
    Key key = Key::Other;
    bool negated = false;
    std::vector<std::pair<uint32_t, uint32_t>> ranges; // ports, addresses, protocol numbers (inclusive)
    std::vector<std::string> words; // protocol names, interface names (a trailing * or + is any suffix), states, types
};

enum class FirewallVerdict { None, Accept, Drop, Reject, Jump, Goto, Return };

struct FirewallRule
{
    std::vector<FirewallMatch> matches;
    FirewallVerdict verdict = FirewallVerdict::None;
    std::string target; // Jump, Goto
    std::string text;   // as a user reads it: "udp sport 30718 drop", "-A INPUT -p udp -j DROP"
};

struct FirewallChain
{
    std::string name;
    std::string hook;                 // "input", "prerouting" or "ingress" for a chain the packets enter by themselves
    std::vector<std::string> devices; // an ingress chain's interfaces: it sees their packets alone
    FirewallVerdict policy = FirewallVerdict::Accept;
    std::vector<FirewallRule> rules;
};

struct FirewallTable
{
    std::string family, name; // "inet", "filter"; iptables: "ip", "filter"
    std::vector<FirewallChain> chains;
};

struct Ruleset
{
    std::string tool; // "nft" or "iptables"
    std::vector<FirewallTable> tables;
};

// `nft -j list ruleset`; empty with *error for a text that is not its JSON.
std::optional<Ruleset> ParseNftJson(const std::string &text, std::string *error);
// `iptables-save`: the tables with their INPUT and PREROUTING chains and
// whatever they jump to.
Ruleset ParseIptablesSave(const std::string &text);

// A device's answer as it arrives at the PC: a broadcast from the device
// port to the program's port, which is one of the system's ephemeral ports.
struct AnswerPacket
{
    std::string interface;          // where it arrives
    std::optional<uint32_t> source; // unknown: any device
    uint32_t destination = 0xffffffffu;
    uint16_t sourcePort = 30718;
    uint16_t portLow = 32768, portHigh = 60999; // the program's port lies in here
};

// A place where the answer is dropped.
struct FirewallBlock
{
    bool certain = true; // false: a condition not understood, or an unknown source, decides
    std::string where;   // "table inet filter, chain input"
    std::string rule;    // the rule's text, or "policy drop"
};

// Every chain the answer enters by itself, walked rule by rule (jumps
// followed): where it is dropped or rejected, certainly or possibly.
std::vector<FirewallBlock> WhatDropsAnswers(const Ruleset &rules, const AnswerPacket &answer);

} // namespace site
