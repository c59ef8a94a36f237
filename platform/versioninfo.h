// SPDX-License-Identifier: MIT
#pragma once

#include <QString>

#include <array>
#include <cstdint>
#include <optional>

// The four 16-bit numbers of a program file's file version, read from the
// version record embedded in the file; none when it has no such record.
// Windows: the VERSIONINFO resource. ELF: the note below.
std::optional<std::array<uint16_t, 4>> ReadFileVersion(const QString &programFile);

// The version record of an ELF program file: a note named "Netscry" whose
// descriptor holds the file version as two 32-bit words in the file's byte
// order, most significant first (the layout of the Windows fixed file info).
struct VersionNote
{
    static constexpr uint32_t NoteType = 1;
    uint32_t NameSize = 8;
    uint32_t DescSize = 8;
    uint32_t Type = NoteType;
    char Name[8] = {'N', 'e', 't', 's', 'c', 'r', 'y', '\0'};
    uint32_t VersionMS = 0; // major << 16 | minor
    uint32_t VersionLS = 0; // build << 16 | revision
};
