// TFTP write client: sends one image to a device, negotiating blksize,
// tsize and windowsize, and falling back to 512-byte lock-step.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace tvp::tftp {

enum class UploadResult {
    Ok = 0,
    NoAnswer = 1,    // nothing answered the write request, or "busy"
    FileError = 2,
    BadAddress = 3,
    DeviceError = 4, // an ERROR packet, or an answer that breaks the protocol
    Stalled = 5,
    LocalError = 6,
};

struct UploadParams
{
    uint32_t address = 0; // host order
    uint16_t port = 69;
    std::string fileName; // name sent in the write request
    bool negotiate = true; // false: plain RFC 1350, no options
    uint16_t blockSize = 1428; // fits a 1500-byte Ethernet frame with IP/UDP/TFTP headers
    uint16_t windowSize = 16;
    int timeoutMs = 1000;
    int retries = 5; // retransmissions of one packet or window before giving up
    // kind 0 (total) once the transfer starts, kind 1 (bytes acknowledged)
    std::function<void(uint32_t kind, uint64_t value)> progress;
    std::function<void(const std::string &line)> log;
};

// The window is capped whatever a caller asks: more blocks in flight only
// overrun the small receive buffers of embedded devices.
inline constexpr uint16_t kWindowCap = 64;

UploadResult Upload(const UploadParams &params, const std::vector<uint8_t> &image);

} // namespace tvp::tftp
