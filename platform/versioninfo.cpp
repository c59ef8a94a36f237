// SPDX-License-Identifier: MIT
#include "versioninfo.h"

#include <QFile>

#ifdef _WIN32
#include <QDir>
#include "win32_calls.h"
#else
#include <cstring>
#endif

#ifdef _WIN32

std::optional<std::array<uint16_t, 4>> ReadFileVersion(const QString &programFile)
{
    // GetFileVersionInfoA takes the ANSI code page
    return win32::ReadFileVersion(QDir::toNativeSeparators(programFile).toLocal8Bit().toStdString());
}

#else

namespace {

std::array<uint16_t, 4> Split(uint32_t ms, uint32_t ls)
{
    return {uint16_t(ms >> 16), uint16_t(ms & 0xFFFF), uint16_t(ls >> 16), uint16_t(ls & 0xFFFF)};
}

// Bounds that keep a damaged or hostile file from making us read much: the
// version note is a few dozen bytes, and no real program has more sections.
constexpr qint64 MaxNoteSection = 1 << 20;
constexpr uint32_t MaxSections = 65535;

class ElfReader
{
public:
    explicit ElfReader(QFile &file)
        : file_(file),
          size_(file.size())
    {}

    std::optional<std::array<uint16_t, 4>> FindVersion()
    {
        const QByteArray ident = Read(0, 16);
        if (ident.size() != 16 || !ident.startsWith("\x7f"
                                                    "ELF"))
            return std::nullopt;
        const char elfClass = ident[4], data = ident[5];
        if ((elfClass != 1 && elfClass != 2) || (data != 1 && data != 2))
            return std::nullopt;
        wide_ = elfClass == 2;
        bigEndian_ = data == 2;

        const QByteArray header = Read(0, wide_ ? 64 : 52);
        if (header.isEmpty())
            return std::nullopt;
        const uint64_t shoff = wide_ ? U64(header, 0x28) : U32(header, 0x20);
        const uint32_t shentsize = U16(header, wide_ ? 0x3A : 0x2E);
        const uint32_t shnum = U16(header, wide_ ? 0x3C : 0x30);
        const uint32_t minEntry = wide_ ? 64 : 40;
        if (shoff == 0 || shnum == 0 || shnum > MaxSections || shentsize < minEntry)
            return std::nullopt;
        // The whole table must lie in the file, or the header is not to be trusted.
        const uint64_t tableSize = uint64_t(shnum) * shentsize;
        if (shoff > uint64_t(size_) || tableSize > uint64_t(size_) - shoff)
            return std::nullopt;

        for (uint32_t i = 0; i < shnum; ++i) {
            const QByteArray sh = Read(shoff + uint64_t(i) * shentsize, minEntry);
            if (sh.isEmpty())
                return std::nullopt;
            constexpr uint32_t SHT_NOTE_ = 7;
            if (U32(sh, 4) != SHT_NOTE_)
                continue;
            const uint64_t offset = wide_ ? U64(sh, 0x18) : U32(sh, 0x10);
            const uint64_t size = wide_ ? U64(sh, 0x20) : U32(sh, 0x14);
            const uint64_t align = wide_ ? U64(sh, 0x30) : U32(sh, 0x20);
            if (size > uint64_t(MaxNoteSection))
                continue;
            if (auto version = FindInNotes(Read(offset, size), align == 8 ? 8 : 4))
                return version;
        }
        return std::nullopt;
    }

private:
    std::optional<std::array<uint16_t, 4>> FindInNotes(const QByteArray &notes, uint64_t align)
    {
        const uint64_t total = uint64_t(notes.size());
        uint64_t pos = 0;
        const auto padded = [align](uint64_t n) { return (n + align - 1) / align * align; };
        while (pos + 12 <= total) {
            const uint64_t namesz = U32(notes, pos), descsz = U32(notes, pos + 4);
            const uint32_t type = U32(notes, pos + 8);
            const uint64_t name = pos + 12, desc = name + padded(namesz);
            // 32-bit sizes in 64-bit sums cannot overflow.
            if (desc > total || descsz > total - desc)
                return std::nullopt;
            if (type == VersionNote::NoteType && namesz == sizeof VersionNote::Name && descsz == 8 &&
                std::memcmp(notes.constData() + name, VersionNote().Name, namesz) == 0)
                return Split(U32(notes, desc), U32(notes, desc + 4));
            pos = desc + padded(descsz);
        }
        return std::nullopt;
    }

    // An empty array unless all of [offset, offset + length) lies in the file.
    QByteArray Read(uint64_t offset, uint64_t length)
    {
        if (offset > uint64_t(size_) || length > uint64_t(size_) - offset)
            return QByteArray();
        if (!file_.seek(qint64(offset)))
            return QByteArray();
        QByteArray bytes = file_.read(qint64(length));
        return bytes.size() == qsizetype(length) ? bytes : QByteArray();
    }

    uint64_t Unsigned(const QByteArray &b, uint64_t at, int width) const
    {
        uint64_t v = 0;
        for (int i = 0; i < width; ++i) {
            const int k = bigEndian_ ? i : width - 1 - i;
            v = (v << 8) | uint8_t(b[qsizetype(at) + k]);
        }
        return v;
    }
    uint32_t U16(const QByteArray &b, uint64_t at) const { return uint32_t(Unsigned(b, at, 2)); }
    uint32_t U32(const QByteArray &b, uint64_t at) const { return uint32_t(Unsigned(b, at, 4)); }
    uint64_t U64(const QByteArray &b, uint64_t at) const { return Unsigned(b, at, 8); }

    QFile &file_;
    qint64 size_;
    bool wide_ = false;
    bool bigEndian_ = false;
};

} // namespace

std::optional<std::array<uint16_t, 4>> ReadFileVersion(const QString &programFile)
{
    QFile file(programFile);
    if (!file.open(QIODevice::ReadOnly))
        return std::nullopt;
    return ElfReader(file).FindVersion();
}

#endif
