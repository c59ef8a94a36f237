// SPDX-License-Identifier: MIT
#include "server.h"

#include "netif.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace devsim {

namespace wire = tvp::wire;
using Clock = std::chrono::steady_clock;

namespace {

const Device *DeviceAt(const std::vector<Device> &devices, uint32_t address)
{
    for (const auto &d : devices)
        if (d.address == address && !d.Away())
            return &d;
    return nullptr;
}

wire::Message AnswerFrom(const Device &device, uint8_t opcode, uint32_t txid)
{
    wire::Message m;
    m.opcode = opcode;
    m.txid = txid;
    m.id = device.id;
    return m;
}

wire::Message DiscoverAnswer(const Device &device, uint32_t txid)
{
    wire::Message m = AnswerFrom(device, wire::DiscoverReply, txid);
    m.name = device.name;
    m.type = device.type;
    m.address = device.address;
    return m;
}

} // namespace

bool AnswerBudget::Take(uint32_t device, Clock::time_point now)
{
    auto [it, fresh] = buckets_.try_emplace(device, Bucket{kBurst, now});
    Bucket &b = it->second;
    if (!fresh) {
        b.tokens = std::min(kBurst, b.tokens + std::chrono::duration<double>(now - b.at).count() * kRate);
        b.at = now;
    }
    if (b.tokens < 1)
        return false;
    b.tokens -= 1;
    return true;
}

Server::Server(ServerConfig config, std::vector<Device> devices)
    : config_(std::move(config)),
      devices_(std::move(devices)),
      random_(config_.seed),
      started_(Clock::now())
{}

Server::~Server() = default;

void Server::Log(const std::string &line)
{
    if (config_.log)
        config_.log(line);
}

bool Server::Open(std::string *error)
{
    sock::UdpOptions options;
    options.interfaceName = config_.interface;
    options.port = config_.port;
    options.broadcast = true;
    options.arrivalInfo = true;
    // a scan of a thousand devices sends a thousand probes at once
    options.receiveBuffer = options.sendBuffer = 4 << 20;
    if (!wire::ParseDottedQuad(config_.bindAddress.c_str(), &options.address)) {
        *error = "bad bind address " + config_.bindAddress;
        return false;
    }
    socket_ = sock::OpenUdp(options, error);
    if (!socket_.socket.Valid())
        return false;
    port_ = socket_.port;
    return true;
}

std::optional<UpgradeBehaviour> Server::BehaviourAt(uint32_t address)
{
    std::lock_guard lock(mu_);
    for (const auto &d : devices_)
        if (d.address == address)
            return d.upgrade;
    return std::nullopt;
}

void Server::Run(const volatile bool *stop, sock::SocketHandle stopSocket)
{
    std::vector<sock::SocketHandle> watched{socket_.socket.Get()};
    if (stopSocket != sock::kNoSocket)
        watched.push_back(stopSocket);
    std::vector<char> ready;
    while (!*stop) {
        int timeout = 100;
        if (!outgoing_.empty()) {
            auto wait =
                std::chrono::duration_cast<std::chrono::milliseconds>(outgoing_.top().at - Clock::now()).count();
            timeout = int(std::max<long long>(0, std::min<long long>(wait + 1, timeout)));
        }
        if (!sock::WaitReadable(watched, timeout, &ready)) {
            Log("waiting for requests failed: " + sock::LastError());
            return;
        }
        if (watched.size() > 1 && ready[1])
            return;
        if (ready[0])
            ReceiveAll();
        SendDue();
    }
}

void Server::ReceiveAll()
{
    for (int round = 0; round < 1024; ++round) {
        uint8_t buffer[wire::kMaxMessage + 1];
        const auto d = tvp::net::ReceiveDatagram(socket_.socket.Get(), buffer, sizeof buffer);
        if (!d)
            return;
        if (!sock::Accepts(socket_, *d))
            continue; // another link's: the socket is tied to this one
        if (d->truncated || d->size > wire::kMaxMessage) {
            Log("ignored an oversized datagram from " + wire::FormatDottedQuad(d->from));
            continue;
        }
        Handle(buffer, *d);
    }
}

