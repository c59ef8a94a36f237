// SPDX-License-Identifier: MIT
// The library alone: codec, parsers, ID and address texts, the routing
// table and the free-address rule.
#include "netif.h"
#include "wire.h"

#include <gtest/gtest.h>

using namespace tvp;

namespace {

std::vector<uint8_t> Header(uint8_t opcode, uint32_t txid = 1)
{
    return {'T',
            'V',
            1,
            opcode,
            uint8_t(txid >> 24),
            uint8_t(txid >> 16),
            uint8_t(txid >> 8),
            uint8_t(txid),
            0,
            0x1a,
            0x2b,
            0,
            0,
            1,
            0,
            0};
}

std::vector<uint8_t> operator+(std::vector<uint8_t> a, const std::vector<uint8_t> &b)
{
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

TEST(TvpWire, EveryFieldSurvivesARoundTrip)
{
    wire::Message m;
    m.opcode = wire::GetIPReply;
    m.txid = 0xdeadbeef;
    m.id = {1, 2, 3, 4, 5, 6, 0, 0};
    m.name = "Boiler";
    m.type = "Gateway";
    m.address = 0xc0a80105;
    m.mask = 0xffffff00;
    m.gateway = 0;
    m.dhcp = true;
    m.status = 1;
    auto bytes = wire::Encode(m);
    wire::Message d;
    ASSERT_TRUE(wire::Decode(bytes.data(), bytes.size(), &d));
    EXPECT_EQ(d.opcode, m.opcode);
    EXPECT_EQ(d.txid, m.txid);
    EXPECT_EQ(d.id, m.id);
    EXPECT_EQ(d.name, m.name);
    EXPECT_EQ(d.type, m.type);
    EXPECT_EQ(d.address, m.address);
    EXPECT_EQ(d.mask, m.mask);
    EXPECT_EQ(d.gateway, m.gateway);
    EXPECT_EQ(d.dhcp, m.dhcp);
    EXPECT_EQ(d.status, m.status);
}

TEST(TvpWire, RequestsArePaddedSoNoReplyOutgrowsThem)
{
    for (uint8_t op : {wire::Discover, wire::GetIP, wire::SetIP, wire::Probe}) {
        wire::Message m;
        m.opcode = op;
        if (op == wire::SetIP)
            m.address = m.mask = m.gateway = 1, m.dhcp = false;
        auto bytes = wire::Encode(m, wire::kMinRequest);
        EXPECT_EQ(bytes.size(), wire::kMinRequest);
        wire::Message d;
        EXPECT_TRUE(wire::Decode(bytes.data(), bytes.size(), &d));
    }
    wire::Message biggest;
    biggest.opcode = wire::DiscoverReply;
    biggest.name = std::string(300, 'n');
    biggest.type = std::string(300, 't');
    biggest.address = biggest.mask = biggest.gateway = 1;
    biggest.dhcp = true;
    biggest.status = 0;
    EXPECT_LE(wire::Encode(biggest).size(), wire::kMinRequest);
    // odd gaps are closed exactly, never overshooting
    for (size_t pad = wire::kHeaderSize + 2; pad <= wire::kMaxMessage; ++pad)
        ASSERT_EQ(wire::Encode(wire::Message{}, pad).size(), pad);
}

TEST(TvpWire, HostileMessagesAreRejected)
{
    struct Case
    {
        const char *what;
        std::vector<uint8_t> bytes;
    };
    std::vector<Case> cases = {
        {"empty", {}},
        {"short header", {'T', 'V', 1, 0x81}},
        {"wrong magic", std::vector<uint8_t>{'X', 'V', 1, 0x81} + std::vector<uint8_t>(12)},
        {"wrong version", std::vector<uint8_t>{'T', 'V', 2, 0x81} + std::vector<uint8_t>(12)},
        {"field head cut", Header(0x81) + std::vector<uint8_t>{1}},
        {"field runs past the end", Header(0x81) + std::vector<uint8_t>{1, 10, 'a', 'b'}},
        {"three-byte address", Header(0x82) + std::vector<uint8_t>{3, 3, 1, 2, 3}},
        {"five-byte mask", Header(0x82) + std::vector<uint8_t>{4, 5, 1, 2, 3, 4, 5}},
        {"two-byte flag", Header(0x82) + std::vector<uint8_t>{6, 2, 1, 1}},
        {"address twice", Header(0x82) + std::vector<uint8_t>{3, 4, 1, 2, 3, 4, 3, 4, 5, 6, 7, 8}},
        {"oversized", Header(0x81) + std::vector<uint8_t>{0, 255} + std::vector<uint8_t>(255) +
                          std::vector<uint8_t>{0, 255} + std::vector<uint8_t>(255)},
    };
    for (const auto &c : cases) {
        wire::Message m;
        m.txid = 12345;
        EXPECT_FALSE(wire::Decode(c.bytes.data(), c.bytes.size(), &m)) << c.what;
        EXPECT_EQ(m.txid, 12345u) << c.what << ": a rejected message leaves the output alone";
    }
    EXPECT_FALSE(wire::Decode(nullptr, 16, nullptr));
}

TEST(TvpWire, TextsAreCutAndCleaned)
{
    struct Case
    {
        std::vector<uint8_t> raw;
        std::string expected;
    };
    std::vector<Case> cases = {
        {std::vector<uint8_t>(200, 'x'), std::string(wire::kMaxText, 'x')},
        {{'a', 0, 'b'}, "a"},
        {{'a', 0x1b, '[', '2', 'J', '\n'}, "a?[2J?"},
        {{0x7f, 0xc3, 0xa9}, "?\xc3\xa9"},
        {{}, ""},
    };
    for (const auto &c : cases) {
        auto bytes = Header(0x81) + std::vector<uint8_t>{1, uint8_t(c.raw.size())} + c.raw +
                     std::vector<uint8_t>{0x42, 2, 9, 9}; // an unknown field is skipped
        wire::Message m;
        ASSERT_TRUE(wire::Decode(bytes.data(), bytes.size(), &m));
        EXPECT_EQ(m.name, c.expected);
    }
}

TEST(TvpWire, MacTextsInCommonFormsGiveOneId)
{
    const wire::DeviceId expected = {0x00, 0x1a, 0x2b, 0x3c, 0x4d, 0x5e, 0, 0};
    for (const char *text : {"00:1A:2B:3C:4D:5E", "00:1a:2b:3c:4d:5e", "00-1A-2B-3C-4D-5E", "001a.2b3c.4d5e",
                             "001A2B3C4D5E", "  00:1A:2B:3C:4D:5E "}) {
        wire::DeviceId id;
        ASSERT_TRUE(wire::ParseMac(text, &id)) << text;
        EXPECT_EQ(id, expected) << text;
        EXPECT_EQ(wire::FormatMac(id), "00:1A:2B:3C:4D:5E");
    }
    for (const char *text : {"", "00:1A:2B:3C:4D", "00:1A:2B:3C:4D:5E:6F", "00:1A-2B:3C:4D:5E", "0G:1A:2B:3C:4D:5E",
                             "001A2B3C4D5", "00.1A.2B.3C.4D.5E", "0:1A:2B:3C:4D:5E:"}) {
        wire::DeviceId id{};
        EXPECT_FALSE(wire::ParseMac(text, &id)) << text;
    }
    EXPECT_FALSE(wire::IsDeviceId(wire::InvalidId()));
    EXPECT_TRUE(wire::IsDeviceId(expected));
}

TEST(TvpNet, InterfaceTexts)
{
    struct Case
    {
        const char *text;
        bool ok;
        const char *name;
        std::optional<uint32_t> address;
    };
    for (const Case &c :
         {Case{"eth0 (192.168.1.10)", true, "eth0", 0xc0a8010a}, Case{"lo", true, "lo", std::nullopt},
          Case{"eth0 (192.168.1)", false, "", std::nullopt}, Case{" (1.2.3.4)", false, "", std::nullopt},
          Case{"eth0 (1.2.3.4", false, "", std::nullopt}, Case{"", false, "", std::nullopt},
          Case{"Ethernet 2", true, "Ethernet 2", std::nullopt},
          Case{"vEthernet (Default Switch)", true, "vEthernet (Default Switch)", std::nullopt},
          Case{"vEthernet (Default Switch) (172.20.0.1)", true, "vEthernet (Default Switch)", 0xac140001},
          Case{"vEthernet (Default Switch) (172.20.0)", false, "", std::nullopt}}) {
        std::string name;
        std::optional<uint32_t> address;
        EXPECT_EQ(net::ParseInterfaceText(c.text, &name, &address), c.ok) << c.text;
        if (c.ok) {
            EXPECT_EQ(name, c.name);
            EXPECT_EQ(address, c.address);
        }
    }
    net::Interface i{"eth1", 3, 0x0a010203, 0xffff0000, false};
    EXPECT_EQ(i.Text(), "eth1 (10.1.2.3)");
    EXPECT_EQ(i.Broadcast(), 0x0a01ffffu);
    EXPECT_EQ(net::SplitNames(" eth0, lo,,eth1 "), (std::vector<std::string>{"eth0", "lo", "eth1"}));
}

TEST(TvpNet, DefaultGatewayComesFromTheRouteTable)
{
    const std::string table = "Iface\tDestination\tGateway \tFlags\tRefCnt\tUse\tMetric\tMask\t\tMTU\tWindow\tIRTT\n"
                              "eth0\t0001A8C0\t00000000\t0001\t0\t0\t0\t00FFFFFF\t0\t0\t0\n"
                              "eth0\t00000000\t0101A8C0\t0003\t0\t0\t100\t00000000\t0\t0\t0\n"
                              "eth1\t00000000\t00000000\t0001\t0\t0\t0\t00000000\t0\t0\t0\n"
                              "eth2\tgarbage\n";
    EXPECT_EQ(net::DefaultGateway(table, "eth0"), 0xc0a80101u);
    EXPECT_EQ(net::DefaultGateway(table, "eth1"), std::nullopt) << "a route without gateway";
    EXPECT_EQ(net::DefaultGateway(table, "eth2"), std::nullopt);
    EXPECT_EQ(net::DefaultGateway("", "eth0"), std::nullopt);
}

TEST(TvpNet, ChooseSkipsTakenAddressesAndProbeAnswers)
{
    net::ChooseRequest r;
    r.own = 0xc0a80101; // 192.168.1.1/29: hosts .1 to .6
    r.mask = 0xfffffff8;
    r.gateway = 0xc0a80102;
    r.taken = {0xc0a80103};
    r.seed = 0;
    std::vector<uint32_t> probed;
    auto answers = [&](uint32_t a) {
        probed.push_back(a);
        return a == 0xc0a80104;
    };
    EXPECT_EQ(net::ChooseAddress(r, answers), 0xc0a80105u);
    EXPECT_EQ(probed, (std::vector<uint32_t>{0xc0a80104, 0xc0a80105}));
    // the seed moves the start; the walk wraps past the top and skips the broadcast
    r.seed = 5;
    probed.clear();
    EXPECT_EQ(net::ChooseAddress(r, answers), 0xc0a80106u);
    r.taken = {0xc0a80103, 0xc0a80105, 0xc0a80106};
    EXPECT_EQ(net::ChooseAddress(r, answers), std::nullopt) << "full: only own, gateway, taken, and one answering";
}

TEST(TvpNet, ChooseRefusesPointToPointAndHostSubnets)
{
    for (uint32_t mask : {0xfffffffeu, 0xffffffffu, 0xff00ff00u}) {
        net::ChooseRequest r;
        r.own = 0x0a000001;
        r.mask = mask;
        EXPECT_EQ(net::ChooseAddress(r, [](uint32_t) { return false; }), std::nullopt) << std::hex << mask;
    }
    net::ChooseRequest r;
    r.own = 0x0a000001;
    r.mask = 0xffffff00;
    r.maxProbes = 3;
    int probes = 0;
    EXPECT_EQ(net::ChooseAddress(r, [&](uint32_t) { return ++probes, true; }), std::nullopt);
    EXPECT_EQ(probes, 3) << "a busy subnet is not probed address by address for ever";
}

} // namespace
