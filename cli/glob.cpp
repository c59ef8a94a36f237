// SPDX-License-Identifier: MIT
#include "glob.h"

#include <cstdint>

namespace cli {

namespace {

// Code points above this are invalid bytes, kept apart from every real one.
constexpr uint32_t kRawByte = 0x110000;

// Decodes one character at `at`, advancing it; an ill-formed sequence
// yields its first byte alone.
uint32_t Next(std::string_view s, size_t &at)
{
    const auto byte = [&](size_t i) { return uint8_t(s[i]); };
    const uint8_t b = byte(at);
    size_t length = b < 0x80 ? 1 : (b >> 5) == 6 ? 2 : (b >> 4) == 14 ? 3 : (b >> 3) == 30 ? 4 : 0;
    uint32_t c = length == 1 ? b : length == 2 ? b & 0x1f : length == 3 ? b & 0x0f : b & 0x07;
    bool ok = length > 0 && at + length <= s.size();
    for (size_t k = 1; ok && k < length; ++k) {
        ok = (byte(at + k) & 0xc0) == 0x80;
        c = (c << 6) | (byte(at + k) & 0x3f);
    }
    // overlong forms, surrogates and values beyond Unicode are not characters
    static constexpr uint32_t kLeast[] = {0, 0, 0x80, 0x800, 0x10000};
    if (ok && length > 1 && (c < kLeast[length] || (c >= 0xd800 && c <= 0xdfff) || c > 0x10ffff))
        ok = false;
    if (!ok) {
        ++at;
        return kRawByte + b;
    }
    at += length;
    return c;
}

bool InClass(std::string_view name, uint32_t c)
{
    if (c >= 0x80)
        return false; // the classes of the C locale
    const char ch = char(c);
    const bool upper = ch >= 'A' && ch <= 'Z', lower = ch >= 'a' && ch <= 'z', digit = ch >= '0' && ch <= '9';
    const bool alpha = upper || lower, print = ch >= 0x20 && ch < 0x7f;
    const bool space = ch == ' ' || (ch >= '\t' && ch <= '\r');
    if (name == "alpha")
        return alpha;
    if (name == "digit")
        return digit;
    if (name == "alnum")
        return alpha || digit;
    if (name == "upper")
        return upper;
    if (name == "lower")
        return lower;
    if (name == "space")
        return space;
    if (name == "blank")
        return ch == ' ' || ch == '\t';
    if (name == "punct")
        return print && ch != ' ' && !alpha && !digit;
    if (name == "print")
        return print;
    if (name == "graph")
        return print && ch != ' ';
    if (name == "cntrl")
        return ch < 0x20 || ch == 0x7f;
    if (name == "xdigit")
        return digit || (ch >= 'a' && ch <= 'f') || (ch >= 'A' && ch <= 'F');
    return false;
}

// Matches the set that opens at p (just past its '['). Returns false when
// the set is not closed; otherwise sets *matched and moves p past the ']'.
bool MatchSet(std::string_view pattern, size_t &p, uint32_t c, bool *matched)
{
    size_t at = p;
    bool negate = false;
    if (at < pattern.size() && (pattern[at] == '!' || pattern[at] == '^')) {
        negate = true;
        ++at;
    }
    bool hit = false, first = true;
    while (at < pattern.size()) {
        if (pattern[at] == ']' && !first) {
            p = at + 1;
            *matched = hit != negate;
            return true;
        }
        first = false;
        if (pattern.substr(at, 2) == "[:") {
            const size_t close = pattern.find(":]", at + 2);
            if (close != std::string_view::npos) {
                hit = hit || InClass(pattern.substr(at + 2, close - at - 2), c);
                at = close + 2;
                continue;
            }
        }
        if (pattern[at] == '\\' && at + 1 < pattern.size())
            ++at;
        const uint32_t low = Next(pattern, at);
        uint32_t high = low;
        if (at + 1 < pattern.size() && pattern[at] == '-' && pattern[at + 1] != ']') {
            ++at;
            if (pattern[at] == '\\' && at + 1 < pattern.size())
                ++at;
            high = Next(pattern, at);
        }
        hit = hit || (c >= low && c <= high);
    }
    return false;
}

// Whether the single-character element at p matches c; moves p past it.
bool MatchOne(std::string_view pattern, size_t &p, uint32_t c)
{
    if (pattern[p] == '?') {
        ++p;
        return true;
    }
    if (pattern[p] == '[') {
        size_t at = p + 1;
        bool matched = false;
        if (MatchSet(pattern, at, c, &matched)) {
            p = at;
            return matched;
        }
    } else if (pattern[p] == '\\' && p + 1 < pattern.size()) {
        ++p;
    }
    return Next(pattern, p) == c;
}

} // namespace

bool GlobMatch(std::string_view pattern, std::string_view text)
{
    // Greedy with one backtrack point: the last star retries one character
    // further on each mismatch, which is enough for patterns without
    // alternatives.
    size_t p = 0, t = 0;
    size_t starP = std::string_view::npos, starT = 0;
    while (t < text.size()) {
        if (p < pattern.size() && pattern[p] == '*') {
            while (p < pattern.size() && pattern[p] == '*')
                ++p;
            starP = p;
            starT = t;
            continue;
        }
        size_t nextT = t;
        const uint32_t c = Next(text, nextT);
        size_t nextP = p;
        if (p < pattern.size() && MatchOne(pattern, nextP, c)) {
            p = nextP;
            t = nextT;
            continue;
        }
        if (starP == std::string_view::npos)
            return false;
        p = starP;
        Next(text, starT);
        t = starT;
    }
    while (p < pattern.size() && pattern[p] == '*')
        ++p;
    return p == pattern.size();
}

} // namespace cli
