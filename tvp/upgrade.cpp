// Placeholder until the firmware upload lands.
#include "internal.h"
#include "tvp.h"

extern "C" int32_t TVPUpgradeDevice(const char *, const char *)
{
    return TVPUpgradeLocalError;
}
