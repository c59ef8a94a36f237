// SPDX-License-Identifier: MIT
#include "firewall.h"

#include "address.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <cctype>
#include <map>
#include <sstream>

namespace site {

namespace {

using json = nlohmann::json;
using Key = FirewallMatch::Key;

// A chain jumping to itself, or ever deeper, is cut off here.
constexpr int kMaxJumpDepth = 16;

std::string Lower(std::string s)
{
    for (char &c : s)
        c = char(std::tolower(static_cast<unsigned char>(c)));
    return s;
}

// "10.0.0.0/8", "10.0.0.1", "10.0.0.1-10.0.0.9" as an inclusive range.
std::optional<std::pair<uint32_t, uint32_t>> AddressRange(const std::string &text)
{
    const size_t slash = text.find('/'), dash = text.find('-');
    if (dash != std::string::npos) {
        auto a = tvp::wire::ParseDottedQuad(text.substr(0, dash)),
             b = tvp::wire::ParseDottedQuad(text.substr(dash + 1));
        return a && b ? std::optional(std::pair(*a, *b)) : std::nullopt;
    }
    const auto a = tvp::wire::ParseDottedQuad(text.substr(0, slash));
    if (!a)
        return std::nullopt;
    if (slash == std::string::npos)
        return std::pair(*a, *a);
    uint32_t mask = 0;
    const std::string len = text.substr(slash + 1);
    if (len.find('.') != std::string::npos) {
        auto m = tvp::wire::ParseDottedQuad(len);
        if (!m)
            return std::nullopt;
        mask = *m;
    } else {
        if (len.empty() || len.size() > 2 || len.find_first_not_of("0123456789") != std::string::npos)
            return std::nullopt;
        mask = tvp::wire::MaskOf(unsigned(std::stoi(len)));
        if (std::stoi(len) == 0)
            mask = 0;
    }
    return std::pair(*a & mask, (*a & mask) | ~mask);
}

// "30718", "1024:65535", "1024-65535"
std::optional<std::pair<uint32_t, uint32_t>> PortRange(const std::string &text)
{
    const size_t sep = text.find_first_of(":-");
    auto number = [](const std::string &s) -> std::optional<uint32_t> {
        if (s.empty() || s.size() > 5 || s.find_first_not_of("0123456789") != std::string::npos)
            return std::nullopt;
        const unsigned long v = std::stoul(s);
        return v <= 65535 ? std::optional(uint32_t(v)) : std::nullopt;
    };
    if (sep == std::string::npos) {
        auto v = number(text);
        return v ? std::optional(std::pair(*v, *v)) : std::nullopt;
    }
    auto a = sep == 0 ? std::optional<uint32_t>(0) : number(text.substr(0, sep));
    auto b = sep + 1 == text.size() ? std::optional<uint32_t>(65535) : number(text.substr(sep + 1));
    return a && b ? std::optional(std::pair(*a, *b)) : std::nullopt;
}

bool IsPortKey(Key k)
{
    return k == Key::SourcePort || k == Key::DestPort;
}

// Fills a match's values from one value text; false when it can't be read.
bool AddValue(FirewallMatch &m, const std::string &text)
{
    if (IsPortKey(m.key)) {
        auto r = PortRange(text);
        if (r)
            m.ranges.push_back(*r);
        return r.has_value();
    }
    if (m.key == Key::SourceAddress || m.key == Key::DestAddress) {
        auto r = AddressRange(text);
        if (r)
            m.ranges.push_back(*r);
        return r.has_value();
    }
    if (m.key == Key::Protocol && !text.empty() && text.find_first_not_of("0123456789") == std::string::npos) {
        m.ranges.emplace_back(std::stoul(text), std::stoul(text));
        return true;
    }
    m.words.push_back(Lower(text));
    return true;
}

// --- nftables JSON ------------------------------------------------------------

// The part of a packet an expression reads, as a key; Other for the rest.
Key NftKey(const json &left, bool *notOurPacket)
{
    *notOurPacket = false;
    if (left.contains("payload")) {
        const std::string protocol = left["payload"].value("protocol", ""), field = left["payload"].value("field", "");
        if (protocol == "udp" || protocol == "th") {
            if (field == "sport")
                return Key::SourcePort;
            if (field == "dport")
                return Key::DestPort;
            return Key::Other;
        }
        if (protocol == "ip") {
            if (field == "saddr")
                return Key::SourceAddress;
            if (field == "daddr")
                return Key::DestAddress;
            if (field == "protocol")
                return Key::Protocol;
            return Key::Other;
        }
        // a condition on another protocol's header: the answer is IPv4 UDP
        *notOurPacket = protocol == "tcp" || protocol == "ip6" || protocol == "icmp" || protocol == "icmpv6" ||
                        protocol == "sctp" || protocol == "dccp" || protocol == "arp";
        return Key::Other;
    }
    if (left.contains("meta")) {
        const std::string key = left["meta"].value("key", "");
        if (key == "l4proto")
            return Key::Protocol;
        if (key == "iifname")
            return Key::InInterface;
        if (key == "pkttype")
            return Key::PacketType;
        return Key::Other;
    }
    if (left.contains("ct") && left["ct"].value("key", "") == "state")
        return Key::ConnState;
    return Key::Other;
}

std::string NftValueText(const json &v)
{
    if (v.is_string())
        return v.get<std::string>();
    if (v.is_number_integer())
        return std::to_string(v.get<long long>());
    if (v.is_object() && v.contains("range") && v["range"].is_array() && v["range"].size() == 2)
        return NftValueText(v["range"][0]) + "-" + NftValueText(v["range"][1]);
    if (v.is_object() && v.contains("prefix"))
        return NftValueText(v["prefix"].value("addr", json())) + "/" + NftValueText(v["prefix"].value("len", json()));
    if (v.is_object() && v.contains("set"))
        return NftValueText(v["set"]);
    if (v.is_array()) {
        std::string out;
        for (const auto &e : v)
            out += (out.empty() ? "" : ", ") + NftValueText(e);
        return "{ " + out + " }";
    }
    return v.dump();
}

std::string NftLeftText(const json &left)
{
    if (left.contains("payload"))
        return left["payload"].value("protocol", "?") + " " + left["payload"].value("field", "?");
    if (left.contains("meta")) {
        const std::string key = left["meta"].value("key", "?");
        return key == "iifname" || key == "oifname" || key == "iif" || key == "oif" ? key : "meta " + key;
    }
    if (left.contains("ct"))
        return "ct " + left["ct"].value("key", "?");
    return left.dump();
}

// The values of a right-hand side, flattened: sets and arrays to their elements.
void NftValues(const json &v, std::vector<std::string> &out)
{
    if (v.is_array())
        for (const auto &e : v)
            NftValues(e, out);
    else if (v.is_object() && v.contains("set"))
        NftValues(v["set"], out);
    else
        out.push_back(NftValueText(v));
}

// One "match" expression; *impossible when the answer can never match it.
FirewallMatch NftMatch(const json &match, std::string *text, bool *impossible)
{
    FirewallMatch m;
    const json left = match.value("left", json()), right = match.value("right", json());
    const std::string op = match.value("op", "==");
    m.key = NftKey(left, impossible);
    m.negated = op == "!=";
    // an inet table's rule for IPv6 alone
    if (left.contains("meta") && left["meta"].value("key", "") == "nfproto" && op == "==" && right == "ipv6")
        *impossible = true;
    *text = NftLeftText(left) + (op == "==" || op == "in" ? " " : " " + op + " ") + NftValueText(right);
    if (m.key == Key::Other || (op != "==" && op != "!=" && op != "in" && !IsPortKey(m.key)))
        return m.key = Key::Other, m;
    std::vector<std::string> values;
    NftValues(right, values);
    if (IsPortKey(m.key) && (op == "<" || op == ">" || op == "<=" || op == ">=") && values.size() == 1) {
        auto v = PortRange(values[0]);
        if (!v)
            return m.key = Key::Other, m;
        const uint32_t n = v->first;
        m.ranges.push_back(op == "<"    ? std::pair(0u, n ? n - 1 : 0u)
                           : op == "<=" ? std::pair(0u, n)
                           : op == ">"  ? std::pair(n + 1, 65535u)
                                        : std::pair(n, 65535u));
        return m;
    }
    for (const auto &v : values)
        if (!AddValue(m, v))
            return m.key = Key::Other, m;
    return m;
}

FirewallRule NftRule(const json &rule)
{
    FirewallRule r;
    std::string text;
    bool never = false;
    for (const auto &e : rule.value("expr", json::array())) {
        if (!e.is_object() || e.empty())
            continue;
        const std::string kind = e.begin().key();
        std::string part;
        if (kind == "match") {
            bool impossible = false;
            r.matches.push_back(NftMatch(e["match"], &part, &impossible));
            never = never || impossible;
        } else if (kind == "accept" || kind == "drop" || kind == "reject" || kind == "return") {
            r.verdict = kind == "accept"   ? FirewallVerdict::Accept
                        : kind == "drop"   ? FirewallVerdict::Drop
                        : kind == "reject" ? FirewallVerdict::Reject
                                           : FirewallVerdict::Return;
            part = kind;
        } else if (kind == "jump" || kind == "goto") {
            r.verdict = kind == "jump" ? FirewallVerdict::Jump : FirewallVerdict::Goto;
            r.target = e[kind].value("target", "");
            part = kind + " " + r.target;
        } else if (kind == "counter" || kind == "log" || kind == "comment") {
            continue; // no condition, no verdict
        } else {
            // a rate limit, a compat match, a lookup: may or may not hold
            r.matches.push_back(FirewallMatch{});
            part = kind;
        }
        text += (text.empty() ? "" : " ") + part;
    }
    if (never)
        r.verdict = FirewallVerdict::None; // a rule for other packets: nothing it does touches the answers
    r.text = text;
    return r;
}

// --- iptables-save ------------------------------------------------------------

std::vector<std::string> Tokens(const std::string &line)
{
    std::vector<std::string> out;
    std::string current;
    bool quoted = false, any = false;
    for (char c : line) {
        if (c == '"') {
            quoted = !quoted;
            any = true;
        } else if ((c == ' ' || c == '\t') && !quoted) {
            if (any)
                out.push_back(current);
            current.clear();
            any = false;
        } else {
            current.push_back(c);
            any = true;
        }
    }
    if (any)
        out.push_back(current);
    return out;
}

std::optional<Key> IptablesKey(const std::string &option)
{
    static const std::map<std::string, Key> keys = {
        {"-p", Key::Protocol},
        {"--protocol", Key::Protocol},
        {"-s", Key::SourceAddress},
        {"--source", Key::SourceAddress},
        {"--src", Key::SourceAddress},
        {"-d", Key::DestAddress},
        {"--destination", Key::DestAddress},
        {"--dst", Key::DestAddress},
        {"-i", Key::InInterface},
        {"--in-interface", Key::InInterface},
        {"--sport", Key::SourcePort},
        {"--source-port", Key::SourcePort},
        {"--sports", Key::SourcePort},
        {"--source-ports", Key::SourcePort},
        {"--dport", Key::DestPort},
        {"--destination-port", Key::DestPort},
        {"--dports", Key::DestPort},
        {"--destination-ports", Key::DestPort},
        {"--state", Key::ConnState},
        {"--ctstate", Key::ConnState},
        {"--pkt-type", Key::PacketType},
        {"--dst-type", Key::PacketType},
    };
    const auto it = keys.find(option);
    return it == keys.end() ? std::nullopt : std::optional(it->second);
}

FirewallVerdict IptablesTarget(const std::string &target)
{
    if (target == "ACCEPT")
        return FirewallVerdict::Accept;
    if (target == "DROP")
        return FirewallVerdict::Drop;
    if (target == "REJECT")
        return FirewallVerdict::Reject;
    if (target == "RETURN")
        return FirewallVerdict::Return;
    if (target == "LOG" || target == "NFLOG" || target == "MARK" || target == "CONNMARK" || target == "CT" ||
        target == "NOTRACK" || target == "TRACE")
        return FirewallVerdict::None;
    return FirewallVerdict::Jump;
}

// One "-A CHAIN ..." line; the chain's name in *chain.
FirewallRule IptablesRule(const std::vector<std::string> &t, const std::string &line)
{
    FirewallRule r;
    r.text = line;
    bool negate = false;
    for (size_t i = 2; i < t.size(); ++i) {
        const std::string &o = t[i];
        const bool hasValue = i + 1 < t.size() && !t[i + 1].starts_with("-");
        if (o == "!") {
            negate = true;
            continue;
        }
        if (o == "-m" || o == "--match" || o == "--comment") {
            ++i; // a module's name, a comment: no condition of their own
        } else if (o == "-j" || o == "--jump" || o == "-g" || o == "--goto") {
            if (i + 1 < t.size()) {
                r.target = t[++i];
                r.verdict = o == "-g" || o == "--goto" ? FirewallVerdict::Goto : IptablesTarget(r.target);
            }
        } else if (auto key = IptablesKey(o); key && hasValue) {
            FirewallMatch m;
            m.key = *key;
            m.negated = negate;
            std::stringstream values(t[++i]);
            std::string v;
            while (std::getline(values, v, ','))
                if (!AddValue(m, v))
                    m.key = Key::Other;
            if (m.key == Key::InInterface)
                for (auto &w : m.words)
                    if (w.ends_with("+"))
                        w.back() = '*';
            r.matches.push_back(m);
        } else if (o.starts_with("-") && r.verdict == FirewallVerdict::None && r.target.empty()) {
            FirewallMatch m; // a condition not understood
            m.negated = negate;
            r.matches.push_back(m);
            if (hasValue)
                ++i;
        } else if (hasValue && o.starts_with("-")) {
            ++i; // a target's own option (--reject-with ...)
        }
        negate = false;
    }
    return r;
}

// --- the walk ---------------------------------------------------------------

enum class Tri { No, Maybe, Yes };

Tri Not(Tri t)
{
    return t == Tri::Yes ? Tri::No : t == Tri::No ? Tri::Yes : Tri::Maybe;
}

bool InRanges(const std::vector<std::pair<uint32_t, uint32_t>> &ranges, uint32_t v)
{
    return std::any_of(ranges.begin(), ranges.end(), [&](const auto &r) { return r.first <= v && v <= r.second; });
}

Tri Evaluate(const FirewallMatch &m, const AnswerPacket &p)
{
    auto has = [&](const std::string &w) { return std::find(m.words.begin(), m.words.end(), w) != m.words.end(); };
    Tri t = Tri::Maybe;
    switch (m.key) {
    case Key::Protocol: t = has("udp") || has("all") || InRanges(m.ranges, 17) ? Tri::Yes : Tri::No; break;
    case Key::SourcePort: t = InRanges(m.ranges, p.sourcePort) ? Tri::Yes : Tri::No; break;
    case Key::DestPort: {
        const bool all = std::any_of(m.ranges.begin(), m.ranges.end(),
                                     [&](const auto &r) { return r.first <= p.portLow && p.portHigh <= r.second; });
        const bool some = std::any_of(m.ranges.begin(), m.ranges.end(),
                                      [&](const auto &r) { return r.first <= p.portHigh && p.portLow <= r.second; });
        t = all ? Tri::Yes : some ? Tri::Maybe : Tri::No;
        break;
    }
    case Key::SourceAddress:
        if (InRanges(m.ranges, 0) && InRanges(m.ranges, 0xffffffffu))
            t = Tri::Yes; // any address
        else
            t = p.source ? (InRanges(m.ranges, *p.source) ? Tri::Yes : Tri::No) : Tri::Maybe;
        break;
    case Key::DestAddress: t = InRanges(m.ranges, p.destination) ? Tri::Yes : Tri::No; break;
    case Key::InInterface:
        if (p.interface.empty())
            break;
        t = std::any_of(m.words.begin(), m.words.end(),
                        [&](const std::string &w) {
                            return w.ends_with("*") ? Lower(p.interface).starts_with(w.substr(0, w.size() - 1))
                                                    : w == Lower(p.interface);
                        })
                ? Tri::Yes
                : Tri::No;
        break;
    // a broadcast answer comes from an address the request did not go to:
    // to connection tracking it is new
    case Key::ConnState: t = has("new") ? Tri::Yes : Tri::No; break;
    case Key::PacketType: t = has("broadcast") ? Tri::Yes : Tri::No; break;
    case Key::Other: break;
    }
    return m.negated ? Not(t) : t;
}

Tri Evaluate(const FirewallRule &r, const AnswerPacket &p)
{
    Tri all = Tri::Yes;
    for (const auto &m : r.matches) {
        const Tri t = Evaluate(m, p);
        if (t == Tri::No)
            return Tri::No;
        if (t == Tri::Maybe)
            all = Tri::Maybe;
    }
    return all;
}

struct Outcome
{
    enum What { Continue, Accepted, Dropped } what = Continue;
    bool uncertain = false;
    std::string rule, chain;
};

struct Walker
{
    const FirewallTable &table;
    const AnswerPacket &packet;
    std::vector<FirewallBlock> possible; // rules that drop only under a condition not known

