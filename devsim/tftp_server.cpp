// SPDX-License-Identifier: MIT
#include "tftp_server.h"

#include "netif.h"
#include "sockets.h"
#include "tftp_packet.h"
#include "wire.h"

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

// A peer's address and port, host byte order.
struct Endpoint
{
    uint32_t address = 0;
    uint16_t port = 0;
};

std::string EndpointText(const Endpoint &e)
{
    return tvp::wire::FormatEndpoint(e.address, e.port);
}

bool SameEndpoint(const Endpoint &a, const Endpoint &b)
{
    return a.address == b.address && a.port == b.port;
}

// Names are stored relative to the device's upload area: nothing that
// could climb out of it or name a place of its own.
bool SafeName(const std::string &name)
{
    if (name.empty() || name[0] == '/' || name[0] == '\\' || (name.size() >= 2 && name[1] == ':'))
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

using Socket = sock::UdpSocket;

} // namespace

struct TftpServer::Impl
{
    enum class State { Receiving, Done, Silent };

    struct Session
    {
        std::shared_ptr<Socket> socket;
        Endpoint client;
        uint32_t device = 0;
        std::string fileName;
        UpgradeBehaviour behaviour = UpgradeBehaviour::Succeed;
        State state = State::Receiving;
        uint16_t blockSize = tftp::kDefaultBlockSize;
        uint16_t window = 1;
        uint64_t expected = 1;       // next block in order, never wrapped
        uint64_t acked = 0;          // block named by the last ACK sent
        unsigned inWindow = 0;       // in-order blocks since that ACK
        uint64_t gapAckedAt = 0;     // one ACK per gap, not one per stray block
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
        Endpoint to;
        std::vector<uint8_t> bytes;
    };

    explicit Impl(TftpServerConfig c)
        : config(std::move(c)),
          rng(config.seed)
    {}

    void Log(const std::string &line)
    {
        if (config.log)
            config.log("tftp: " + line);
    }
    bool Lost() { return config.lossRate > 0 && std::uniform_real_distribution<double>(0, 1)(rng) < config.lossRate; }

    void Reply(const std::shared_ptr<Socket> &socket, const Endpoint &to, std::vector<uint8_t> bytes);
    void Flush(Clock::time_point now);
    void SendNow(const Pending &p);
    void OnRequest();
    // An ERROR packet's code and text.
    struct Refusal
    {
        uint16_t code = 0;
        std::string message;
    };

    void StartSession(const Endpoint &client, uint32_t device, UpgradeBehaviour behaviour, const tftp::Packet &wrq);
    // Why a request is not served, before its options are looked at.
    std::optional<Refusal> Refuses(const Endpoint &client, uint32_t device, UpgradeBehaviour behaviour,
                                   const tftp::Packet &req);
    // The options granted within the server's limits, set on the session;
    // a refusal for an image too large.
    std::optional<Refusal> Grant(Session &s, const tftp::Options &asked, tftp::Options *granted);
    // Ends a transfer with an ERROR packet; the session lingers, mute.
    void Abort(Session &s, const std::string &why, Refusal answer, Clock::time_point now);
    void OnSessionReadable(Session &s);
    void OnData(Session &s, const tftp::Packet &packet);
    void Acknowledge(Session &s);
    void OnTimeout(Session &s, Clock::time_point now);
    void Run();

    TftpServerConfig config;
    std::mt19937 rng;
    Socket listen;
    std::unique_ptr<sock::Waker> wake;
    uint16_t port = 0;
    std::thread thread;
    std::atomic<bool> stopping{false};
    std::deque<Pending> pending; // constant delay keeps it in time order
    std::vector<std::unique_ptr<Session>> sessions;
    // devices that answered "busy" already, with the requester they told
    std::map<uint32_t, Endpoint> busyTold;
    uint8_t buffer[tftp::kMaxPacket + 1];
};

void TftpServer::Impl::SendNow(const Pending &p)
{
    if (!tvp::net::SendDatagram(p.socket->socket.Get(), p.bytes.data(), p.bytes.size(), p.to.address, p.to.port))
        Log("send to " + EndpointText(p.to) + " failed: " + std::strerror(errno));
}

void TftpServer::Impl::Reply(const std::shared_ptr<Socket> &socket, const Endpoint &to, std::vector<uint8_t> bytes)
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
    const auto d = tvp::net::ReceiveDatagram(listen.socket.Get(), buffer, sizeof buffer);
    if (!d || !sock::Accepts(listen, *d) || Lost())
        return;
    const Endpoint from{d->from, d->fromPort};
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
        Log("request for " + tvp::wire::FormatDottedQuad(device) + ": no such device, ignored");
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

