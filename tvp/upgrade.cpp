// SPDX-License-Identifier: MIT
// TVPUpgradeDevice: checks its arguments, reads the image and hands it to
// the TFTP client, turning its progress into code-4 events.
#include "internal.h"
#include "tftp_client.h"
#include "tvp.h"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

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

// The image is read whole: the events carry its size as a signed 32-bit
// value, so anything above 2 GiB is refused rather than misreported.
bool ReadImage(const char *path, std::vector<uint8_t> &image, std::string &why)
{
    int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        why = std::strerror(errno);
        return false;
    }
    struct stat st{};
    bool ok = fstat(fd, &st) == 0;
    if (ok && !S_ISREG(st.st_mode)) {
        why = "not a regular file";
        ok = false;
    } else if (ok && st.st_size > INT32_MAX) {
        why = "larger than 2 GiB";
        ok = false;
    }
    if (ok) {
        image.resize(static_cast<size_t>(st.st_size));
        size_t done = 0;
        while (done < image.size()) {
            ssize_t n = read(fd, image.data() + done, image.size() - done);
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0) {
                why = n < 0 ? std::strerror(errno) : "shorter than its size";
                ok = false;
                break;
            }
            done += static_cast<size_t>(n);
        }
    } else if (why.empty()) {
        why = std::strerror(errno);
    }
    close(fd);
    return ok;
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
    if (!address || !*address || !tvp::internal::ParseDottedQuad(address, &device) || device == 0 ||
        device >= 0xe0000000u) { // no write request to a multicast or broadcast address
        Log(std::string("upgrade: invalid device address \"") + (address ? address : "") + "\"");
        return TVPUpgradeBadAddress;
    }
    std::vector<uint8_t> image;
    std::string why;
    if (!ReadImage(path, image, why)) {
        Log(std::string("upgrade: cannot read \"") + path + "\": " + why);
        return TVPUpgradeFileError;
    }

    tvp::tftp::UploadParams params;
    params.address = device;
    params.port = tvp::internal::TftpPort();
    params.fileName = BaseName(path);
    params.timeoutMs = TimeoutMs();
    params.progress = [](uint32_t kind, uint64_t value) {
        TVPUpgradeRecord record{kind, static_cast<int32_t>(value)}; // at most INT32_MAX, see ReadImage
        tvp::internal::DeliverNow(TVPEventUpgrade, &record);
    };
    if (tvp::internal::DebugEnabled())
        params.log = [](const std::string &line) { Log(line); };
    const auto result = tvp::tftp::Upload(params, image);
    Log("upgrade of " + std::string(address) + ": result " + std::to_string(static_cast<int>(result)));
    return static_cast<int32_t>(result);
}
