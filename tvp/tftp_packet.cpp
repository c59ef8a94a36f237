// SPDX-License-Identifier: MIT
#include "tftp_packet.h"

#include <algorithm>
#include <cstring>

namespace tvp::tftp {

namespace {

uint16_t ReadU16(const uint8_t *p)
{
    return static_cast<uint16_t>((p[0] << 8) | p[1]);
}

void PutU16(std::vector<uint8_t> &out, uint16_t v)
{
    out.push_back(static_cast<uint8_t>(v >> 8));
    out.push_back(static_cast<uint8_t>(v & 0xff));
}

void PutString(std::vector<uint8_t> &out, std::string_view s)
{
    out.insert(out.end(), s.begin(), s.end());
    out.push_back(0);
}

std::string Lower(std::string s)
{
    for (char &c : s)
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
    return s;
}

// Reads one zero-terminated field at `pos`; nullopt when it has no
// terminator inside the buffer or is longer than kMaxField.
std::optional<std::string> ReadField(const uint8_t *bytes, size_t size, size_t &pos)
{
    if (pos >= size)
        return std::nullopt;
    const void *end = std::memchr(bytes + pos, 0, size - pos);
    if (!end)
        return std::nullopt;
    size_t len = static_cast<const uint8_t *>(end) - (bytes + pos);
    if (len > kMaxField)
        return std::nullopt;
    std::string field(reinterpret_cast<const char *>(bytes + pos), len);
    pos += len + 1;
    return field;
}

const Option *Find(const Options &options, std::string_view name)
{
    for (const Option &o : options)
        if (o.first == name)
            return &o;
    return nullptr;
}

} // namespace

std::optional<Options> ParseOptions(const uint8_t *bytes, size_t size)
{
    Options options;
    size_t pos = 0;
    while (pos < size) {
        auto name = ReadField(bytes, size, pos);
        if (!name || name->empty())
            return std::nullopt;
        auto value = ReadField(bytes, size, pos);
        if (!value)
            return std::nullopt;
        std::string key = Lower(std::move(*name));
        // a repeated option has no defined meaning; refuse rather than guess
        if (Find(options, key) || options.size() == kMaxOptions)
            return std::nullopt;
        options.emplace_back(std::move(key), std::move(*value));
    }
    return options;
}

std::optional<Packet> Parse(const uint8_t *bytes, size_t size)
{
    if (!bytes || size < 2 || size > kMaxPacket)
        return std::nullopt;
    Packet p;
    const uint16_t op = ReadU16(bytes);
    switch (op) {
    case static_cast<uint16_t>(Opcode::Rrq):
    case static_cast<uint16_t>(Opcode::Wrq): {
        p.opcode = static_cast<Opcode>(op);
        size_t pos = 2;
        auto name = ReadField(bytes, size, pos);
        auto mode = name ? ReadField(bytes, size, pos) : std::nullopt;
        if (!name || !mode || name->empty() || mode->empty())
            return std::nullopt;
        auto options = ParseOptions(bytes + pos, size - pos);
        if (!options)
            return std::nullopt;
        p.text = std::move(*name);
        p.mode = Lower(std::move(*mode));
        p.options = std::move(*options);
        return p;
    }
    case static_cast<uint16_t>(Opcode::Data):
        if (size < 4)
            return std::nullopt;
        p.opcode = Opcode::Data;
        p.block = ReadU16(bytes + 2);
        p.data = bytes + 4;
        p.dataSize = size - 4;
        return p;
    case static_cast<uint16_t>(Opcode::Ack):
        // some stacks pad short datagrams; only the block number counts
        if (size < 4)
            return std::nullopt;
        p.opcode = Opcode::Ack;
        p.block = ReadU16(bytes + 2);
        return p;
    case static_cast<uint16_t>(Opcode::Error): {
        if (size < 4)
            return std::nullopt;
        p.opcode = Opcode::Error;
        p.errorCode = ReadU16(bytes + 2);
        // a missing terminator or an over-long message is cut, never read past
        size_t len = 0;
        while (4 + len < size && bytes[4 + len] != 0 && len < kMaxField)
            ++len;
        p.text.assign(reinterpret_cast<const char *>(bytes + 4), len);
        return p;
    }
    case static_cast<uint16_t>(Opcode::Oack): {
        p.opcode = Opcode::Oack;
        auto options = ParseOptions(bytes + 2, size - 2);
        if (!options)
            return std::nullopt;
        p.options = std::move(*options);
        return p;
    }
    default: return std::nullopt;
    }
}

std::vector<uint8_t> EncodeRequest(Opcode opcode, std::string_view fileName, std::string_view mode,
                                   const Options &options)
{
    std::vector<uint8_t> out;
    PutU16(out, static_cast<uint16_t>(opcode));
    PutString(out, fileName);
    PutString(out, mode);
    for (const Option &o : options) {
        PutString(out, o.first);
        PutString(out, o.second);
    }
    return out;
}

std::vector<uint8_t> EncodeData(uint16_t block, const uint8_t *payload, size_t size)
{
    std::vector<uint8_t> out;
    out.reserve(4 + size);
    PutU16(out, static_cast<uint16_t>(Opcode::Data));
    PutU16(out, block);
    if (size)
        out.insert(out.end(), payload, payload + size);
    return out;
}

std::vector<uint8_t> EncodeAck(uint16_t block)
{
    std::vector<uint8_t> out;
    PutU16(out, static_cast<uint16_t>(Opcode::Ack));
    PutU16(out, block);
    return out;
}

std::vector<uint8_t> EncodeError(uint16_t code, std::string_view message)
{
    std::vector<uint8_t> out;
    PutU16(out, static_cast<uint16_t>(Opcode::Error));
    PutU16(out, code);
    PutString(out, message.substr(0, kMaxField));
    return out;
}

std::vector<uint8_t> EncodeOack(const Options &options)
{
    std::vector<uint8_t> out;
    PutU16(out, static_cast<uint16_t>(Opcode::Oack));
    for (const Option &o : options) {
        PutString(out, o.first);
        PutString(out, o.second);
    }
    return out;
}

std::optional<uint64_t> ParseDecimal(std::string_view text, uint64_t max)
{
    // 20 digits overflow 64 bits; real values are far shorter
    if (text.empty() || text.size() > 19)
        return std::nullopt;
    uint64_t v = 0;
    for (char c : text) {
        if (c < '0' || c > '9')
            return std::nullopt;
        v = v * 10 + static_cast<uint64_t>(c - '0');
    }
    if (v > max)
        return std::nullopt;
    return v;
}

std::optional<Negotiated> AcceptOack(const Options &requested, const Options &granted)
{
    Negotiated n;
    for (const Option &g : granted) {
        const Option *asked = Find(requested, g.first);
        if (!asked)
            return std::nullopt; // RFC 2347: only options the client offered
        if (g.first == "blksize") {
            auto want = ParseDecimal(asked->second, kMaxBlockSize);
            auto got = ParseDecimal(g.second, kMaxBlockSize);
            if (!want || !got || *got < kMinBlockSize || *got > *want)
                return std::nullopt;
            n.blockSize = static_cast<uint16_t>(*got);
        } else if (g.first == "windowsize") {
            auto want = ParseDecimal(asked->second, kMaxWindowSize);
            auto got = ParseDecimal(g.second, kMaxWindowSize);
            if (!want || !got || *got < 1 || *got > *want)
                return std::nullopt;
            n.windowSize = static_cast<uint16_t>(*got);
        } else if (g.first == "tsize") {
            auto got = ParseDecimal(g.second, UINT64_MAX / 10);
            if (!got)
                return std::nullopt;
            n.tsize = *got;
        }
        // other offered options (timeout) are accepted as echoed
    }
    return n;
}

bool IsBusy(const Packet &packet)
{
    if (packet.opcode != Opcode::Error || packet.errorCode != ErrNotDefined)
        return false;
    return Lower(packet.text) == kBusyMessage;
}

} // namespace tvp::tftp