void TftpServer::Impl::StartSession(const Endpoint &client, uint32_t device, UpgradeBehaviour behaviour,
                                    const tftp::Packet &req)
{
    const std::string who = tvp::wire::FormatDottedQuad(device);
    if (sessions.size() >= kMaxSessions) {
        Log(who + ": too many transfers, request ignored");
        return;
    }
    // answers come from the device's own address on a fresh port, the transfer id
    sock::UdpOptions options;
    options.interfaceName = config.bindInterface;
    options.address = device;
    options.foreignAddress = true;
    options.receiveBuffer = 1 << 20; // a full window of large blocks
    std::string error;
    auto transfer = std::make_shared<Socket>(sock::OpenUdp(options, &error));
    if (!transfer->socket.Valid()) {
        Log(who + ": no transfer socket: " + error);
        return;
    }

    auto s = std::make_unique<Session>();
    s->socket = transfer;
    s->client = client;
    s->device = device;
    s->fileName = req.text;
    s->behaviour = behaviour;
    s->deadline = Clock::now() + kSessionTimeout;

    auto refuse = [&](const Refusal &r) {
        Log(who + ": " + r.message + " (\"" + req.text + "\" from " + EndpointText(client) + ")");
        Reply(transfer, client, tftp::EncodeError(r.code, r.message));
    };
    if (const auto r = Refuses(client, device, behaviour, req))
        return refuse(*r);
    tftp::Options granted;
    if (const auto r = Grant(*s, req.options, &granted))
        return refuse(*r);
    Log(who + ": write request for \"" + req.text + "\" from " + EndpointText(client) + ", blksize " +
        std::to_string(s->blockSize) + ", windowsize " + std::to_string(s->window) +
        (granted.empty() ? ", no options" : ""));
    s->firstReply = granted.empty() ? tftp::EncodeAck(0) : tftp::EncodeOack(granted);
    s->lastReply = s->firstReply;
    s->acksSent = 1;
    Reply(transfer, client, s->lastReply);
    sessions.push_back(std::move(s));
}

std::optional<TftpServer::Impl::Refusal> TftpServer::Impl::Refuses(const Endpoint &client, uint32_t device,
                                                                   UpgradeBehaviour behaviour, const tftp::Packet &req)
{
    if (req.opcode != tftp::Opcode::Wrq)
        return Refusal{tftp::ErrIllegalOperation, "only write requests are served"};
    if (req.mode != "octet")
        return Refusal{tftp::ErrIllegalOperation, "only octet mode is served"};
    if (!SafeName(req.text))
        return Refusal{tftp::ErrAccessViolation, "file name refused"};
    if (behaviour == UpgradeBehaviour::Fail)
        return Refusal{tftp::ErrAccessViolation, "firmware rejected"};
    if (behaviour == UpgradeBehaviour::BusyFirst) {
        auto told = busyTold.find(device);
        if (told == busyTold.end() || SameEndpoint(told->second, client)) {
            busyTold[device] = client;
            return Refusal{tftp::ErrNotDefined, std::string(tftp::kBusyMessage)};
        }
    }
    return std::nullopt;
}

std::optional<TftpServer::Impl::Refusal> TftpServer::Impl::Grant(Session &s, const tftp::Options &asked,
                                                                 tftp::Options *granted)
{
    for (const auto &[name, value] : asked) {
        if (name == "blksize") {
            auto v = tftp::ParseDecimal(value, UINT32_MAX);
            if (v && *v >= tftp::kMinBlockSize) {
                s.blockSize = static_cast<uint16_t>(std::min<uint64_t>(*v, tftp::kMaxBlockSize));
                granted->emplace_back(name, std::to_string(s.blockSize));
            }
        } else if (name == "windowsize") {
            auto v = tftp::ParseDecimal(value, UINT32_MAX);
            if (v && *v >= 1) {
                s.window = static_cast<uint16_t>(std::min<uint64_t>(*v, kWindowCap));
                granted->emplace_back(name, std::to_string(s.window));
            }
        } else if (name == "tsize") {
            auto v = tftp::ParseDecimal(value, UINT64_MAX / 10);
            if (v && *v > kMaxImage)
                return Refusal{tftp::ErrDiskFull, "image too large"};
            if (v) {
                s.image.reserve(static_cast<size_t>(*v));
                granted->emplace_back(name, value);
            }
        }
    }
    return std::nullopt;
}

