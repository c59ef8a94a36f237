// SPDX-License-Identifier: MIT
#pragma once

#include <array>
#include <cstdint>
#include <string>

// The version as the About window shows it, from the file version's four
// numbers: the second is never shown, a fixed 4 stands in its place.
inline std::string AboutVersionText(const std::array<uint16_t, 4> &v)
{
    return std::to_string(v[0]) + ".4." + std::to_string(v[2]) + " build " + std::to_string(v[3]);
}
