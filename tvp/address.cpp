// SPDX-License-Identifier: MIT
#include "address.h"

#include <cstring>

namespace tvp::wire {

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
    return std::to_string(a >> 24) + '.' + std::to_string((a >> 16) & 255) + '.' +
           std::to_string((a >> 8) & 255) + '.' + std::to_string(a & 255);
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

} // namespace tvp::wire
