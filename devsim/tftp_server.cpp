// SPDX-License-Identifier: MIT
#include "tftp_server.h"

#include "netif.h"
#include "tftp_packet.h"
#include "wire.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <deque>
#include <map>
#include <mutex>
#include <random>
#include <thread>

namespace devsim {

namespace tftp = tvp::tftp;
using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

namespace {

// Images are kept in memory; a larger one is refused as "disk full".
constexpr uint64_t kMaxImage = 64ull << 20;
// A flood of write requests must not exhaust descriptors.
constexpr size_t kMaxSessions = 256;
constexpr int kWindowCap = 64;
// The receiver re-acknowledges on its own after this long without progress.
constexpr milliseconds kSessionTimeout{1000};
constexpr int kSessionRetries = 5;
// After the last ACK, repeated last blocks are answered this long.
constexpr milliseconds kDally{2000};
// A stalled device stops answering after this many acknowledgements.
constexpr unsigned kStallAfterAcks = 3;

std::string AddressText(uint32_t a)
{
    return std::to_string(a >> 24) + '.' + std::to_string((a >> 16) & 0xff) + '.' +
           std::to_string((a >> 8) & 0xff) + '.' + std::to_string(a & 0xff);
}

std::string EndpointText(const sockaddr_in &sa)
{
    return AddressText(ntohl(sa.sin_addr.s_addr)) + ':' + std::to_string(ntohs(sa.sin_port));
}

bool SameEndpoint(const sockaddr_in &a, const sockaddr_in &b)
{
    return a.sin_addr.s_addr == b.sin_addr.s_addr && a.sin_port == b.sin_port;
}

// Names are stored relative to the device's upload area: nothing that
// could climb out of it or name a place of its own.
bool SafeName(const std::string &name)
{
    if (name.empty() || name[0] == '/' || name[0] == '\\' ||
        (name.size() >= 2 && name[1] == ':'))
        return false;
    size_t start = 0;
    for (;;) {
        size_t end = name.find_first_of("/\\", start);
        std::string part = name.substr(start, end == std::string::npos ? std::string::npos : end - start);
        if (part == "..")
            return false;
        if (end == std::string::npos)
            return true;
        start = end + 1;
    }
}

struct Socket
{
    explicit Socket(int f) : fd(f) {}
    ~Socket()
    {
        if (fd >= 0)
            close(fd);
    }
    int fd;
};

bool TieToInterface(int fd, const std::string &name)
{
    return name.empty()
           || setsockopt(fd, SOL_SOCKET, SO_BINDTODEVICE, name.c_str(), socklen_t(name.size())) == 0;
}

} // namespace

struct TftpServer::Impl
{
    enum class State { Receiving, Done, Silent };

    struct Session
    {
        std::shared_ptr<Socket> socket;
        sockaddr_in client{};
        uint32_t device = 0;
        std::string fileName;
        UpgradeBehaviour behaviour = UpgradeBehaviour::Succeed;
        State state = State::Receiving;
        uint16_t blockSize = tftp::kDefaultBlockSize;
        uint16_t window = 1;
        uint64_t expected = 1; // next block in order, never wrapped
        uint64_t acked = 0;    // block named by the last ACK sent
        unsigned inWindow = 0; // in-order blocks since that ACK
        uint64_t gapAckedAt = 0; // one ACK per gap, not one per stray block
        bool repeatAnswered = false; // one ACK per run of old blocks
        unsigned acksSent = 0;
        std::vector<uint8_t> image;
        std::vector<uint8_t> firstReply; // the answer to the request: OACK or ACK 0
        std::vector<uint8_t> lastReply;
        Clock::time_point deadline;
        int timeouts = 0;
    };

    struct Pending
    {
        Clock::time_point when;
        std::shared_ptr<Socket> socket;
        sockaddr_in to;
        std::vector<uint8_t> bytes;
    };

    explicit Impl(TftpServerConfig c) : config(std::move(c)), rng(config.seed) {}

    void Log(const std::string &line)
    {
        if (config.log)
            config.log("tftp: " + line);
    }
    bool Lost()
    {
        return config.lossRate > 0 && std::uniform_real_distribution<double>(0, 1)(rng) < config.lossRate;
    }

