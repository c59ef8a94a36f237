// SPDX-License-Identifier: MIT
// The simulator's TVP side: one UDP socket that answers discovery, get/set
// IP and probes for every simulated device.
#pragma once

#include "devices.h"
#include "sockets.h"

#include <chrono>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <queue>
#include <random>
#include <string>
#include <vector>

namespace devsim {

struct ServerConfig
{
    std::string bindAddress = "0.0.0.0";
    // The socket is tied to this interface: it sees only that link's
    // broadcasts and unicasts, and answers go out on it (see
    // sock::UdpOptions for Windows). Empty: no tie.
    std::string interface = "lo";
    uint16_t port = 0;
    int replyDelayMs = 0;
    double lossRate = 0.0;      // share of requests ignored
    bool duplicate = false;     // every answer sent twice
    double malformedRate = 0.0; // share of answers corrupted
    uint32_t seed = 1;
    std::function<void(const std::string &)> log;
    // Called after a SetIP changed a device's settings, its answer sent.
    std::function<void(const Device &)> settingsChanged;
};

class Server
{
public:
    Server(ServerConfig config, std::vector<Device> devices);
    ~Server();
    Server(const Server &) = delete;
    Server &operator=(const Server &) = delete;

    bool Open(std::string *error);
    uint16_t Port() const { return port_; }
    // Serves until *stop turns true (checked at least every 100 ms) or
    // `stopSocket` becomes readable.
    void Run(const volatile bool *stop, sock::SocketHandle stopSocket = sock::kNoSocket);

    // For the TFTP server's thread: the upgrade behaviour of the device at
    // an address.
    std::optional<UpgradeBehaviour> BehaviourAt(uint32_t address);

private:
    struct Outgoing
    {
        std::chrono::steady_clock::time_point at;
        std::vector<uint8_t> bytes;
        uint32_t to = 0;
        uint16_t port = 0;
        uint32_t from = 0; // source address, 0: the kernel's choice
        unsigned ifindex = 0;
        bool operator>(const Outgoing &o) const { return at > o.at; }
    };

    void ReceiveAll();
    void Handle(const uint8_t *data, size_t size, uint32_t srcAddr, uint16_t srcPort, uint32_t dstAddr, unsigned ifindex);
    void Reply(std::vector<uint8_t> bytes, size_t requestSize, uint32_t to, uint16_t port, uint32_t from,
               unsigned ifindex);
    void Corrupt(std::vector<uint8_t> &bytes);
    void SendDue();
    void Log(const std::string &line);

    ServerConfig config_;
    std::mutex mu_; // devices_, read by the TFTP thread
    std::vector<Device> devices_;
    sock::UdpSocket socket_;
    uint16_t port_ = 0;
    std::mt19937 random_;
    std::priority_queue<Outgoing, std::vector<Outgoing>, std::greater<>> outgoing_;
    std::chrono::steady_clock::time_point started_;
};

} // namespace devsim
