// SPDX-License-Identifier: MIT
#include "wire.h"

#include <cstring>

namespace tvp::wire {

namespace {

void PutU32(std::vector<uint8_t> &out, uint32_t v)
{
    out.push_back(uint8_t(v >> 24));
    out.push_back(uint8_t(v >> 16));
    out.push_back(uint8_t(v >> 8));
    out.push_back(uint8_t(v));
}

uint32_t GetU32(const uint8_t *p)
{
    return uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | uint32_t(p[3]);
}

void PutText(std::vector<uint8_t> &out, uint8_t type, const std::string &text)
{
    size_t n = std::min(text.size(), kMaxText);
    out.push_back(type);
    out.push_back(uint8_t(n));
    out.insert(out.end(), text.begin(), text.begin() + n);
}

void PutAddress(std::vector<uint8_t> &out, uint8_t type, uint32_t address)
{
    out.push_back(type);
    out.push_back(4);
    PutU32(out, address);
}

std::string CleanText(const uint8_t *p, size_t n)
{
    std::string text;
    for (size_t i = 0; i < n && i < kMaxText; ++i) {
        uint8_t c = p[i];
        if (c == 0)
            break;
        // a device's name must not smuggle control sequences into a list or log
        text.push_back(c < 0x20 || c == 0x7f ? '?' : char(c));
    }
    return text;
}

} // namespace

std::string CleanText(std::string_view text)
{
    return CleanText(reinterpret_cast<const uint8_t *>(text.data()), text.size());
}

std::vector<uint8_t> Encode(const Message &m, size_t padTo)
{
    std::vector<uint8_t> out;
    out.reserve(std::max(padTo, size_t(64)));
    out.push_back(kMagic0);
    out.push_back(kMagic1);
    out.push_back(kVersion);
    out.push_back(m.opcode);
    PutU32(out, m.txid);
    out.insert(out.end(), m.id.begin(), m.id.end());
    if (m.name)
        PutText(out, FieldName, *m.name);
    if (m.type)
        PutText(out, FieldType_, *m.type);
    if (m.address)
        PutAddress(out, FieldAddress, *m.address);
    if (m.mask)
        PutAddress(out, FieldMask, *m.mask);
    if (m.gateway)
        PutAddress(out, FieldGateway, *m.gateway);
    if (m.dhcp) {
        out.push_back(FieldDhcp);
        out.push_back(1);
        out.push_back(*m.dhcp ? 1 : 0);
    }
    if (m.status) {
        out.push_back(FieldStatus);
        out.push_back(1);
        out.push_back(*m.status);
    }
    padTo = std::min(padTo, kMaxMessage);
    while (out.size() + 2 <= padTo) {
        size_t room = padTo - out.size() - 2;
        size_t body = std::min<size_t>(room, 255);
        // never leave a one-byte gap, which no field head fits
        if (room - body == 1)
            --body;
        out.push_back(FieldPad);
        out.push_back(uint8_t(body));
        out.insert(out.end(), body, 0);
    }
    return out;
}

bool Decode(const uint8_t *data, size_t size, Message *message)
{
    if (!data || size < kHeaderSize || size > kMaxMessage)
        return false;
    if (data[0] != kMagic0 || data[1] != kMagic1 || data[2] != kVersion)
        return false;
    Message m;
    m.opcode = data[3];
    m.txid = GetU32(data + 4);
    std::memcpy(m.id.data(), data + 8, m.id.size());
    uint32_t seen = 0;
    size_t pos = kHeaderSize;
    while (pos < size) {
        if (size - pos < 2)
            return false;
        uint8_t type = data[pos];
        size_t len = data[pos + 1];
        pos += 2;
        if (len > size - pos)
            return false;
        const uint8_t *v = data + pos;
        pos += len;
        if (type == FieldPad || type > FieldStatus)
            continue;
        // a field given twice is ambiguous: which one did the sender mean?
        if (seen & (1u << type))
            return false;
        seen |= 1u << type;
        switch (type) {
        case FieldName: m.name = CleanText(v, len); break;
        case FieldType_: m.type = CleanText(v, len); break;
        case FieldAddress:
        case FieldMask:
        case FieldGateway: {
            if (len != 4)
                return false;
            uint32_t a = GetU32(v);
            (type == FieldAddress ? m.address : type == FieldMask ? m.mask : m.gateway) = a;
            break;
        }
        case FieldDhcp:
            if (len != 1)
                return false;
            m.dhcp = v[0] != 0;
            break;
        case FieldStatus:
            if (len != 1)
                return false;
            m.status = v[0];
            break;
        default: break;
        }
    }
    *message = std::move(m);
    return true;
}

bool IsRequest(uint8_t opcode)
{
    return opcode == Discover || opcode == GetIP || opcode == SetIP || opcode == Probe;
}

size_t MinRequestSize(uint8_t opcode)
{
    return opcode == Probe ? kHeaderSize : kMinRequest;
}

DeviceId InvalidId()
{
    DeviceId id;
    id.fill(0xff);
    return id;
}

bool IsDeviceId(const DeviceId &id)
{
    return id[6] == 0 && id[7] == 0;
}

} // namespace tvp::wire