    void Reply(const std::shared_ptr<Socket> &socket, const sockaddr_in &to, std::vector<uint8_t> bytes);
    void Flush(Clock::time_point now);
    void SendNow(const Pending &p);
    void OnRequest();
    void StartSession(const sockaddr_in &client, uint32_t device, UpgradeBehaviour behaviour,
                      const tftp::Packet &wrq);
    void OnSessionReadable(Session &s);
    void OnData(Session &s, const tftp::Packet &packet);
    void Acknowledge(Session &s);
    void OnTimeout(Session &s, Clock::time_point now);
    void Run();

    TftpServerConfig config;
    std::mt19937 rng;
    int listenFd = -1;
    int wake[2] = {-1, -1};
    uint16_t port = 0;
    std::thread thread;
    std::atomic<bool> stopping{false};
    std::deque<Pending> pending; // constant delay keeps it in time order
    std::vector<std::unique_ptr<Session>> sessions;
    // devices that answered "busy" already, with the requester they told
    std::map<uint32_t, sockaddr_in> busyTold;
    uint8_t buffer[tftp::kMaxPacket + 1];
};

void TftpServer::Impl::SendNow(const Pending &p)
{
    sendto(p.socket->fd, p.bytes.data(), p.bytes.size(), 0,
           reinterpret_cast<const sockaddr *>(&p.to), sizeof p.to);
}

void TftpServer::Impl::Reply(const std::shared_ptr<Socket> &socket, const sockaddr_in &to,
                             std::vector<uint8_t> bytes)
{
    const int copies = config.duplicate ? 2 : 1;
    for (int i = 0; i < copies; ++i) {
        Pending p{Clock::now() + milliseconds(config.replyDelayMs), socket, to, bytes};
        if (config.replyDelayMs <= 0)
            SendNow(p);
        else
            pending.push_back(std::move(p));
    }
}

void TftpServer::Impl::Flush(Clock::time_point now)
{
    while (!pending.empty() && pending.front().when <= now) {
        SendNow(pending.front());
        pending.pop_front();
    }
}

void TftpServer::Impl::OnRequest()
{
    const auto d = tvp::net::ReceiveDatagram(listenFd, buffer, sizeof buffer);
    if (!d || Lost())
        return;
    sockaddr_in from{};
    from.sin_family = AF_INET;
    from.sin_addr.s_addr = htonl(d->from);
    from.sin_port = htons(d->fromPort);
    const uint32_t device = d->localAddress; // the address the request was sent to
    auto packet = d->truncated ? std::nullopt : tftp::Parse(buffer, d->size);
    if (!packet || (packet->opcode != tftp::Opcode::Wrq && packet->opcode != tftp::Opcode::Rrq)) {
        Log("dropped a malformed request from " + EndpointText(from));
        return;
    }
    if (device == 0)
        return;
    auto behaviour = config.behaviourFor ? config.behaviourFor(device) : std::nullopt;
    if (!behaviour) {
        Log("request for " + AddressText(device) + ": no such device, ignored");
        return;
    }
    // a repeated request whose answer was lost gets that answer again
    for (auto &s : sessions)
        if (SameEndpoint(s->client, from) && s->device == device && s->state == State::Receiving) {
            if (s->expected == 1) {
                Log("repeated write request from " + EndpointText(from) + ": answer resent");
                Reply(s->socket, s->client, s->lastReply);
            }
            return; // a late copy of a request whose transfer runs
        }
    StartSession(from, device, *behaviour, *packet);
}

void TftpServer::Impl::StartSession(const sockaddr_in &client, uint32_t device, UpgradeBehaviour behaviour,
                                    const tftp::Packet &req)
{
    const std::string who = AddressText(device);
    if (sessions.size() >= kMaxSessions) {
        Log(who + ": too many transfers, request ignored");
        return;
    }
    // answers come from the device's own address on a fresh port, the transfer id
    int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0) {
        Log(who + ": no socket: " + std::strerror(errno));
        return;
    }
    auto sock = std::make_shared<Socket>(fd);
    if (!TieToInterface(fd, config.bindInterface)) {
        Log(who + ": cannot tie a transfer socket to " + config.bindInterface + ": " + std::strerror(errno));
        return;
    }
    int one = 1;
    setsockopt(fd, IPPROTO_IP, IP_FREEBIND, &one, sizeof one);
    int rcvbuf = 1 << 20; // a full window of large blocks
    setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &rcvbuf, sizeof rcvbuf);
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_addr.s_addr = htonl(device);
    if (bind(fd, reinterpret_cast<sockaddr *>(&local), sizeof local) < 0) {
        Log(who + ": cannot bind a transfer socket: " + std::strerror(errno));
        return;
    }

    auto s = std::make_unique<Session>();
    s->socket = sock;
    s->client = client;
    s->device = device;
    s->fileName = req.text;
    s->behaviour = behaviour;
    s->deadline = Clock::now() + kSessionTimeout;

    auto refuse = [&](uint16_t code, const std::string &message) {
        Log(who + ": " + message + " (\"" + req.text + "\" from " + EndpointText(client) + ")");
        Reply(sock, client, tftp::EncodeError(code, message));
    };
    if (req.opcode != tftp::Opcode::Wrq)
        return refuse(tftp::ErrIllegalOperation, "only write requests are served");
    if (req.mode != "octet")
        return refuse(tftp::ErrIllegalOperation, "only octet mode is served");
    if (!SafeName(req.text))
        return refuse(tftp::ErrAccessViolation, "file name refused");
    if (s->behaviour == UpgradeBehaviour::Fail)
        return refuse(tftp::ErrAccessViolation, "firmware rejected");
    if (s->behaviour == UpgradeBehaviour::BusyFirst) {
        auto told = busyTold.find(device);
        if (told == busyTold.end() || SameEndpoint(told->second, client)) {
            busyTold[device] = client;
            return refuse(tftp::ErrNotDefined, std::string(tftp::kBusyMessage));
        }
    }

    tftp::Options granted;
    for (const auto &[name, value] : req.options) {
        if (name == "blksize") {
            auto v = tftp::ParseDecimal(value, UINT32_MAX);
            if (v && *v >= tftp::kMinBlockSize) {
                s->blockSize = static_cast<uint16_t>(std::min<uint64_t>(*v, tftp::kMaxBlockSize));
                granted.emplace_back(name, std::to_string(s->blockSize));
            }
        } else if (name == "windowsize") {
            auto v = tftp::ParseDecimal(value, UINT32_MAX);
            if (v && *v >= 1) {
                s->window = static_cast<uint16_t>(std::min<uint64_t>(*v, kWindowCap));
                granted.emplace_back(name, std::to_string(s->window));
            }
        } else if (name == "tsize") {
            auto v = tftp::ParseDecimal(value, UINT64_MAX / 10);
            if (v && *v > kMaxImage)
                return refuse(tftp::ErrDiskFull, "image too large");
            if (v) {
                s->image.reserve(static_cast<size_t>(*v));
                granted.emplace_back(name, value);
            }
        }
    }
    Log(who + ": write request for \"" + req.text + "\" from " + EndpointText(client) + ", blksize " +
        std::to_string(s->blockSize) + ", windowsize " + std::to_string(s->window) +
        (granted.empty() ? ", no options" : ""));
    s->firstReply = granted.empty() ? tftp::EncodeAck(0) : tftp::EncodeOack(granted);
    s->lastReply = s->firstReply;
    s->acksSent = 1;
    Reply(sock, client, s->lastReply);
    sessions.push_back(std::move(s));
}

