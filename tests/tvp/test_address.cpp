// SPDX-License-Identifier: MIT
// The address rules that the library, the simulator and the command line
// share: texts, masks and which addresses a host can hold.
#include "address.h"

#include <gtest/gtest.h>

#include <optional>

namespace wire = tvp::wire;

namespace {

TEST(Address, DottedQuadsAreStrictlyDecimal)
{
    struct Case
    {
        const char *text;
        std::optional<uint32_t> value;
    };
    for (const Case &c : {Case{"192.168.1.5", 0xc0a80105},
                          Case{"10.0.0.1", 0x0a000001},
                          Case{"010.0.0.1", 0x0a000001},
                          Case{"010.1.1.1", 0x0a010101},
                          Case{"0.0.0.0", 0},
                          Case{"255.255.255.255", 0xffffffff},
                          Case{"256.0.0.1", {}},
                          Case{"300.1.1.1", {}},
                          Case{"1.2.3", {}},
                          Case{"1.2.3.4.", {}},
                          Case{"1.2.3.4.5", {}},
                          Case{"1..3.4", {}},
                          Case{" 1.2.3.4", {}},
                          Case{"1.2.3.4 ", {}},
                          Case{"0x1.2.3.4", {}},
                          Case{"0001.2.3.4", {}},
                          Case{"1.2.3.0004", {}},
                          Case{"1.2.3.-4", {}},
                          Case{"...", {}},
                          Case{"", {}},
                          Case{"1.2.3.4\n", {}}}) {
        EXPECT_EQ(wire::ParseDottedQuad(std::string_view(c.text)), c.value) << c.text;
        uint32_t v = 0;
        EXPECT_EQ(wire::ParseDottedQuad(c.text, &v), c.value.has_value()) << c.text;
        if (c.value) {
            EXPECT_EQ(v, *c.value) << c.text;
        }
    }
    EXPECT_FALSE(wire::ParseDottedQuad(nullptr, nullptr));
    EXPECT_EQ(wire::ParseDottedQuad(std::string_view("1.2.3.4\0", 8)), std::nullopt) << "a NUL inside the text";
    EXPECT_EQ(wire::FormatDottedQuad(0x0a000001), "10.0.0.1");
    EXPECT_EQ(wire::FormatDottedQuad(0xc0a80114), "192.168.1.20");
    EXPECT_EQ(wire::FormatEndpoint(0xc0a80114, 69), "192.168.1.20:69");
}

TEST(Address, MasksAndPrefixLengths)
{
    struct Case
    {
        uint32_t mask;
        int prefix; // -1: not contiguous
        bool isMask;
    };
    for (const Case &c :
         {Case{0xffffff00, 24, true}, Case{0xffffffff, 32, true}, Case{0xfffffffe, 31, true}, Case{0x80000000, 1, true},
          Case{0, 0, false}, Case{0xff00ff00, -1, false}, Case{0x00ffffff, -1, false}}) {
        EXPECT_EQ(wire::PrefixLength(c.mask), c.prefix) << std::hex << c.mask;
        EXPECT_EQ(wire::IsMask(c.mask), c.isMask) << std::hex << c.mask;
        if (c.prefix >= 0) {
            EXPECT_EQ(wire::MaskOf(unsigned(c.prefix)), c.mask) << c.prefix;
        }
    }
    EXPECT_EQ(wire::MaskOf(33), 0xffffffffu);
}

TEST(Address, WhichAddressesAHostCanHold)
{
    struct Case
    {
        uint32_t address, mask;
        bool unicast, loopback, networkOrBroadcast, host;
    };
    for (const Case &c : {
             Case{0x0a010203, 0xffffff00, true, false, false, true},   // 10.1.2.3/24
             Case{0x0a010200, 0xffffff00, true, false, true, false},   // its network address
             Case{0x0a0102ff, 0xffffff00, true, false, true, false},   // its broadcast address
             Case{0x0a010204, 0xfffffffe, true, false, false, true},   // a /31 pair has no ends
             Case{0x0a010205, 0xfffffffe, true, false, false, true},   //
             Case{0x0a010204, 0xffffffff, true, false, false, true},   // a /32
             Case{0x0a010203, 0, true, false, false, false},           // no mask
             Case{0x0a010203, 0xff00ff00, true, false, false, false},  // not a mask
             Case{0x00000000, 0xffffffff, false, false, false, false}, // 0.0.0.0
             Case{0xffffffff, 0xffffffff, false, false, false, false}, // the limited broadcast
             Case{0xe0000001, 0xffffff00, false, false, false, false}, // multicast
             Case{0xf0000001, 0xff000000, false, false, false, false}, // class E
             Case{0x7f000001, 0xff000000, true, true, false, true},    // loopback
         }) {
        EXPECT_EQ(wire::IsUnicast(c.address), c.unicast) << std::hex << c.address;
        EXPECT_EQ(wire::IsLoopback(c.address), c.loopback) << std::hex << c.address;
        EXPECT_EQ(wire::IsNetworkOrBroadcast(c.address, c.mask), c.networkOrBroadcast)
            << std::hex << c.address << "/" << c.mask;
        EXPECT_EQ(wire::IsHostAddress(c.address, c.mask), c.host) << std::hex << c.address << "/" << c.mask;
    }
}

} // namespace