void TftpServer::Impl::Abort(Session &s, const std::string &why, Refusal answer, Clock::time_point now)
{
    Log(tvp::wire::FormatDottedQuad(s.device) + ": " + why);
    Reply(s.socket, s.client, tftp::EncodeError(answer.code, answer.message));
    s.state = State::Silent;
    s.deadline = now;
    s.timeouts = kSessionRetries;
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
            Log(tvp::wire::FormatDottedQuad(s.device) + ": stalls after block " + std::to_string(s.acked));
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
        if (behind < s.expected && s.expected - behind <= s.acked && !s.repeatAnswered && s.state != State::Silent) {
            s.repeatAnswered = true;
            Reply(s.socket, s.client, s.lastReply);
        }
        return;
    }
    if (packet.dataSize > s.blockSize)
        return Abort(s, "block larger than negotiated", {tftp::ErrIllegalOperation, "block too large"}, now);
    if (s.image.size() + packet.dataSize > kMaxImage)
        return Abort(s, "image too large", {tftp::ErrDiskFull, "image too large"}, now);
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
        Log(tvp::wire::FormatDottedQuad(s.device) + ": received \"" + s.fileName + "\", " +
            std::to_string(s.image.size()) + " bytes in " + std::to_string(s.expected - 1) + " blocks");
    if (config.received)
        config.received(s.device, s.fileName, std::move(s.image));
    s.image = {};
    Acknowledge(s);
}

void TftpServer::Impl::OnSessionReadable(Session &s)
{
    for (int i = 0; i < 256; ++i) {
        const auto d = tvp::net::ReceiveDatagram(s.socket->socket.Get(), buffer, sizeof buffer);
        if (!d)
            return;
        if (!sock::Accepts(*s.socket, *d) || Lost())
            continue;
        const Endpoint from{d->from, d->fromPort};
        if (!SameEndpoint(from, s.client)) {
            Log(tvp::wire::FormatDottedQuad(s.device) + ": packet from " + EndpointText(from) +
                ", unknown transfer id");
            Reply(s.socket, from, tftp::EncodeError(tftp::ErrUnknownTid, "unknown transfer id"));
            continue;
        }
        auto packet = d->truncated || d->size > tftp::kMaxPacket ? std::nullopt : tftp::Parse(buffer, d->size);
        if (!packet) {
            Log(tvp::wire::FormatDottedQuad(s.device) + ": dropped a malformed packet");
            continue;
        }
        if (packet->opcode == tftp::Opcode::Error) {
            Log(tvp::wire::FormatDottedQuad(s.device) +
                ": client ended the transfer: " + tvp::wire::CleanText(packet->text));
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
        Log(tvp::wire::FormatDottedQuad(s.device) + ": transfer of \"" + s.fileName + "\" abandoned at block " +
            std::to_string(s.expected));
    s.socket.reset(); // closed once its pending replies are out
}

void TftpServer::Impl::Run()
{
    std::vector<sock::SocketHandle> watched;
    std::vector<char> ready;
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
        watched.clear();
        watched.push_back(wake->Handle());
        watched.push_back(listen.socket.Get());
        for (auto &s : sessions)
            watched.push_back(s->socket->socket.Get());
        auto wait = std::chrono::ceil<milliseconds>(next - now).count();
        if (!sock::WaitReadable(watched, static_cast<int>(std::max<long long>(wait, 0)), &ready)) {
            // nothing would ever be read again: say so, and stop serving
            Log("waiting for packets failed: " + sock::LastError());
            break;
        }
        if (ready[0])
            break;
        if (ready[1])
            OnRequest();
        // sessions started above are not watched yet; index the old ones only
        const size_t count = watched.size() - 2;
        for (size_t i = 0; i < count; ++i)
            if (ready[i + 2])
                OnSessionReadable(*sessions[i]);
    }
}

TftpServer::TftpServer(TftpServerConfig config)
    : impl_(std::make_unique<Impl>(std::move(config)))
{}

TftpServer::~TftpServer()
{
    Stop();
}

bool TftpServer::Start()
{
    if (impl_->thread.joinable())
        return true;
    sock::UdpOptions options;
    if (!tvp::wire::ParseDottedQuad(impl_->config.bindAddress.c_str(), &options.address)) {
        impl_->Log("invalid bind address " + impl_->config.bindAddress);
        return false;
    }
    options.interfaceName = impl_->config.bindInterface;
    options.port = impl_->config.port;
    options.arrivalInfo = true; // the address a request went to names the device
    std::string error;
    Socket listen = sock::OpenUdp(options, &error);
    if (!listen.socket.Valid()) {
        impl_->Log("cannot listen: " + error);
        return false;
    }
    auto wake = std::make_unique<sock::Waker>();
    if (!wake->Open()) {
        impl_->Log("cannot listen: no waker: " + sock::LastError());
        return false;
    }
    impl_->listen = std::move(listen);
    impl_->wake = std::move(wake);
    impl_->port = impl_->listen.port;
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
    impl_->wake->Set();
    impl_->thread.join();
    impl_->sessions.clear();
    impl_->pending.clear();
    impl_->listen = Socket();
    impl_->wake.reset();
}

} // namespace devsim