void TftpServer::Impl::Acknowledge(Session &s)
{
    s.inWindow = 0;
    s.repeatAnswered = false;
    s.acked = s.expected - 1;
    // Before any block arrived the request's answer may be what was lost;
    // an ACK 0 in place of an OACK would drop the client to lock-step.
    s.lastReply = s.acked == 0 ? s.firstReply : tftp::EncodeAck(static_cast<uint16_t>(s.acked));
    ++s.acksSent;
    if (s.behaviour == UpgradeBehaviour::Stall && s.acksSent > kStallAfterAcks) {
        if (s.state != State::Silent)
            Log(AddressText(s.device) + ": stalls after block " + std::to_string(s.acked));
        s.state = State::Silent;
        return;
    }
    Reply(s.socket, s.client, s.lastReply);
}

void TftpServer::Impl::OnData(Session &s, const tftp::Packet &packet)
{
    const auto now = Clock::now();
    const uint16_t expectedNumber = static_cast<uint16_t>(s.expected);
    if (s.state == State::Done) {
        // our last ACK was lost: the client repeats its last block
        if (packet.block == static_cast<uint16_t>(s.expected - 1))
            Reply(s.socket, s.client, s.lastReply);
        return;
    }
    if (packet.block != expectedNumber) {
        // Block numbers wrap at 16 bits: half the number space ahead is a
        // gap, the other half behind is a block already received.
        const uint16_t ahead = static_cast<uint16_t>(packet.block - expectedNumber);
        if (ahead < 0x8000) {
            // a block lost or overtaken: tell the sender where to resume, once
            if (s.gapAckedAt != s.expected) {
                s.gapAckedAt = s.expected;
                Acknowledge(s);
            }
            return;
        }
        const uint64_t behind = 0x10000u - ahead;
        // A copy of a block already acknowledged: the sender may have lost
        // that ACK, so it is repeated, once. Copies of blocks received since
        // are no news and must not restart the sender's window.
        if (behind < s.expected && s.expected - behind <= s.acked && !s.repeatAnswered &&
            s.state != State::Silent) {
            s.repeatAnswered = true;
            Reply(s.socket, s.client, s.lastReply);
        }
        return;
    }
    if (packet.dataSize > s.blockSize) {
        Log(AddressText(s.device) + ": block larger than negotiated");
        Reply(s.socket, s.client, tftp::EncodeError(tftp::ErrIllegalOperation, "block too large"));
        s.state = State::Silent;
        s.deadline = now;
        s.timeouts = kSessionRetries;
        return;
    }
    if (s.image.size() + packet.dataSize > kMaxImage) {
        Log(AddressText(s.device) + ": image too large");
        Reply(s.socket, s.client, tftp::EncodeError(tftp::ErrDiskFull, "image too large"));
        s.state = State::Silent;
        s.deadline = now;
        s.timeouts = kSessionRetries;
        return;
    }
    s.image.insert(s.image.end(), packet.data, packet.data + packet.dataSize);
    ++s.expected;
    ++s.inWindow;
    s.timeouts = 0;
    s.deadline = now + kSessionTimeout;
    if (packet.dataSize == s.blockSize) {
        if (s.inWindow >= s.window)
            Acknowledge(s);
        return;
    }
    // the image is stored before the last ACK says so
    s.state = State::Done;
    s.deadline = now + kDally;
    if (!config.received)
        Log(AddressText(s.device) + ": received \"" + s.fileName + "\", " + std::to_string(s.image.size()) +
            " bytes in " + std::to_string(s.expected - 1) + " blocks");
    if (config.received)
        config.received(s.device, s.fileName, std::move(s.image));
    s.image = {};
    Acknowledge(s);
}

