// SPDX-License-Identifier: MIT
// TFTP write client: sends one image to a device, negotiating blksize,
// tsize and windowsize, and falling back to 512-byte lock-step.
#pragma once

#include "address.h"

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace tvp::tftp {

enum class UploadResult {
    Ok = 0,
    NoAnswer = 1, // nothing answered the write request, or "busy"
    FileError = 2,
    BadAddress = 3,
    DeviceError = 4, // an ERROR packet, or an answer that breaks the protocol
    Stalled = 5,
    LocalError = 6,
};

// What a transfer cost, for benchmarks and diagnostics.
struct UploadStats
{
    uint64_t blocksSent = 0; // DATA packets, retransmissions included
    unsigned restarts = 0;   // windows resent on an ACK from inside them
    unsigned timeouts = 0;
    double rttMs = 0; // smoothed round trip at the end; 0: never measured
    double rtoMs = 0; // retransmission time-out at the end
};

struct UploadParams
{
    uint32_t address = 0; // host order
    uint16_t port = wire::kDefaultTftpPort;
    std::string fileName;      // name sent in the write request
    bool negotiate = true;     // false: plain RFC 1350, no options
    uint16_t blockSize = 1428; // 40 bytes under a 1500-byte MTU's 1468: unfragmented on PPPoE or VPN links too
    uint16_t windowSize = 16;
    // The first wait, and the cap of the adaptive retransmission time-out.
    int timeoutMs = 1000;
    // Retransmissions of the request, and of a window in a row; a transfer
    // also gives up only after (retries + 1) * timeoutMs without progress.
    int retries = 5;
    // kind 0 (total) once the transfer starts, kind 1 (bytes acknowledged)
    std::function<void(uint32_t kind, uint64_t value)> progress;
    std::function<void(const std::string &line)> log;
    UploadStats *stats = nullptr; // filled when set
};

// The window is capped whatever a caller asks: more blocks in flight only
// overrun the small receive buffers of embedded devices.
inline constexpr uint16_t kWindowCap = 64;
// Lower bound of the retransmission time-out: below it, a sender on a busy
// host resends blocks that are merely late.
inline constexpr int kMinRtoMs = 10;

UploadResult Upload(const UploadParams &params, const std::vector<uint8_t> &image);

} // namespace tvp::tftp
