// SPDX-License-Identifier: MIT
// TFTP packets (RFC 1350) with option extension (RFC 2347): encoding and
// bounds-checked parsing, shared by the library's client and the simulator.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace tvp::tftp {

enum class Opcode : uint16_t { Rrq = 1, Wrq = 2, Data = 3, Ack = 4, Error = 5, Oack = 6 };

enum ErrorCode : uint16_t {
    ErrNotDefined = 0, // with the message "busy": try again later
    ErrFileNotFound = 1,
    ErrAccessViolation = 2,
    ErrDiskFull = 3,
    ErrIllegalOperation = 4,
    ErrUnknownTid = 5,
    ErrFileExists = 6,
    ErrNoSuchUser = 7,
    ErrOptionRefused = 8,
};

inline constexpr std::string_view kBusyMessage = "busy";

inline constexpr uint16_t kDefaultBlockSize = 512;
inline constexpr uint16_t kMinBlockSize = 8;      // RFC 2348
inline constexpr uint16_t kMaxBlockSize = 65464;  // RFC 2348
inline constexpr uint16_t kMaxWindowSize = 65535; // RFC 7440
// A TFTP packet never exceeds the largest block plus its 4-byte header.
inline constexpr size_t kMaxPacket = kMaxBlockSize + 4;
// File names, modes, option names and values; longer ones are hostile.
inline constexpr size_t kMaxField = 255;
// RFC 2347 allows several options; more than this is not a real request.
inline constexpr size_t kMaxOptions = 16;

using Option = std::pair<std::string, std::string>;
using Options = std::vector<Option>;

struct Packet
{
    Opcode opcode = Opcode::Ack;
    uint16_t block = 0;            // DATA, ACK
    uint16_t errorCode = 0;        // ERROR
    std::string text;              // RRQ/WRQ file name, ERROR message
    std::string mode;              // RRQ/WRQ
    Options options;               // RRQ/WRQ, OACK; names lower-cased
    const uint8_t *data = nullptr; // DATA payload, points into the parsed buffer
    size_t dataSize = 0;
};

// Nullopt for anything malformed: unknown opcode, truncated header, missing
// terminator, over-long field, odd option list, DATA above kMaxBlockSize.
std::optional<Packet> Parse(const uint8_t *bytes, size_t size);

// Parses "name\0value\0..." (the tail of a request or an OACK).
std::optional<Options> ParseOptions(const uint8_t *bytes, size_t size);

std::vector<uint8_t> EncodeRequest(Opcode opcode, std::string_view fileName, std::string_view mode,
                                   const Options &options);
std::vector<uint8_t> EncodeData(uint16_t block, const uint8_t *payload, size_t size);
std::vector<uint8_t> EncodeAck(uint16_t block);
std::vector<uint8_t> EncodeError(uint16_t code, std::string_view message);
std::vector<uint8_t> EncodeOack(const Options &options);

// Strict unsigned decimal, no sign or blanks, at most `max`.
std::optional<uint64_t> ParseDecimal(std::string_view text, uint64_t max);

// What a client asked for and what the server's OACK granted.
struct Negotiated
{
    uint16_t blockSize = kDefaultBlockSize;
    uint16_t windowSize = 1;
    std::optional<uint64_t> tsize;
};

// Checks an OACK against the request: only options that were asked for,
// each value well formed, blksize and windowsize no larger than asked
// (servers may only lower them). Nullopt when the OACK must be refused.
std::optional<Negotiated> AcceptOack(const Options &requested, const Options &granted);

// A busy device answers ERROR 0 with the message "busy" (any case).
bool IsBusy(const Packet &packet);

} // namespace tvp::tftp
