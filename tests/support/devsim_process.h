// SPDX-License-Identifier: MIT
// Runs tvp-devsim as a child process for a test and points this process's
// TVP library at it.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <memory>
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
    // TVP_INTERFACES to the loopback interface, TVP_PORT, TVP_TFTP_PORT, then TVPCleanup() so the
    // next library call reads them.
    void UseFromThisProcess() const;

    // What the simulator printed so far, a line each.
    std::vector<std::string> LogLines() const;
    // Waits until a printed line contains `text`; false after timeoutMs.
    bool WaitForLine(const std::string &text, int timeoutMs = 3000) const;

    // Stops the process (also done by the destructor).
    void Stop();

    // The running process, as each system has one (child_posix.cpp,
    // child_win.cpp): its standard output comes back through Read.
    class Child;

private:
    void Read();

    std::vector<std::string> args_;
    std::unique_ptr<Child> child_;
    std::thread reader_;
    mutable std::mutex mu_;
    mutable std::condition_variable changed_;
    std::vector<std::string> lines_;
    bool ended_ = false;
    uint16_t port_ = 0;
    uint16_t tftpPort_ = 0;
};

// What differs between systems for the tests' processes.
void SetEnvironment(const std::string &name, const std::string &value);
// The name the library knows the loopback interface by ("lo" on Linux).
std::string LoopbackInterfaceName();

} // namespace testsupport
