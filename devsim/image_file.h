// SPDX-License-Identifier: MIT
// The system side of the image store, one file per system: names turned
// into paths and back, and a file written whole or not at all.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace devsim {

// A UTF-8 name as a path; nullopt when the system cannot name a file so.
std::optional<std::filesystem::path> PathFromUtf8(const std::string &text);
std::string PathToUtf8(const std::filesystem::path &path);

// Why the system would not store a file under this one part of a name as
// given ("" when it would).
std::string NamePartProblem(std::string_view part);

// Writes `bytes` to `target` through a temporary file in the same folder,
// renamed over it once complete; false with `error` set, nothing left.
bool WriteWhole(const std::filesystem::path &target, const std::vector<uint8_t> &bytes, std::string *error);

} // namespace devsim