void Server::Handle(const uint8_t *data, const tvp::net::Datagram &d)
{
    Request r{{}, d.size, d.from, d.fromPort, d.localAddress, d.ifindex, wire::FormatEndpoint(d.from, d.fromPort)};
    if (!wire::Decode(data, d.size, &r.message)) {
        Log("ignored a malformed datagram (" + std::to_string(d.size) + " bytes) from " + r.peer);
        return;
    }
    if (!wire::IsRequest(r.message.opcode))
        return; // an answer of another simulator
    if (d.size < wire::MinRequestSize(r.message.opcode)) {
        Log("ignored a short request (" + std::to_string(d.size) + " bytes) from " + r.peer);
        return;
    }
    if (config_.lossRate > 0 && std::uniform_real_distribution<double>(0, 1)(random_) < config_.lossRate) {
        Log("lost request opcode " + std::to_string(r.message.opcode) + " txid " + std::to_string(r.message.txid) +
            " from " + r.peer);
        return;
    }
    std::lock_guard lock(mu_);
    switch (r.message.opcode) {
    case wire::Discover: return OnDiscover(r);
    case wire::GetIP: return OnGetIP(r);
    case wire::SetIP: return OnSetIP(r);
    case wire::Probe: return OnProbe(r);
    }
}

bool Server::IsBroadcast(uint32_t destination)
{
    if (destination == wire::kLimitedBroadcast)
        return true;
    if (broadcasts_.empty() || Clock::now() - broadcastsReadAt_ > std::chrono::seconds(1)) {
        broadcasts_.clear();
        std::vector<std::string> names;
        if (!config_.interface.empty())
            names.push_back(config_.interface);
        for (const auto &i : tvp::net::ListInterfaces(names))
            broadcasts_.push_back(i.Broadcast());
        broadcastsReadAt_ = Clock::now();
    }
    return std::find(broadcasts_.begin(), broadcasts_.end(), destination) != broadcasts_.end();
}

void Server::OnDiscover(const Request &r)
{
    const std::string line =
        "discover txid " + std::to_string(r.message.txid) + " from " + r.peer + " to " + wire::FormatDottedQuad(r.to);
    // A Discover sent to a device's own address (from beyond a router)
    // is answered by that device alone, by unicast from that address.
    if (const Device *dev = DeviceAt(devices_, r.to)) {
        if (!unicastBudget_.Take(r.to, Clock::now())) {
            Log(line + ": " + dev->name + " over its answer rate, not answered");
            return;
        }
        Reply(wire::Encode(DiscoverAnswer(*dev, r.message.txid)), r.size, r.from, r.fromPort, r.to, r.ifindex);
        Log(line + ": answered by " + dev->name);
        return;
    }
    // a unicast to an address nobody holds reaches nobody
    if (!IsBroadcast(r.to)) {
        Log(line + ": no device");
        return;
    }
    size_t answers = 0;
    for (const auto &d : devices_)
        if (!d.Away()) {
            Reply(wire::Encode(DiscoverAnswer(d, r.message.txid)), r.size, wire::kLimitedBroadcast, r.fromPort, 0,
                  r.ifindex);
            ++answers;
        }
    Log(line + ": " + std::to_string(answers) + " answers");
}

Device *Server::DeviceFor(const Request &r, const char *what)
{
    Device *dev = nullptr;
    for (auto &d : devices_)
        if (d.id == r.message.id)
            dev = &d;
    if (!dev)
        Log(std::string(what) + " txid " + std::to_string(r.message.txid) + " from " + r.peer + " for " +
            wire::FormatMac(r.message.id) + ": no such device");
    return dev;
}

std::optional<Server::Way> Server::AnswerWay(const Request &r, const Device &device, const std::string &line)
{
    if (IsBroadcast(r.to))
        return Way{wire::kLimitedBroadcast, r.fromPort, 0, r.ifindex};
    // a device hears only the unicasts to its own address
    if (r.to != device.address) {
        Log(line + ": sent to " + wire::FormatDottedQuad(r.to) + ", not to " + device.name + "'s address");
        return std::nullopt;
    }
    if (!unicastBudget_.Take(r.to, Clock::now())) {
        Log(line + ": " + device.name + " over its answer rate, not answered");
        return std::nullopt;
    }
    return Way{r.from, r.fromPort, r.to, r.ifindex};
}

void Server::OnGetIP(const Request &r)
{
    const Device *dev = DeviceFor(r, "getip");
    if (!dev)
        return;
    const std::string line = "getip txid " + std::to_string(r.message.txid) + " from " + r.peer;
    const auto way = AnswerWay(r, *dev, line);
    if (!way)
        return;
    if (dev->Away()) {
        Log(line + " for " + dev->name + ": moved away, stays silent");
        return;
    }
    wire::Message answer = AnswerFrom(*dev, wire::GetIPReply, r.message.txid);
    answer.address = dev->address;
    answer.mask = dev->mask;
    answer.gateway = dev->gateway;
    answer.dhcp = dev->dhcp;
    Log(line + " for " + dev->name + ": " + wire::FormatDottedQuad(dev->address));
    Reply(wire::Encode(answer), r.size, way->to, way->port, way->from, way->ifindex);
}

