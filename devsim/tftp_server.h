// SPDX-License-Identifier: MIT
// The simulator's TFTP server: receives firmware images for the simulated
// devices, with the same options the library negotiates.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace devsim {

// How a device takes an upgrade.
enum class UpgradeBehaviour {
    Succeed,   // receives the image
    BusyFirst, // answers its first write request "busy", then succeeds
    Fail,      // answers every write request with an error
    Stall,     // acknowledges a few blocks, then falls silent
};

struct TftpServerConfig
{
    std::string bindAddress = "127.0.0.1"; // "0.0.0.0" inside a test's own namespace
    // When set, every socket is tied to this interface (SO_BINDTODEVICE), so
    // a wildcard bind hears the device addresses of that link and no other.
    std::string bindInterface;
    uint16_t port = 0;      // 0: an ephemeral port, see Port()
    int replyDelayMs = 0;   // added before every reply
    double lossRate = 0.0;  // share of received packets dropped
    bool duplicate = false; // send every reply twice
    uint32_t seed = 1;      // of the loss draws, so a run can be repeated
    // Behaviour of the device at a (host-order) address; nullopt: no such
    // device, the request is ignored.
    std::function<std::optional<UpgradeBehaviour>(uint32_t deviceAddress)> behaviourFor;
    // A complete image, called once per successful transfer, on the
    // server's thread and before the last ACK goes out.
    std::function<void(uint32_t deviceAddress, const std::string &fileName, std::vector<uint8_t> image)> received;
    std::function<void(const std::string &line)> log;
};

class TftpServer
{
public:
    explicit TftpServer(TftpServerConfig config);
    ~TftpServer();
    TftpServer(const TftpServer &) = delete;
    TftpServer &operator=(const TftpServer &) = delete;

    // Binds and starts serving on a thread of its own; false on failure.
    bool Start();
    uint16_t Port() const;
    void Stop();

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

} // namespace devsim
