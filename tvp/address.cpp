// SPDX-License-Identifier: MIT
#include "address.h"

#include <cstring>

namespace tvp::wire {

namespace {

int HexDigit(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

} // namespace

std::optional<uint32_t> ParseDottedQuad(std::string_view text)
{
    uint32_t result = 0;
    size_t i = 0;
    for (int group = 0; group < 4; ++group) {
        if (group) {
            if (i >= text.size() || text[i] != '.')
                return std::nullopt;
            ++i;
        }
        int digits = 0;
        uint32_t value = 0;
        while (i < text.size() && text[i] >= '0' && text[i] <= '9') {
            if (++digits > 3)
                return std::nullopt;
            value = value * 10 + uint32_t(text[i] - '0');
            ++i;
        }
        if (digits == 0 || value > 255)
            return std::nullopt;
        result = result << 8 | value;
    }
    if (i != text.size())
        return std::nullopt;
    return result;
}

bool ParseDottedQuad(const char *text, uint32_t *address)
{
    if (!text)
        return false;
    const auto parsed = ParseDottedQuad(std::string_view(text, std::strlen(text)));
    if (parsed && address)
        *address = *parsed;
    return parsed.has_value();
}

std::string FormatDottedQuad(uint32_t a)
{
    return std::to_string(a >> 24) + '.' + std::to_string((a >> 16) & 255) + '.' + std::to_string((a >> 8) & 255) +
           '.' + std::to_string(a & 255);
}

std::string FormatEndpoint(uint32_t address, uint16_t port)
{
    return FormatDottedQuad(address) + ':' + std::to_string(port);
}

int PrefixLength(uint32_t mask)
{
    int n = 0;
    while (n < 32 && (mask & (0x80000000u >> n)))
        ++n;
    if (n < 32 && (mask << n) != 0)
        return -1;
    return n;
}

uint32_t MaskOf(unsigned prefix)
{
    // a shift by 32 is undefined: the full mask is spelled out
    return prefix == 0 ? 0 : prefix >= 32 ? 0xffffffffu : ~(0xffffffffu >> prefix);
}

bool IsMask(uint32_t mask)
{
    return PrefixLength(mask) > 0;
}

bool IsUnicast(uint32_t address)
{
    return address != 0 && address < kFirstMulticast;
}

bool IsLoopback(uint32_t address)
{
    return address >> 24 == 127;
}

bool IsNetworkOrBroadcast(uint32_t address, uint32_t mask)
{
    return PrefixLength(mask) < 31 && ((address & ~mask) == 0 || (address | mask) == 0xffffffffu);
}

bool IsHostAddress(uint32_t address, uint32_t mask)
{
    return IsUnicast(address) && IsMask(mask) && !IsNetworkOrBroadcast(address, mask);
}

bool ParseMac(const std::string &input, DeviceId *id)
{
    size_t b = input.find_first_not_of(" \t");
    size_t e = input.find_last_not_of(" \t");
    std::string text = b == std::string::npos ? std::string() : input.substr(b, e - b + 1);
    std::string hex;
    if (text.size() == 17 && (text[2] == ':' || text[2] == '-')) {
        char sep = text[2];
        for (size_t i = 0; i < 17; ++i) {
            if (i % 3 == 2) {
                if (text[i] != sep)
                    return false;
            } else {
                hex.push_back(text[i]);
            }
        }
    } else if (text.size() == 14 && text[4] == '.' && text[9] == '.') {
        for (size_t i = 0; i < 14; ++i)
            if (i != 4 && i != 9)
                hex.push_back(text[i]);
    } else if (text.size() == 12) {
        hex = text;
    } else {
        return false;
    }
    DeviceId out{};
    for (size_t i = 0; i < 6; ++i) {
        int hi = HexDigit(hex[2 * i]), lo = HexDigit(hex[2 * i + 1]);
        if (hi < 0 || lo < 0)
            return false;
        out[i] = uint8_t(hi << 4 | lo);
    }
    *id = out;
    return true;
}

std::string FormatMac(const DeviceId &id)
{
    static const char digits[] = "0123456789ABCDEF";
    std::string text;
    for (size_t i = 0; i < 6; ++i) {
        if (i)
            text.push_back(':');
        text.push_back(digits[id[i] >> 4]);
        text.push_back(digits[id[i] & 15]);
    }
    return text;
}

} // namespace tvp::wire