void TftpServer::Impl::OnSessionReadable(Session &s)
{
    for (int i = 0; i < 256; ++i) {
        sockaddr_in from{};
        socklen_t fromLen = sizeof from;
        ssize_t got = recvfrom(s.socket->fd, buffer, sizeof buffer, MSG_DONTWAIT | MSG_TRUNC,
                               reinterpret_cast<sockaddr *>(&from), &fromLen);
        if (got < 0)
            return;
        if (Lost())
            continue;
        if (!SameEndpoint(from, s.client)) {
            Log(AddressText(s.device) + ": packet from " + EndpointText(from) + ", unknown transfer id");
            Reply(s.socket, from, tftp::EncodeError(tftp::ErrUnknownTid, "unknown transfer id"));
            continue;
        }
        auto packet = static_cast<size_t>(got) > tftp::kMaxPacket
                          ? std::nullopt
                          : tftp::Parse(buffer, static_cast<size_t>(got));
        if (!packet) {
            Log(AddressText(s.device) + ": dropped a malformed packet");
            continue;
        }
        if (packet->opcode == tftp::Opcode::Error) {
            Log(AddressText(s.device) + ": client ended the transfer: " + tvp::wire::CleanText(packet->text));
            s.state = State::Silent;
            s.timeouts = kSessionRetries;
            s.deadline = Clock::now();
            return;
        }
        if (packet->opcode != tftp::Opcode::Data || s.state == State::Silent)
            continue;
        OnData(s, *packet);
    }
}

