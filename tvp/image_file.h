// SPDX-License-Identifier: MIT
// Reading a firmware image: the whole file, byte for byte, whatever the
// system's idea of text.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace tvp::image {

// The contents of the regular file at `path` (UTF-8; on Windows also the
// ANSI code page). False, with the reason in `why`, for a missing or
// unreadable file, anything but a regular file, or one above `limit` bytes.
bool ReadWhole(const char *path, uint64_t limit, std::vector<uint8_t> &bytes, std::string &why);

} // namespace tvp::image
