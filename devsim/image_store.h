// SPDX-License-Identifier: MIT
// What the simulator does with a received image: its SHA-256 for the log,
// and, when asked, a copy on disk under the device's address.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace devsim {

// Lower-case hex SHA-256 (FIPS 180-4).
std::string Sha256Hex(const uint8_t *data, size_t size);

// Writes `image` to <root>/<device address>/<name>, through a temporary file
// in the same folder renamed into place once complete, so a reader never
// sees part of an image. Folders in `name` are created; a name that is
// absolute or climbs out with ".." is refused, and so is one the system
// would store under another name or as something else than a file. Returns
// the path, or empty with `error` set.
std::string StoreImage(const std::string &root, uint32_t deviceAddress, const std::string &name,
                       const std::vector<uint8_t> &image, std::string *error);

// Why Windows would not store a file under this part of a name as given:
// a device name (CON, NUL.txt, COM1...), a stream (a colon), characters it
// refuses, or trailing dots and blanks it drops. "" when it would.
std::string WindowsNamePartProblem(std::string_view part);

} // namespace devsim
