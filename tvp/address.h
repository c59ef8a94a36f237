// SPDX-License-Identifier: MIT
// IPv4 addresses and device IDs as the library, the simulator and the
// command line take them: dotted-quad texts, masks and prefix lengths, which
// addresses a host can hold, ID texts, and the protocol's default ports.
// Arithmetic only, no system call: the command line links it beside the
// library's C interface.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace tvp::wire {

// The device protocol's UDP port (TVP_DEFAULT_PORT of the C interface) and
// that of the devices' TFTP servers.
constexpr uint16_t kDefaultPort = 30718;
constexpr uint16_t kDefaultTftpPort = 69;

// 255.255.255.255: every host on the link, whatever its subnet.
constexpr uint32_t kLimitedBroadcast = 0xffffffffu;
// 0.0.0.0/8 is "this network" (RFC 1122): no host holds an address in it.
constexpr uint32_t kFirstAfterThisNetwork = 0x01000000u;
// From here on multicast (224/4), class E (240/4) and the limited broadcast.
constexpr uint32_t kFirstMulticast = 0xe0000000u;

// Strict decimal dotted quad: four groups of one to three digits, each at
// most 255 ("010" is ten, never octal), nothing else. Host byte order.
bool ParseDottedQuad(const char *text, uint32_t *address);
std::optional<uint32_t> ParseDottedQuad(std::string_view text);
std::string FormatDottedQuad(uint32_t address);
// "192.168.1.20:69"
std::string FormatEndpoint(uint32_t address, uint16_t port);

// Number of leading one bits; -1 when the mask is not contiguous.
int PrefixLength(uint32_t mask);
// The mask of a prefix length; 32 and more give 255.255.255.255.
uint32_t MaskOf(unsigned prefix);
// A contiguous, non-zero mask.
bool IsMask(uint32_t mask);

// Not 0.0.0.0, multicast, class E or the limited broadcast: an address
// one host may hold.
bool IsUnicast(uint32_t address);
bool IsLoopback(uint32_t address);
// The network or broadcast address of the subnet around `address`; a /31
// or /32 has neither (RFC 3021).
bool IsNetworkOrBroadcast(uint32_t address, uint32_t mask);
// What a host may be given as its settings: a unicast address that is
// neither end of its subnet, and a subnet mask.
bool IsHostAddress(uint32_t address, uint32_t mask);

// A device's identifier on the wire: its MAC in the first six bytes, then
// two zero bytes.
using DeviceId = std::array<uint8_t, 8>;

// ID texts: canonical "00:1A:2B:3C:4D:5E"; accepted on input also with
// dashes, as three dot-separated groups of four hex digits, without
// separators, in either case, with surrounding blanks.
bool ParseMac(const std::string &text, DeviceId *id);
std::string FormatMac(const DeviceId &id);

} // namespace tvp::wire
