#include "versioninfo.h"

std::optional<std::array<uint16_t, 4>> ReadFileVersion(const QString &)
{
    return std::nullopt;
}
