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
#include <unordered_map>
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

// A device answers unicast requests (Discover, GetIP, SetIP together) at
// most kRate a second (bursts of kBurst), so a flood of them can't keep it
// busy or make it a reflector.
class AnswerBudget
{
public:
    static constexpr double kRate = 10, kBurst = 10;
    bool Take(uint32_t device, std::chrono::steady_clock::time_point now);

private:
    struct Bucket
    {
        double tokens;
        std::chrono::steady_clock::time_point at;
    };
    std::unordered_map<uint32_t, Bucket> buckets_;
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

    // One request as it arrived: what every handler answers to.
    struct Request
    {
        tvp::wire::Message message;
        size_t size = 0;
        uint32_t from = 0; // the requester's address and port
        uint16_t fromPort = 0;
        uint32_t to = 0; // the address it was sent to
        unsigned ifindex = 0;
        std::string peer; // "address:port" of the requester, for the log
    };

    void ReceiveAll();
    void Handle(const uint8_t *data, const tvp::net::Datagram &d);
    void OnDiscover(const Request &r);
    void OnGetIP(const Request &r);
    void OnSetIP(const Request &r);
    void OnProbe(const Request &r);
    // The device a GetIP or SetIP names; logged when there is none.
    Device *DeviceFor(const Request &r, const char *what);
    // Where an answer to a request goes: by broadcast on the link for a
    // broadcast; for one sent to the device's own address (from beyond a
    // router) by unicast from that address, within its answer rate.
    // nullopt (logged) when the device does not answer.
    struct Way
    {
        uint32_t to = 0;
        uint16_t port = 0;
        uint32_t from = 0;
        unsigned ifindex = 0;
    };
    std::optional<Way> AnswerWay(const Request &r, const Device &device, const std::string &line);
    // Whether a destination is a broadcast address of the link: the limited
    // one or a subnet's of an address on the interface (all of them when
    // the socket is tied to none). Interfaces are read again at most once a
    // second.
    bool IsBroadcast(uint32_t destination);
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
    AnswerBudget unicastBudget_;
    std::vector<uint32_t> broadcasts_;
    std::chrono::steady_clock::time_point broadcastsReadAt_{};
};

} // namespace devsim
