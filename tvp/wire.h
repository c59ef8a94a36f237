// SPDX-License-Identifier: MIT
// The TVP wire format: message codec and the texts the library reports
// (the ID and address texts are in address.h). Shared by the library, the
// simulator, tests and fuzzers.
#pragma once

#include "address.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tvp::wire {

constexpr uint8_t kMagic0 = 'T';
constexpr uint8_t kMagic1 = 'V';
constexpr uint8_t kVersion = 1;
constexpr size_t kHeaderSize = 16;
// Larger datagrams are not TVP messages.
constexpr size_t kMaxMessage = 512;
// Every request is padded to at least this size and a device ignores shorter
// ones, so no answer (at most kMaxReply) is larger than its request.
constexpr size_t kMinRequest = 256;
// Name and type are shown in a list; longer texts are truncated.
constexpr size_t kMaxText = 64;

enum Opcode : uint8_t {
    Discover = 0x01,
    GetIP = 0x02,
    SetIP = 0x03,
    Probe = 0x04,
    ReplyFlag = 0x80,
    DiscoverReply = Discover | ReplyFlag,
    GetIPReply = GetIP | ReplyFlag,
    SetIPReply = SetIP | ReplyFlag,
    ProbeReply = Probe | ReplyFlag,
};

enum FieldType : uint8_t {
    FieldPad = 0x00,
    FieldName = 0x01,
    FieldType_ = 0x02,
    FieldAddress = 0x03,
    FieldMask = 0x04,
    FieldGateway = 0x05,
    FieldDhcp = 0x06,
    FieldStatus = 0x07,
};

// Largest reply: header, name and type at their maximum, three addresses,
// the DHCP flag and the status.
constexpr size_t kMaxReply = kHeaderSize + 2 * (2 + kMaxText) + 3 * (2 + 4) + 2 * (2 + 1);
static_assert(kMaxReply <= kMinRequest, "a reply must never outgrow its request");

// SetIP reply status.
enum Status : uint8_t {
    StatusOK = 0,
    StatusRefused = 1, // settings not usable (e.g. a zero mask)
};

struct Message
{
    uint8_t opcode = 0;
    uint32_t txid = 0;
    DeviceId id{};
    std::optional<std::string> name;
    std::optional<std::string> type;
    std::optional<uint32_t> address; // host byte order
    std::optional<uint32_t> mask;
    std::optional<uint32_t> gateway;
    std::optional<bool> dhcp;
    std::optional<uint8_t> status;
};

// Encodes a message; texts longer than kMaxText are cut. The result is
// padded with pad fields to padTo bytes (at most kMaxMessage) when the
// fields leave at least two bytes of room.
std::vector<uint8_t> Encode(const Message &message, size_t padTo = 0);

// Decodes a datagram. False (message untouched) for anything that is not a
// well-formed TVP message: wrong magic or version, a field running past the
// end, an address field not 4 bytes long, a field given twice, a message
// larger than kMaxMessage. Unknown fields are skipped. Texts are truncated
// at kMaxText, at the first NUL, and control characters become '?'.
bool Decode(const uint8_t *data, size_t size, Message *message);

// A device's text made safe for a list or a log, as Decode does: cut at
// kMaxText bytes and at the first NUL, control characters become '?'.
std::string CleanText(std::string_view text);

// A request a device may answer: a request opcode and at least
// MinRequestSize(opcode) bytes.
bool IsRequest(uint8_t opcode);
// Requests are padded to kMinRequest so that no answer outgrows them; a
// Probe is answered by a bare header, so it needs no padding.
size_t MinRequestSize(uint8_t opcode);

// An ID that no device has (its last two bytes are non-zero).
DeviceId InvalidId();
// A device's ID holds its MAC in the first six bytes, zero in the last two.
bool IsDeviceId(const DeviceId &id);

} // namespace tvp::wire
