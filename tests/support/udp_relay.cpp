// SPDX-License-Identifier: MIT
#include "udp_relay.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <map>
#include <mutex>
#include <optional>
#include <random>
#include <stdexcept>
#include <thread>
#include <vector>

namespace testsupport {

namespace {

using Clock = std::chrono::steady_clock;

// Enough for a client that restarts its request a few times, not a flood.
constexpr size_t kMaxSessions = 64;
constexpr size_t kMaxPortsPerSession = 16;

int LoopbackSocket(uint16_t *port)
{
    int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0)
        return -1;
    int size = 4 << 20; // a window of large blocks, several times over
    setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
    setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &size, sizeof size);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof sa;
    if (bind(fd, reinterpret_cast<sockaddr *>(&sa), sizeof sa) < 0 ||
        getsockname(fd, reinterpret_cast<sockaddr *>(&sa), &len) < 0) {
        close(fd);
        return -1;
    }
    if (port)
        *port = ntohs(sa.sin_port);
    return fd;
}

bool SameEndpoint(const sockaddr_in &a, const sockaddr_in &b)
{
    return a.sin_addr.s_addr == b.sin_addr.s_addr && a.sin_port == b.sin_port;
}

} // namespace

struct UdpRelay::Impl
{
    struct Session
    {
        sockaddr_in client{};
        int upstream = -1;                   // faces the server
        std::map<uint16_t, int> frontByPort; // server port -> socket facing the client
    };
    struct Datagram
    {
        int fd;
        sockaddr_in to;
        std::vector<uint8_t> bytes;
    };
    struct Held
    {
        Datagram datagram;
        Clock::time_point until;
    };

    Impl(uint32_t address, uint16_t port, Impairment i)
        : impairment(i),
          rng(i.seed)
    {
        server.sin_family = AF_INET;
        server.sin_addr.s_addr = htonl(address);
        server.sin_port = htons(port);
        listenFd = LoopbackSocket(&listenPort);
        if (listenFd < 0 || pipe2(wake, O_CLOEXEC) < 0)
            throw std::runtime_error("the relay cannot open its sockets");
        thread = std::thread([this] { Run(); });
    }
    ~Impl()
    {
        stopping = true;
        char c = 0;
        (void)!write(wake[1], &c, 1);
        thread.join();
        for (auto &s : sessions) {
            close(s.upstream);
            for (auto &[port, fd] : s.frontByPort)
                if (fd != listenFd)
                    close(fd);
        }
        close(listenFd);
        close(wake[0]);
        close(wake[1]);
    }

    bool Draw(double share) { return share > 0 && std::uniform_real_distribution<double>(0, 1)(rng) < share; }

    // Applies the impairment to one datagram of a flow (a session and a
    // direction) and queues what is left of it.
    void Forward(int flow, Datagram d)
    {
        const auto now = Clock::now();
        {
            std::lock_guard lock(countMutex);
            if (Draw(impairment.loss)) {
                ++totals.dropped;
                return;
            }
        }
        const auto when = now + std::chrono::milliseconds(impairment.delayMs);
        bool twice = false, hold = false;
        {
            std::lock_guard lock(countMutex);
            twice = Draw(impairment.duplicate);
            hold = !held.count(flow) && Draw(impairment.reorder);
            totals.duplicated += twice;
            totals.reordered += hold;
        }
        if (twice)
            Queue(when, d);
        if (hold) {
            held.emplace(flow, Held{std::move(d), when + std::chrono::milliseconds(impairment.holdMs)});
            return;
        }
        Queue(when, std::move(d));
        // the one held back goes right after the one that overtook it
        if (auto h = held.find(flow); h != held.end()) {
            Queue(when, std::move(h->second.datagram));
            held.erase(h);
        }
    }

    void Queue(Clock::time_point when, Datagram d)
    {
        if (when <= Clock::now() && queue.empty())
            return Send(d);
        queue.emplace(std::make_pair(when, sequence++), std::move(d));
    }

    static void Send(const Datagram &d)
    {
        sendto(d.fd, d.bytes.data(), d.bytes.size(), 0, reinterpret_cast<const sockaddr *>(&d.to), sizeof d.to);
    }

    void Flush(Clock::time_point now)
    {
        for (auto it = held.begin(); it != held.end();) {
            if (it->second.until <= now) {
                Queue(it->second.until, std::move(it->second.datagram));
                it = held.erase(it);
            } else {
                ++it;
            }
        }
        while (!queue.empty() && queue.begin()->first.first <= now) {
            Send(queue.begin()->second);
            queue.erase(queue.begin());
        }
    }

    std::optional<std::vector<uint8_t>> Receive(int fd, sockaddr_in &from)
    {
        std::vector<uint8_t> buffer(65536);
        socklen_t len = sizeof from;
        ssize_t n = recvfrom(fd, buffer.data(), buffer.size(), 0, reinterpret_cast<sockaddr *>(&from), &len);
        if (n < 0)
            return std::nullopt;
        buffer.resize(static_cast<size_t>(n));
        return buffer;
    }

