// SPDX-License-Identifier: MIT
// Runs tvp-devsim as a child process for a test and points this process's
// TVP library at it.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <sys/types.h>
#include <thread>
#include <vector>

namespace testsupport {

class DevSim
{
public:
    // Runs <bin>/tvp-devsim --port 0 --tftp-port 0 <extraArgs>; without
    // --json or --devices the simulator plays the sample LAN.
    explicit DevSim(std::vector<std::string> extraArgs = {});
    ~DevSim(); // stops the process
    DevSim(const DevSim &) = delete;
    DevSim &operator=(const DevSim &) = delete;

    // Runs the simulator through a prefix command, e.g. {"ip", "netns",
    // "exec", "lan1"}; call before Start().
    void RunInside(std::vector<std::string> prefix);

    // Starts the process and waits for its READY line; false when it did not
    // come in time (the process is stopped then).
    bool Start(int timeoutMs = 5000);
    uint16_t Port() const;
    uint16_t TftpPort() const;

    // Points this process's TVP library at the simulator: sets
    // TVP_INTERFACES=lo, TVP_PORT, TVP_TFTP_PORT, then TVPCleanup() so the
    // next library call reads them.
    void UseFromThisProcess() const;

    // What the simulator printed so far, a line each.
    std::vector<std::string> LogLines() const;
    // Waits until a printed line contains `text`; false after timeoutMs.
    bool WaitForLine(const std::string &text, int timeoutMs = 3000) const;

    // Stops the process (also done by the destructor).
    void Stop();

private:
    void Read(int fd);

    std::vector<std::string> args_;
    pid_t pid_ = -1;
    std::thread reader_;
    mutable std::mutex mu_;
    mutable std::condition_variable changed_;
    std::vector<std::string> lines_;
    bool ended_ = false;
    uint16_t port_ = 0;
    uint16_t tftpPort_ = 0;
};

} // namespace testsupport