void Server::OnSetIP(const Request &r)
{
    Device *dev = DeviceFor(r, "setip");
    if (!dev)
        return;
    // answered from the address the request reached, before the device moves
    const auto way = AnswerWay(r, *dev, "setip txid " + std::to_string(r.message.txid) + " from " + r.peer);
    if (!way)
        return;
    const wire::Message &req = r.message;
    const bool dhcp = req.dhcp.value_or(false);
    const uint32_t a = req.address.value_or(0), m = req.mask.value_or(0);
    const bool ok = dhcp || wire::IsHostAddress(a, m);
    if (ok) {
        // the same settings again change nothing: a resent request is harmless
        dev->dhcp = dhcp;
        if (!dhcp) {
            dev->address = a;
            dev->mask = m;
            dev->gateway = req.gateway.value_or(0);
        }
    }
    wire::Message answer = AnswerFrom(*dev, wire::SetIPReply, req.txid);
    answer.status = ok ? wire::StatusOK : wire::StatusRefused;
    answer.address = dev->address;
    Log(std::string("setip txid ") + std::to_string(req.txid) + " from " + r.peer + " for " + dev->name +
        (ok ? ": now " + (dhcp ? std::string("DHCP ") : std::string()) + wire::FormatDottedQuad(dev->address) + "/" +
                  std::to_string(wire::PrefixLength(m))
            : std::string(": refused")));
    Reply(wire::Encode(answer), r.size, way->to, way->port, way->from, way->ifindex);
    if (ok && config_.settingsChanged)
        config_.settingsChanged(*dev);
}

void Server::OnProbe(const Request &r)
{
    const Device *dev = DeviceAt(devices_, r.to);
    const std::string line =
        "probe txid " + std::to_string(r.message.txid) + " from " + r.peer + " to " + wire::FormatDottedQuad(r.to);
    if (!dev) {
        Log(line + ": no device");
        return;
    }
    if (!dev->answersProbes) {
        Log(line + ": " + dev->name + " stays silent");
        return;
    }
    // answered from the probed address, as the device itself would
    Reply(wire::Encode(AnswerFrom(*dev, wire::ProbeReply, r.message.txid)), r.size, r.from, r.fromPort, r.to,
          r.ifindex);
    Log(line + ": answered by " + dev->name);
}

void Server::Corrupt(std::vector<uint8_t> &bytes)
{
    switch (std::uniform_int_distribution<int>(0, 3)(random_)) {
    case 0: // wrong magic
        bytes[0] ^= 0xff;
        break;
    case 1: // cut inside the fields
        if (bytes.size() > wire::kHeaderSize + 1)
            bytes.resize(wire::kHeaderSize + 1 + (bytes.size() - wire::kHeaderSize - 1) / 2);
        break;
    case 2: // a field claiming more bytes than follow
        if (bytes.size() > wire::kHeaderSize + 1)
            bytes[wire::kHeaderSize + 1] = 0xff;
        else
            bytes.insert(bytes.end(), {wire::FieldName, 200, 'x'});
        break;
    default: // an address of three bytes
        bytes.insert(bytes.end(), {wire::FieldGateway, 3, 1, 2, 3});
        break;
    }
}

void Server::Reply(std::vector<uint8_t> bytes, size_t requestSize, uint32_t to, uint16_t port, uint32_t from,
                   unsigned ifindex)
{
    if (config_.malformedRate > 0 && std::uniform_real_distribution<double>(0, 1)(random_) < config_.malformedRate)
        Corrupt(bytes);
    // never a reflector: no answer outgrows its request
    if (bytes.size() > requestSize) {
        Log("answer of " + std::to_string(bytes.size()) + " bytes exceeds its request, not sent");
        return;
    }
    Outgoing o{
        Clock::now() + std::chrono::milliseconds(config_.replyDelayMs), std::move(bytes), to, port, from, ifindex};
    if (config_.duplicate)
        outgoing_.push(o);
    outgoing_.push(std::move(o));
    if (config_.replyDelayMs == 0)
        SendDue();
}

void Server::SendDue()
{
    auto now = Clock::now();
    int retries = 0;
    while (!outgoing_.empty() && outgoing_.top().at <= now) {
        const Outgoing &o = outgoing_.top();
        // broadcasts leave on the link the request came from
        const unsigned ifindex = o.to == wire::kLimitedBroadcast ? o.ifindex : 0;
        if (!tvp::net::SendDatagram(socket_.socket.Get(), o.bytes.data(), o.bytes.size(), o.to, o.port, o.from,
                                    ifindex)) {
            if ((errno == EAGAIN || errno == ENOBUFS) && ++retries < 100) {
                // the send queue is full: try again shortly
                sock::WaitWritable(socket_.socket.Get(), 10);
                continue;
            }
            Log(std::string("send to ") + wire::FormatDottedQuad(o.to) + " failed: " + std::strerror(errno));
        }
        outgoing_.pop();
    }
}

} // namespace devsim