    const FirewallChain *Find(const std::string &name) const
    {
        for (const auto &c : table.chains)
            if (c.name == name)
                return &c;
        return nullptr;
    }

    Outcome Walk(const FirewallChain &chain, int depth)
    {
        Outcome out;
        for (const auto &rule : chain.rules) {
            const Tri t = rule.verdict == FirewallVerdict::None ? Tri::No : Evaluate(rule, packet);
            if (t == Tri::No)
                continue;
            Outcome step;
            step.chain = chain.name;
            step.rule = rule.text;
            switch (rule.verdict) {
            case FirewallVerdict::Accept: step.what = Outcome::Accepted; break;
            case FirewallVerdict::Drop:
            case FirewallVerdict::Reject: step.what = Outcome::Dropped; break;
            case FirewallVerdict::Return: step.what = Outcome::Continue; break;
            case FirewallVerdict::Jump:
            case FirewallVerdict::Goto: {
                const FirewallChain *target = Find(rule.target);
                if (!target || depth >= kMaxJumpDepth) {
                    out.uncertain = true;
                    continue;
                }
                step = Walk(*target, depth + 1);
                if (step.what == Outcome::Continue && rule.verdict == FirewallVerdict::Jump) {
                    out.uncertain = out.uncertain || step.uncertain;
                    continue;
                }
                break;
            }
            case FirewallVerdict::None: continue;
            }
            if (t == Tri::Maybe) {
                if (step.what == Outcome::Dropped)
                    possible.push_back({false, Where(step.chain), step.rule});
                out.uncertain = true;
                continue;
            }
            step.uncertain = step.uncertain || out.uncertain;
            return step;
        }
        return out;
    }