    // A datagram from a client to the relay's socket facing `serverPort`.
    void FromClient(int fd, uint16_t serverPort)
    {
        sockaddr_in from{};
        auto bytes = Receive(fd, from);
        if (!bytes)
            return;
        size_t index = 0;
        while (index < sessions.size() && !SameEndpoint(sessions[index].client, from))
            ++index;
        if (index == sessions.size()) {
            if (fd != listenFd || sessions.size() >= kMaxSessions)
                return; // a stranger on a transfer port: nobody to relay it to
            Session s;
            s.client = from;
            s.upstream = LoopbackSocket(nullptr);
            if (s.upstream < 0)
                return;
            s.frontByPort[ntohs(server.sin_port)] = listenFd;
            sessions.push_back(std::move(s));
        }
        {
            std::lock_guard lock(countMutex);
            ++totals.fromClient;
            if (bytes->size() >= 4 && (*bytes)[0] == 0 && (*bytes)[1] == 3)
                ++totals.dataFromClient;
        }
        sockaddr_in to = server;
        to.sin_port = htons(serverPort);
        Forward(static_cast<int>(index) * 2, Datagram{sessions[index].upstream, to, std::move(*bytes)});
    }

    // A datagram from the server to a session's upstream socket.
    void FromServer(size_t index)
    {
        Session &s = sessions[index];
        sockaddr_in from{};
        auto bytes = Receive(s.upstream, from);
        if (!bytes || from.sin_addr.s_addr != server.sin_addr.s_addr)
            return;
        const uint16_t port = ntohs(from.sin_port);
        auto front = s.frontByPort.find(port);
        if (front == s.frontByPort.end()) {
            if (s.frontByPort.size() >= kMaxPortsPerSession)
                return;
            const int fd = LoopbackSocket(nullptr);
            if (fd < 0)
                return;
            front = s.frontByPort.emplace(port, fd).first;
        }
        {
            std::lock_guard lock(countMutex);
            ++totals.fromServer;
        }
        Forward(static_cast<int>(index) * 2 + 1, Datagram{front->second, s.client, std::move(*bytes)});
    }

    void Run()
    {
        std::vector<pollfd> fds;
        // what each polled descriptor is: -1 the listener, else a session
        // and a server port (0: the session's upstream socket)
        std::vector<std::pair<int, uint16_t>> roles;
        while (!stopping) {
            const auto now = Clock::now();
            Flush(now);
            auto next = now + std::chrono::milliseconds(100);
            if (!queue.empty())
                next = std::min(next, queue.begin()->first.first);
            for (const auto &[flow, h] : held)
                next = std::min(next, h.until);
            fds.assign({{wake[0], POLLIN, 0}, {listenFd, POLLIN, 0}});
            roles.assign({{-1, 0}, {-1, ntohs(server.sin_port)}});
            for (size_t i = 0; i < sessions.size(); ++i) {
                fds.push_back({sessions[i].upstream, POLLIN, 0});
                roles.emplace_back(static_cast<int>(i), 0);
                for (const auto &[port, fd] : sessions[i].frontByPort)
                    if (fd != listenFd) {
                        fds.push_back({fd, POLLIN, 0});
                        roles.emplace_back(static_cast<int>(i), port);
                    }
            }
            const auto wait = std::chrono::ceil<std::chrono::milliseconds>(next - now).count();
            if (poll(fds.data(), fds.size(), static_cast<int>(std::max<long long>(wait, 0))) <= 0)
                continue;
            if (fds[0].revents)
                break;
            for (size_t i = 1; i < fds.size(); ++i) {
                if (!(fds[i].revents & POLLIN))
                    continue;
                const auto [session, port] = roles[i];
                if (session >= 0 && port == 0)
                    FromServer(static_cast<size_t>(session));
                else
                    FromClient(fds[i].fd, port);
            }
        }
    }

    Impairment impairment;
    std::mt19937 rng;
    sockaddr_in server{};
    int listenFd = -1;
    uint16_t listenPort = 0;
    int wake[2] = {-1, -1};
    std::atomic<bool> stopping{false};
    std::thread thread;
    std::vector<Session> sessions;
    std::map<std::pair<Clock::time_point, uint64_t>, Datagram> queue;
    uint64_t sequence = 0;
    std::map<int, Held> held;
    mutable std::mutex countMutex;
    RelayCounts totals;
};

UdpRelay::UdpRelay(uint32_t serverAddress, uint16_t serverPort, Impairment impairment)
    : impl_(std::make_unique<Impl>(serverAddress, serverPort, impairment))
{}

UdpRelay::~UdpRelay() = default;

uint16_t UdpRelay::port() const
{
    return impl_->listenPort;
}

RelayCounts UdpRelay::counts() const
{
    std::lock_guard lock(impl_->countMutex);
    return impl_->totals;
}

} // namespace testsupport
