#pragma once

#include <QString>

#include <array>
#include <cstdint>
#include <optional>

// The four 16-bit numbers of a program file's file version, read from the
// version record embedded in the file; none when it has no such record.
std::optional<std::array<uint16_t, 4>> ReadFileVersion(const QString &programFile);