void TftpServer::Impl::OnTimeout(Session &s, Clock::time_point now)
{
    if (s.state == State::Receiving && ++s.timeouts <= kSessionRetries) {
        // RFC 7440: when the sender falls quiet the receiver acknowledges
        // the last block it received in order
        Acknowledge(s);
        s.deadline = now + kSessionTimeout;
        return;
    }
    if (s.state == State::Silent && s.timeouts < kSessionRetries) {
        ++s.timeouts; // a stalled device lingers, mute, like a real one would
        s.deadline = now + kSessionTimeout;
        return;
    }
    if (s.state == State::Receiving)
        Log(AddressText(s.device) + ": transfer of \"" + s.fileName + "\" abandoned at block " +
            std::to_string(s.expected));
    s.socket.reset(); // closed once its pending replies are out
}

void TftpServer::Impl::Run()
{
    std::vector<pollfd> fds;
    while (!stopping) {
        auto now = Clock::now();
        Flush(now);
        for (auto &s : sessions)
            if (s->deadline <= now)
                OnTimeout(*s, now);
        std::erase_if(sessions, [](const auto &s) { return !s->socket; });

        auto next = now + milliseconds(500);
        if (!pending.empty())
            next = std::min(next, pending.front().when);
        for (auto &s : sessions)
            next = std::min(next, s->deadline);
        fds.clear();
        fds.push_back({wake[0], POLLIN, 0});
        fds.push_back({listenFd, POLLIN, 0});
        for (auto &s : sessions)
            fds.push_back({s->socket->fd, POLLIN, 0});
        auto wait = std::chrono::ceil<milliseconds>(next - now).count();
        int n = poll(fds.data(), fds.size(), static_cast<int>(std::max<long long>(wait, 0)));
        if (n <= 0)
            continue;
        if (fds[0].revents)
            break;
        if (fds[1].revents & POLLIN)
            OnRequest();
        // sessions started above are not in fds yet; index the old ones only
        const size_t count = fds.size() - 2;
        for (size_t i = 0; i < count; ++i)
            if (fds[i + 2].revents & POLLIN)
                OnSessionReadable(*sessions[i]);
    }
}

TftpServer::TftpServer(TftpServerConfig config) : impl_(std::make_unique<Impl>(std::move(config))) {}

TftpServer::~TftpServer()
{
    Stop();
}

bool TftpServer::Start()
{
    if (impl_->thread.joinable())
        return true;
    in_addr bindAddr{};
    if (inet_pton(AF_INET, impl_->config.bindAddress.c_str(), &bindAddr) != 1) {
        impl_->Log("invalid bind address " + impl_->config.bindAddress);
        return false;
    }
    int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0)
        return false;
    if (!TieToInterface(fd, impl_->config.bindInterface)) {
        impl_->Log("cannot tie the server to " + impl_->config.bindInterface + ": " + std::strerror(errno));
        close(fd);
        return false;
    }
    int one = 1;
    setsockopt(fd, IPPROTO_IP, IP_PKTINFO, &one, sizeof one);
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_addr = bindAddr;
    local.sin_port = htons(impl_->config.port);
    socklen_t len = sizeof local;
    if (bind(fd, reinterpret_cast<sockaddr *>(&local), sizeof local) < 0 ||
        getsockname(fd, reinterpret_cast<sockaddr *>(&local), &len) < 0 || pipe2(impl_->wake, O_CLOEXEC) < 0) {
        impl_->Log(std::string("cannot listen: ") + std::strerror(errno));
        close(fd);
        return false;
    }
    impl_->listenFd = fd;
    impl_->port = ntohs(local.sin_port);
    impl_->stopping = false;
    impl_->Log("listening on " + impl_->config.bindAddress + ":" + std::to_string(impl_->port));
    impl_->thread = std::thread([this] { impl_->Run(); });
    return true;
}

uint16_t TftpServer::Port() const
{
    return impl_->port;
}

void TftpServer::Stop()
{
    if (!impl_->thread.joinable())
        return;
    impl_->stopping = true;
    char c = 0;
    (void)!write(impl_->wake[1], &c, 1);
    impl_->thread.join();
    impl_->sessions.clear();
    impl_->pending.clear();
    close(impl_->listenFd);
    close(impl_->wake[0]);
    close(impl_->wake[1]);
    impl_->listenFd = impl_->wake[0] = impl_->wake[1] = -1;
}

} // namespace devsim