    std::string Where(const std::string &chain) const
    {
        return "table " + table.family + " " + table.name + ", chain " + chain;
    }
};

// An ingress chain's "dev": one name, or a list of them since nftables 0.9.7.
std::vector<std::string> NftDevices(const json &dev)
{
    std::vector<std::string> names;
    if (dev.is_string())
        names.push_back(dev.get<std::string>());
    else if (dev.is_array())
        for (const auto &d : dev)
            if (d.is_string())
                names.push_back(d.get<std::string>());
    return names;
}

// The entries of nft -j's "nftables" list; json::type_error for a value of
// another type than nft prints.
Ruleset NftRuleset(const json &entries)
{
    Ruleset set;
    set.tool = "nft";
    auto table = [&](const json &o) -> FirewallTable & {
        const std::string family = o.value("family", ""), name = o.value("table", o.value("name", ""));
        for (auto &t : set.tables)
            if (t.family == family && t.name == name)
                return t;
        set.tables.push_back({family, name, {}});
        return set.tables.back();
    };
    auto chain = [&](FirewallTable &t, const std::string &name) -> FirewallChain & {
        for (auto &c : t.chains)
            if (c.name == name)
                return c;
        t.chains.push_back({name, "", {}, FirewallVerdict::Accept, {}});
        return t.chains.back();
    };
    for (const auto &entry : entries) {
        if (!entry.is_object())
            continue;
        if (entry.contains("table") && entry["table"].is_object()) {
            table(entry["table"]);
        } else if (entry.contains("chain") && entry["chain"].is_object()) {
            const json &c = entry["chain"];
            FirewallChain &ch = chain(table(c), c.value("name", ""));
            const std::string family = c.value("family", ""), hook = c.value("hook", "");
            // IPv4 answers pass the hooks of the ip and inet families (and netdev's ingress)
            if ((family == "ip" || family == "inet") && (hook == "input" || hook == "prerouting"))
                ch.hook = hook;
            else if (family == "netdev" && hook == "ingress")
                ch.hook = hook, ch.devices = NftDevices(c.value("dev", json()));
            ch.policy = c.value("policy", "accept") == "drop" ? FirewallVerdict::Drop : FirewallVerdict::Accept;
        } else if (entry.contains("rule") && entry["rule"].is_object()) {
            const json &r = entry["rule"];
            chain(table(r), r.value("chain", "")).rules.push_back(NftRule(r));
        }
    }
    return set;
}

} // namespace

std::optional<Ruleset> ParseNftJson(const std::string &text, std::string *error)
{
    try {
        const json doc = json::parse(text);
        if (!doc.is_object() || !doc.contains("nftables") || !doc["nftables"].is_array()) {
            *error = "not the JSON of nft -j: no \"nftables\" list";
            return std::nullopt;
        }
        return NftRuleset(doc["nftables"]);
    } catch (const json::exception &e) {
        *error = std::string("not the JSON of nft -j: ") + e.what();
        return std::nullopt;
    }
}

Ruleset ParseIptablesSave(const std::string &text)
{
    Ruleset set;
    set.tool = "iptables";
    std::istringstream in(text);
    std::string line;
    FirewallTable *table = nullptr;
    auto chain = [&](const std::string &name) -> FirewallChain & {
        for (auto &c : table->chains)
            if (c.name == name)
                return c;
        table->chains.push_back({name, "", {}, FirewallVerdict::Accept, {}});
        return table->chains.back();
    };
    while (std::getline(in, line)) {
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        if (line.starts_with("[")) // iptables-save -c: the counters first
            line = line.substr(std::min(line.size(), line.find(']') + 2));
        if (line.starts_with("*")) {
            set.tables.push_back({"ip", line.substr(1), {}});
            table = &set.tables.back();
            continue;
        }
        if (!table || line.empty() || line[0] == '#')
            continue;
        const auto t = Tokens(line);
        if (line[0] == ':' && t.size() >= 2) {
            FirewallChain &c = chain(t[0].substr(1));
            c.policy = t[1] == "DROP" ? FirewallVerdict::Drop : FirewallVerdict::Accept;
            if (c.name == "INPUT" && table->name != "nat")
                c.hook = "input";
            else if (c.name == "PREROUTING" && table->name != "nat")
                c.hook = "prerouting";
        } else if (t.size() >= 2 && (t[0] == "-A" || t[0] == "--append")) {
            chain(t[1]).rules.push_back(IptablesRule(t, line));
        }
    }
    return set;
}

std::vector<FirewallBlock> WhatDropsAnswers(const Ruleset &rules, const AnswerPacket &answer)
{
    std::vector<FirewallBlock> blocks;
    for (const auto &table : rules.tables)
        for (const auto &chain : table.chains) {
            if (chain.hook.empty() || (!chain.devices.empty() && std::find(chain.devices.begin(), chain.devices.end(),
                                                                           answer.interface) == chain.devices.end()))
                continue;
            Walker w{table, answer, {}};
            Outcome o = w.Walk(chain, 0);
            if (o.what == Outcome::Continue && chain.policy == FirewallVerdict::Drop) {
                o = {Outcome::Dropped, o.uncertain, "policy drop", chain.name};
            }
            if (o.what == Outcome::Dropped)
                blocks.push_back({!o.uncertain, w.Where(o.chain), o.rule});
            else
                blocks.insert(blocks.end(), w.possible.begin(), w.possible.end());
        }
    return blocks;
}

} // namespace site
