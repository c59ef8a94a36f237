// SPDX-License-Identifier: MIT
// TVPUpgradeDevice: checks its arguments, reads the image and hands it to
// the TFTP client, turning its progress into code-4 events.
#include "address.h"
#include "image_file.h"
#include "internal.h"
#include "tftp_client.h"
#include "tvp.h"

#include <cstdint>
#include <cstdlib>

#include <string>
#include <vector>

namespace {

using tvp::internal::Log;

// TVP_TFTP_TIMEOUT_MS: wait per packet or window before a retransmission.
int TimeoutMs()
{
    const char *text = std::getenv("TVP_TFTP_TIMEOUT_MS");
    if (text && *text) {
        char *end = nullptr;
        long v = std::strtol(text, &end, 10);
        if (*end == 0 && v >= 1 && v <= 60000)
            return static_cast<int>(v);
    }
    return 1000;
}

// Devices store the image under its own name, without the local folders.
std::string BaseName(const std::string &path)
{
    const size_t slash = path.find_last_of("/\\");
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

} // namespace

extern "C" int32_t TVPUpgradeDevice(const char *path, const char *address)
{
    if (!path || !*path) {
        Log("upgrade: no image file named");
        return TVPUpgradeFileError;
    }
    uint32_t device = 0;
    // no write request to a multicast or broadcast address
    if (!address || !*address || !tvp::wire::ParseDottedQuad(address, &device) || !tvp::wire::IsUnicast(device)) {
        Log(std::string("upgrade: invalid device address \"") + (address ? address : "") + "\"");
        return TVPUpgradeBadAddress;
    }
    std::vector<uint8_t> image;
    std::string why;
    // the events carry the size as a signed 32-bit value: anything larger
    // is refused rather than misreported
    if (!tvp::image::ReadWhole(path, INT32_MAX, image, why)) {
        Log(std::string("upgrade: cannot read \"") + path + "\": " + why);
        return TVPUpgradeFileError;
    }

    tvp::tftp::UploadParams params;
    params.address = device;
    params.port = tvp::internal::TftpPort();
    params.fileName = BaseName(path);
    params.timeoutMs = TimeoutMs();
    params.progress = [](uint32_t kind, uint64_t value) {
        TVPUpgradeRecord record{kind, static_cast<int32_t>(value)}; // at most INT32_MAX, see ReadWhole
        tvp::internal::DeliverNow(TVPEventUpgrade, &record);
    };
    if (tvp::internal::DebugEnabled())
        params.log = [](const std::string &line) { Log(line); };
    const auto result = tvp::tftp::Upload(params, image);
    Log("upgrade of " + std::string(address) + ": result " + std::to_string(static_cast<int>(result)));
    return static_cast<int32_t>(result);
}
