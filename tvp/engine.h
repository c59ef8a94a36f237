// SPDX-License-Identifier: MIT
// The library's engine: one UDP socket and the thread that listens on it,
// routing every answer to the unit that waits for it (discovery, requests,
// probes), and the calls of the C interface on top. Tests build engines of
// their own; the C interface keeps one per process.
#pragma once

#include "chooser.h"
#include "config.h"
#include "diagnostics.h"
#include "discovery.h"
#include "events.h"
#include "moves.h"
#include "netif.h"
#include "os.h"
#include "probes.h"
#include "requests.h"
#include "wire.h"

#include <condition_variable>
#include <map>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <unordered_set>
#include <vector>

namespace tvp {

class Engine
{
public:
    explicit Engine(Config config);
    ~Engine();
    Engine(const Engine &) = delete;
    Engine &operator=(const Engine &) = delete;

    // Opens the socket and starts the network thread; false when either failed.
    bool Start();
    void Stop();

    EventQueue &Events() { return events_; }
    void SetCallback(EventQueue::Callback callback, bool debug);
    uint16_t TftpPort() const { return config_.tftpPort; }

    int Discover();
    int DiscoverAddress(const char *address);
    int Interfaces(char *names, size_t size);
    int GetIP(const uint8_t *id);
    int SetIP(const uint8_t *id, const char *address, const char *mask, const char *gateway, uint8_t dhcp);
    // The same requests by unicast to the device's address: 0 or a TVPNotSent.
    int GetIPAt(const uint8_t *id, const char *deviceAddress);
    int SetIPAt(const uint8_t *id, const char *deviceAddress, const char *address, const char *mask,
                const char *gateway, uint8_t dhcp);
    int Ping(const char *address);
    int PingAddress(const char *address);
    int Choose(const char *interfaceText, char *address, char *mask, char *gateway);
    int AddressesInUse(const char *interfaceText, const char *const *addresses, size_t count, int32_t *uses);
    int Diagnostics(TVPInterfaceReport *reports, size_t capacity, bool clear);

    // What answers brought in and what the engine sent in reaction to them.
    struct Traffic
    {
        uint64_t answerBytes = 0;
        uint64_t reactionBytes = 0;
    };
    Traffic TrafficSoFar();

private:
    void Run();
    void Receive();
    void ReceiveErrors();
    void Handle(const uint8_t *data, size_t size, const net::Datagram &d);
    void HandleDiscoverReply(const wire::Message &m, size_t size, const net::Datagram &d);
    void HandleRequestReply(const wire::Message &m, const net::Datagram &d);
    void RunTimersLocked(Clock::time_point now);
    int NextTimeoutMsLocked(Clock::time_point now);

    void LogLocked(const std::string &line) { events_.Log(line); }
    const std::vector<net::Interface> &InterfacesLocked(bool fresh);
    const net::Interface *OnLinkLocked(uint32_t address) const;
    const net::Interface *ArrivalLocked(unsigned ifindex, uint32_t deviceAddress) const;
    const net::Interface *RouteInterfaceLocked(std::optional<uint32_t> source) const;
    void HeardLocked(const wire::DeviceId &id, unsigned ifindex, Clock::time_point now);
    const net::Interface *ListedInterfaceLocked(const wire::DeviceId &id, uint32_t address, Clock::time_point now);
    bool HoldForCardLocked(uint32_t address, const net::Interface *listed, Event &e, Clock::time_point now);
    std::vector<MovedAddresses::Link> LinksHoldingLocked(uint32_t address) const;
    size_t BroadcastLocked(const std::vector<uint8_t> &bytes, const std::string &what, bool discover = false);
    uint32_t NewTxidLocked();
    std::optional<wire::DeviceId> RequestedDeviceLocked(const uint8_t *id, const char *what);
    int SendRequestLocked(wire::Message &m, const std::string &details);
    // A SetIP of checked settings; nullopt (logged) for settings no device takes.
    std::optional<wire::Message> SetIPMessageLocked(const wire::DeviceId &device, const char *address, const char *mask,
                                                    const char *gateway, uint8_t dhcp);
    // Whether an address a unicast request may go to is valid and routed
    // out of an interface in use: 0, or the TVPNotSent that says why not.
    int UnicastRouteLocked(uint32_t address, std::optional<uint32_t> source, const std::string &what);
    int SendUnicastRequestLocked(wire::Message &m, uint32_t to, uint32_t alsoTo, const std::string &details);
    void TransmitLocked(const Request &r);
    void SettledLocked(uint32_t address, const ProbeTable::Result &result);
    void RememberDeviceLocked(const wire::DeviceId &id, uint32_t address);
    bool WaitForProbesLocked(std::unique_lock<std::mutex> &lock, const std::vector<uint32_t> &addresses);
    // The interface a choice names, logged when there is none.
    std::optional<net::Interface> ChoiceInterfaceLocked(const char *interfaceText);
    // Probes the candidates and asks the neighbour table and ARP about
    // them, unlocked meanwhile; what each check found, in their order.
    std::vector<AddressChooser::Findings> FindingsLocked(std::unique_lock<std::mutex> &lock,
                                                         const net::Interface &iface,
                                                         const std::vector<uint32_t> &candidates);
    // The first free candidate.
    std::optional<uint32_t> CheckCandidatesLocked(std::unique_lock<std::mutex> &lock, const net::Interface &iface,
                                                  const std::vector<uint32_t> &candidates);
    int ProbeLocked(std::unique_lock<std::mutex> &lock, uint32_t address);

    const Config config_;
    EventQueue events_;
    os::UdpSocket socket_;
    os::Notifier wake_;
    std::thread thread_;

    std::mutex mu_;
    std::condition_variable settled_;
    bool stop_ = false;
    std::string notes_; // the environment's complaints, logged once
    std::vector<net::Interface> ifaces_;
    Clock::time_point ifacesAt_{};
    std::string ifacesSummary_;
    std::vector<net::Skipped> skipped_;
    LinkCounters counters_;
    DiscoveryWindow discovery_;
    RequestTable requests_;
    ProbeTable probes_;
    std::map<wire::DeviceId, uint32_t> devices_; // last address seen
    AddressChooser chooser_;
    // the interfaces each device answered on lately, in the order first heard
    struct HeardOn
    {
        unsigned ifindex;
        Clock::time_point last;
    };
    std::map<wire::DeviceId, std::vector<HeardOn>> heard_;
    MovedAddresses moves_;
    std::unordered_set<uint32_t> impossibleLogged_;
    uint64_t answerBytes_ = 0;
    std::mt19937 random_{std::random_device{}()};
};

} // namespace tvp
