// The library core: event queue and delivery, environment, the network
// thread, discovery, get/set IP, probes and the free-address choice.
#include "internal.h"
#include "netif.h"
#include "tvp.h"
#include "wire.h"

#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <netinet/in.h>
#include <poll.h>
#include <random>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <unordered_map>

namespace tvp {
namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

// Get/set requests: resent at these offsets, given up at kRequestDeadline,
// inside the program's 3-second wait.
constexpr int kResendMs[] = {0, 300, 700, 1200, 1800};
constexpr milliseconds kRequestDeadline{2500};
// Probes: resent at these offsets; silence until kProbeDeadline is a
// definite no. A LAN answers in a few milliseconds, ARP included.
constexpr int kProbeResendMs[] = {0, 40, 80};
constexpr milliseconds kProbeDeadline{120};
// A probe result this young answers TVPPingDevice without a new probe.
constexpr milliseconds kProbeFresh{1000};
// Interfaces are listed anew at most this often for TVPPingDevice.
constexpr milliseconds kInterfaceCache{1000};
// Discovery answers are accepted for the latest requests only.
constexpr size_t kDiscoveryTxKept = 64;
// A sweep of TVPDiscoverAddress asks thousands of addresses a second, far
// more than 64 while their answers travel: those stay valid for a time.
constexpr milliseconds kUnicastDiscoveryLife{10000};
constexpr size_t kUnicastDiscoveryKept = 1 << 18;
// Addresses handed out by TVPChooseIPAddress stay reserved this long.
constexpr milliseconds kChosenReserved{30000};
// A flood of answers must not grow the queue without bound.
constexpr size_t kMaxQueued = 200000;
constexpr size_t kMaxDevices = 65536;

struct Event
{
    uint32_t code = 0;
    std::string t[5];
    uint8_t dhcp = 0;
};

struct Pending
{
    uint8_t opcode = 0;
    wire::DeviceId id{};
    std::vector<uint8_t> bytes;
    Clock::time_point start;
    size_t sent = 0; // transmissions so far
};

struct Probe
{
    enum State { Waiting, Answered, Silent } state = Waiting;
    uint32_t txid = 0;
    Clock::time_point start;
    Clock::time_point done;
    size_t sent = 0;
};

std::string IdText(const wire::DeviceId &id)
{
    return wire::FormatMac(id);
}

class Library
{
public:
    ~Library() { Stop(); }

    bool Start();
    void Stop();

    int EventHandle() const { return eventFd_; }
    int ProcessEvents();
    void SetCallback(TVPCallback callback, bool debug);
    TVPCallback Callback()
    {
        std::lock_guard lock(mu_);
        return callback_;
    }
    bool Debug()
    {
        std::lock_guard lock(mu_);
        return debug_ && callback_;
    }
    void Log(const std::string &line)
    {
        std::lock_guard lock(mu_);
        LogLocked(line);
    }
    uint16_t TftpPort() const { return tftpPort_; }

    int Discover();
    int DiscoverAddress(const char *address);
    int Interfaces(char *names, size_t size);
    int GetIP(const uint8_t *id);
    int SetIP(const uint8_t *id, const char *address, const char *mask, const char *gateway, uint8_t dhcp);
    int Ping(const char *address);
    int Choose(const char *interfaceText, char *address, char *mask, char *gateway);

private:
    void Run();
    void Receive();
    void Handle(const uint8_t *data, size_t size, unsigned ifindex, const sockaddr_in &from);
    void RunTimers(Clock::time_point now);
    int NextTimeoutMs(Clock::time_point now);

    void LogLocked(const std::string &line);
    void PushLocked(Event event);
    std::vector<net::Interface> InterfacesLocked(bool fresh);
    const net::Interface *OnLinkLocked(uint32_t address);
    std::string InterfaceTextLocked(unsigned ifindex, uint32_t deviceAddress);
    size_t SendOnAll(const std::vector<uint8_t> &bytes, const std::vector<net::Interface> &ifaces);
    bool SendTo(const std::vector<uint8_t> &bytes, uint32_t address, unsigned ifindex, uint32_t source);
    uint32_t NewTxid();
    std::optional<wire::DeviceId> RequestedDeviceLocked(const uint8_t *id, const char *what);
    int SendRequestLocked(wire::Message &m, const std::string &details);
    void StartProbeLocked(uint32_t address, Clock::time_point now);
    void ForgetProbeLocked(uint32_t address);
    void ReleaseHeldLocked(uint32_t address);
    void RememberDeviceLocked(const wire::DeviceId &id, uint32_t address);
    void Wake();

    int eventFd_ = -1;
    int wakeFd_ = -1;
    int sock_ = -1;
    uint16_t port_ = TVP_DEFAULT_PORT;
    uint16_t tftpPort_ = 69;
    std::vector<std::string> names_;
    std::string envNotes_;
    std::thread thread_;
    bool stop_ = false;

    std::mutex mu_;
    std::condition_variable probeCv_;
    TVPCallback callback_ = nullptr;
    bool debug_ = false;
    std::deque<Event> queue_;
    bool signalled_ = false;
    bool overflowLogged_ = false;
    std::vector<net::Interface> ifaces_;
    Clock::time_point ifacesAt_{};
    std::string ifacesSummary_;
    std::deque<uint32_t> discoverTx_;
    std::unordered_map<uint32_t, Clock::time_point> unicastDiscoverTx_;
    std::unordered_map<uint32_t, Pending> pending_;
    std::unordered_map<uint32_t, Probe> probes_;        // by address
    std::unordered_map<uint32_t, uint32_t> probeTx_;    // txid -> address
    // Discovery answers held until the probe of their address settles, so
    // the host's probe of a new device never waits on the network.
    std::unordered_map<uint32_t, std::vector<Event>> held_;
    std::map<wire::DeviceId, uint32_t> devices_;        // last address seen
    std::vector<std::pair<uint32_t, Clock::time_point>> chosen_;
    std::mt19937 random_{std::random_device{}()};
};

bool ParsePort(const char *text, uint16_t *port)
{
    if (!text || !*text)
        return false;
    char *end = nullptr;
    errno = 0;
    long v = std::strtol(text, &end, 10);
    if (errno || *end || v < 1 || v > 65535)
        return false;
    *port = uint16_t(v);
    return true;
}

bool Library::Start()
{
    const char *names = std::getenv("TVP_INTERFACES");
    if (names && *names)
        names_ = net::SplitNames(names);
    const char *port = std::getenv("TVP_PORT");
    if (port && *port && !ParsePort(port, &port_))
        envNotes_ += std::string("TVP_PORT \"") + port + "\" is not a port; using " + std::to_string(port_) + ". ";
    const char *tftp = std::getenv("TVP_TFTP_PORT");
    if (tftp && *tftp && !ParsePort(tftp, &tftpPort_))
        envNotes_ += std::string("TVP_TFTP_PORT \"") + tftp + "\" is not a port; using 69. ";

    eventFd_ = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    wakeFd_ = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    sock_ = socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (eventFd_ < 0 || wakeFd_ < 0 || sock_ < 0)
        return false;
    int one = 1;
    setsockopt(sock_, SOL_SOCKET, SO_BROADCAST, &one, sizeof one);
    setsockopt(sock_, IPPROTO_IP, IP_PKTINFO, &one, sizeof one);
    // a thousand answers to one broadcast arrive at once
    net::EnlargeBuffer(sock_, SO_RCVBUF, 4 << 20);
    sockaddr_in any{};
    any.sin_family = AF_INET;
    any.sin_addr.s_addr = htonl(INADDR_ANY);
    any.sin_port = 0;
    if (bind(sock_, reinterpret_cast<sockaddr *>(&any), sizeof any) != 0)
        return false;
    thread_ = std::thread([this] { Run(); });
    return true;
}

void Library::Stop()
{
    if (thread_.joinable()) {
        {
            std::lock_guard lock(mu_);
            stop_ = true;
        }
        Wake();
        thread_.join();
    }
    for (int *fd : {&eventFd_, &wakeFd_, &sock_}) {
        if (*fd >= 0)
            close(*fd);
        *fd = -1;
    }
    std::lock_guard lock(mu_);
    callback_ = nullptr;
    queue_.clear();
    held_.clear();
    probeCv_.notify_all();
}

void Library::Wake()
{
    uint64_t one = 1;
    if (wakeFd_ >= 0)
        (void)!write(wakeFd_, &one, sizeof one);
}

void Library::SetCallback(TVPCallback callback, bool debug)
{
    std::lock_guard lock(mu_);
    callback_ = callback;
    debug_ = debug;
    if (!envNotes_.empty()) {
        LogLocked(envNotes_);
        envNotes_.clear();
    }
}

void Library::LogLocked(const std::string &line)
{
    if (!debug_ || !callback_)
        return;
    Event e;
    e.code = TVPEventLog;
    e.t[0] = "TVP: " + line;
    PushLocked(std::move(e));
}

void Library::PushLocked(Event event)
{
    if (queue_.size() >= kMaxQueued) {
        if (!overflowLogged_ && debug_ && callback_) {
            // the one line that may exceed the cap says why events are missing
            overflowLogged_ = true;
            Event e;
            e.code = TVPEventLog;
            e.t[0] = "TVP: event queue full (" + std::to_string(kMaxQueued) + "), dropping events until it drains";
            queue_.push_back(std::move(e));
        }
        return;
    }
    overflowLogged_ = false;
    queue_.push_back(std::move(event));
    if (!signalled_ && eventFd_ >= 0) {
        uint64_t one = 1;
        (void)!write(eventFd_, &one, sizeof one);
        signalled_ = true;
    }
}

int Library::ProcessEvents()
{
    size_t limit;
    {
        std::lock_guard lock(mu_);
        // events that arrive meanwhile wait for the next call: no endless loop
        limit = queue_.size();
    }
    int delivered = 0;
    for (size_t i = 0; i < limit; ++i) {
        Event e;
        TVPCallback cb;
        bool debug;
        {
            std::lock_guard lock(mu_);
            if (queue_.empty())
                break;
            e = std::move(queue_.front());
            queue_.pop_front();
            if (queue_.empty() && signalled_) {
                uint64_t value;
                (void)!read(eventFd_, &value, sizeof value);
                signalled_ = false;
            }
            cb = callback_;
            debug = debug_;
        }
        if (!cb || (e.code == TVPEventLog && !debug))
            continue;
        // the record points into `e`, alive for the whole call
        switch (e.code) {
        case TVPEventLog: {
            TVPLogRecord r{e.t[0].c_str()};
            cb(e.code, &r);
            break;
        }
        case TVPEventDeviceFound: {
            TVPDeviceFoundRecord r{e.t[0].c_str(), e.t[1].c_str(), e.t[2].c_str(), e.t[3].c_str(), e.t[4].c_str()};
            cb(e.code, &r);
            break;
        }
        case TVPEventGetIPReply: {
            TVPGetIPReplyRecord r{e.t[0].c_str(), e.t[1].c_str(), e.t[2].c_str(),
                                  e.t[3].c_str(), e.t[4].c_str(), e.dhcp};
            cb(e.code, &r);
            break;
        }
        case TVPEventSetIPReply: {
            TVPSetIPReplyRecord r{e.t[0].c_str(), e.t[1].c_str()};
            cb(e.code, &r);
            break;
        }
        default:
            continue;
        }
        ++delivered;
    }
    return delivered;
}

std::vector<net::Interface> Library::InterfacesLocked(bool fresh)
{
    auto now = Clock::now();
    if (!fresh && ifacesAt_ != Clock::time_point{} && now - ifacesAt_ < kInterfaceCache)
        return ifaces_;
    ifaces_ = net::ListInterfaces(names_);
    ifacesAt_ = now;
    std::string summary;
    for (const auto &i : ifaces_)
        summary += (summary.empty() ? "" : ", ") + i.Text() + "/" + std::to_string(net::PrefixLength(i.mask));
    if (summary != ifacesSummary_ || ifaces_.empty()) {
        ifacesSummary_ = summary;
        LogLocked(ifaces_.empty() ? std::string("no usable interface") + (names_.empty() ? "" : " among TVP_INTERFACES")
                                  : "interfaces: " + summary);
    }
    return ifaces_;
}

const net::Interface *Library::OnLinkLocked(uint32_t address)
{
    for (const auto &i : ifaces_)
        if (net::PrefixLength(i.mask) > 0 && i.Contains(address))
            return &i;
    return nullptr;
}

std::string Library::InterfaceTextLocked(unsigned ifindex, uint32_t deviceAddress)
{
    const net::Interface *first = nullptr;
    for (const auto &i : ifaces_) {
        if (i.index != ifindex)
            continue;
        if (i.Contains(deviceAddress))
            return i.Text();
        if (!first)
            first = &i;
    }
    return first ? first->Text() : std::string();
}

bool Library::SendTo(const std::vector<uint8_t> &bytes, uint32_t address, unsigned ifindex, uint32_t source)
{
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_addr.s_addr = htonl(address);
    to.sin_port = htons(port_);
    iovec iov{const_cast<uint8_t *>(bytes.data()), bytes.size()};
    msghdr msg{};
    msg.msg_name = &to;
    msg.msg_namelen = sizeof to;
    msg.msg_iov = &iov;
    msg.msg_iovlen = 1;
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(in_pktinfo))] = {};
    if (ifindex) {
        // leave by this interface, from its address, whatever the routes say
        msg.msg_control = control;
        msg.msg_controllen = sizeof control;
        cmsghdr *c = CMSG_FIRSTHDR(&msg);
        c->cmsg_level = IPPROTO_IP;
        c->cmsg_type = IP_PKTINFO;
        c->cmsg_len = CMSG_LEN(sizeof(in_pktinfo));
        in_pktinfo info{};
        info.ipi_ifindex = int(ifindex);
        info.ipi_spec_dst.s_addr = htonl(source);
        std::memcpy(CMSG_DATA(c), &info, sizeof info);
    }
    return sendmsg(sock_, &msg, MSG_NOSIGNAL) == ssize_t(bytes.size());
}

size_t Library::SendOnAll(const std::vector<uint8_t> &bytes, const std::vector<net::Interface> &ifaces)
{
    size_t sent = 0;
    for (const auto &i : ifaces) {
        if (net::PrefixLength(i.mask) >= 31 && !i.loopback) {
            LogLocked("skipped " + i.Text() + ": a /31 or /32 has no broadcast address");
            continue;
        }
        if (SendTo(bytes, i.Broadcast(), i.index, i.address))
            ++sent;
        else
            LogLocked("send on " + i.Text() + " failed: " + std::strerror(errno));
    }
    return sent;
}

uint32_t Library::NewTxid()
{
    uint32_t t;
    do
        t = random_();
    while (t == 0 || pending_.count(t) || probeTx_.count(t));
    return t;
}

int Library::Discover()
{
    std::lock_guard lock(mu_);
    auto ifaces = InterfacesLocked(true);
    if (ifaces.empty())
        return -1;
    wire::Message m;
    m.opcode = wire::Discover;
    m.txid = NewTxid();
    auto bytes = wire::Encode(m, wire::kMinRequest);
    discoverTx_.push_back(m.txid);
    if (discoverTx_.size() > kDiscoveryTxKept)
        discoverTx_.pop_front();
    size_t sent = SendOnAll(bytes, ifaces);
    for (const auto &i : ifaces)
        LogLocked("discovery " + std::to_string(m.txid) + " sent on " + i.Text() + " to " +
                  wire::FormatDottedQuad(i.Broadcast()) + ":" + std::to_string(port_));
    return sent ? 0 : -1;
}

int Library::DiscoverAddress(const char *text)
{
    uint32_t address = 0;
    if (!wire::ParseDottedQuad(text, &address) || address == 0 || address >= 0xe0000000u)
        return -1;
    std::lock_guard lock(mu_);
    auto ifaces = InterfacesLocked(false);
    // the kernel's route decides the way out; it must be one of ours
    int probe = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (probe < 0)
        return -1;
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_addr.s_addr = htonl(address);
    to.sin_port = htons(port_);
    sockaddr_in local{};
    socklen_t len = sizeof local;
    bool routed = connect(probe, reinterpret_cast<sockaddr *>(&to), sizeof to) == 0 &&
                  getsockname(probe, reinterpret_cast<sockaddr *>(&local), &len) == 0;
    close(probe);
    const net::Interface *out = nullptr;
    for (const auto &i : ifaces)
        if (routed && i.address == ntohl(local.sin_addr.s_addr))
            out = &i;
    if (!out) {
        LogLocked("discovery to " + wire::FormatDottedQuad(address) + " not sent: its route leaves by no interface in use");
        return -1;
    }
    wire::Message m;
    m.opcode = wire::Discover;
    m.txid = NewTxid();
    const auto now = Clock::now();
    if (unicastDiscoverTx_.size() >= kUnicastDiscoveryKept)
        std::erase_if(unicastDiscoverTx_, [&](const auto &t) { return now - t.second > kUnicastDiscoveryLife; });
    if (unicastDiscoverTx_.size() >= kUnicastDiscoveryKept)
        unicastDiscoverTx_.clear();
    unicastDiscoverTx_[m.txid] = now;
    if (!SendTo(wire::Encode(m, wire::kMinRequest), address, 0, 0))
        return -1;
    LogLocked("discovery " + std::to_string(m.txid) + " sent to " + wire::FormatDottedQuad(address) + " by " + out->Text());
    return 0;
}

int Library::Interfaces(char *names, size_t size)
{
    std::lock_guard lock(mu_);
    std::string text;
    for (const auto &i : InterfacesLocked(false))
        if (("," + text + ",").find("," + i.name + ",") == std::string::npos)
            text += (text.empty() ? "" : ",") + i.name;
    if (names && size)
        std::snprintf(names, size, "%s", text.c_str());
    return int(text.size());
}

std::optional<wire::DeviceId> Library::RequestedDeviceLocked(const uint8_t *id, const char *what)
{
    if (!id)
        return std::nullopt;
    wire::DeviceId device;
    std::memcpy(device.data(), id, device.size());
    if (!wire::IsDeviceId(device)) {
        LogLocked(std::string(what) + " refused: the ID matches no device");
        return std::nullopt;
    }
    return device;
}

// Broadcasts a request to one device on every interface and keeps it for
// resending until its answer comes.
int Library::SendRequestLocked(wire::Message &m, const std::string &details)
{
    auto ifaces = InterfacesLocked(true);
    if (ifaces.empty())
        return -1;
    m.txid = NewTxid();
    Pending p{m.opcode, m.id, wire::Encode(m, wire::kMinRequest), Clock::now(), 1};
    if (!SendOnAll(p.bytes, ifaces))
        return -1;
    LogLocked(std::string(m.opcode == wire::GetIP ? "GetIP " : "SetIP ") + std::to_string(m.txid) +
              " sent to " + IdText(m.id) + details);
    pending_.emplace(m.txid, std::move(p));
    Wake();
    return 0;
}

int Library::GetIP(const uint8_t *id)
{
    std::lock_guard lock(mu_);
    const auto device = RequestedDeviceLocked(id, "GetIP");
    if (!device)
        return -1;
    wire::Message m;
    m.opcode = wire::GetIP;
    m.id = *device;
    return SendRequestLocked(m, "");
}

// The blank address field of the program's dialogs reads as "..."; it means
// "no address" like an empty text.
bool IsBlankAddress(const char *text)
{
    if (!text)
        return true;
    for (; *text; ++text)
        if (*text != '.' && *text != ' ')
            return false;
    return true;
}

int Library::SetIP(const uint8_t *id, const char *address, const char *mask, const char *gateway, uint8_t dhcp)
{
    std::lock_guard lock(mu_);
    const auto requested = RequestedDeviceLocked(id, "SetIP");
    if (!requested)
        return -1;
    const wire::DeviceId device = *requested;
    uint32_t a = 0, m = 0, g = 0;
    auto refuse = [&](const std::string &why) {
        LogLocked("SetIP to " + IdText(device) + " refused: " + why);
        return -1;
    };
    // with DHCP the static fields are not used: blank ones are fine then
    if (!(dhcp && IsBlankAddress(address)) && !wire::ParseDottedQuad(address, &a))
        return refuse(std::string("address \"") + (address ? address : "") + "\" is not a dotted quad");
    if (!(dhcp && IsBlankAddress(mask)) && !wire::ParseDottedQuad(mask, &m))
        return refuse(std::string("mask \"") + (mask ? mask : "") + "\" is not a dotted quad");
    if (!IsBlankAddress(gateway) && !wire::ParseDottedQuad(gateway, &g))
        return refuse(std::string("gateway \"") + gateway + "\" is not a dotted quad");
    if (!dhcp) {
        int prefix = net::PrefixLength(m);
        if (prefix <= 0)
            return refuse("mask " + wire::FormatDottedQuad(m) + " is not a subnet mask");
        if (a == 0 || a == 0xffffffffu || (prefix < 31 && ((a & ~m) == 0 || (a | m) == 0xffffffffu)))
            return refuse(wire::FormatDottedQuad(a) + " is not a host address in its subnet");
    }
    wire::Message msg;
    msg.opcode = wire::SetIP;
    msg.id = device;
    msg.address = a;
    msg.mask = m;
    msg.gateway = g;
    msg.dhcp = dhcp != 0;
    return SendRequestLocked(msg, ": " +
                                      (dhcp ? std::string("DHCP")
                                            : wire::FormatDottedQuad(a) + "/" + std::to_string(net::PrefixLength(m))) +
                                      (g ? " gateway " + wire::FormatDottedQuad(g) : std::string()));
}

void Library::StartProbeLocked(uint32_t address, Clock::time_point now)
{
    auto &p = probes_[address];
    if (p.state == Probe::Waiting && p.txid)
        return;
    if (p.txid)
        probeTx_.erase(p.txid);
    p = Probe{};
    p.txid = NewTxid();
    p.start = now;
    probeTx_[p.txid] = address;
    wire::Message m;
    m.opcode = wire::Probe;
    m.txid = p.txid;
    auto bytes = wire::Encode(m, wire::kMinRequest);
    SendTo(bytes, address, 0, 0);
    p.sent = 1;
    Wake();
}

void Library::RememberDeviceLocked(const wire::DeviceId &id, uint32_t address)
{
    // a flood of invented IDs must not grow the table without bound
    if (devices_.size() >= kMaxDevices && !devices_.count(id))
        return;
    devices_[id] = address;
}

void Library::ReleaseHeldLocked(uint32_t address)
{
    auto it = held_.find(address);
    if (it == held_.end())
        return;
    for (Event &e : it->second)
        PushLocked(std::move(e));
    held_.erase(it);
}

void Library::ForgetProbeLocked(uint32_t address)
{
    auto it = probes_.find(address);
    if (it == probes_.end() || it->second.state == Probe::Waiting)
        return;
    probes_.erase(it);
}

int Library::Ping(const char *text)
{
    uint32_t address = 0;
    if (!wire::ParseDottedQuad(text, &address))
        return 0;
    std::unique_lock lock(mu_);
    InterfacesLocked(false);
    const net::Interface *link = OnLinkLocked(address);
    if (!link) {
        LogLocked("probe " + wire::FormatDottedQuad(address) + ": off-link, not reachable without re-addressing");
        return 0;
    }
    if (address == link->Network() || address == link->Broadcast())
        return 0;
    auto now = Clock::now();
    auto it = probes_.find(address);
    bool fresh = it != probes_.end() &&
                 (it->second.state == Probe::Waiting || now - it->second.done < kProbeFresh);
    if (!fresh)
        StartProbeLocked(address, now);
    // the network thread settles every probe by its deadline; the bound is a backstop
    probeCv_.wait_until(lock, now + 2 * kProbeDeadline, [&] {
        auto i = probes_.find(address);
        return stop_ || i == probes_.end() || i->second.state != Probe::Waiting;
    });
    auto i = probes_.find(address);
    return i != probes_.end() && i->second.state == Probe::Answered ? 1 : 0;
}

int Library::Choose(const char *interfaceText, char *address, char *mask, char *gateway)
{
    if (!interfaceText || !address || !mask || !gateway)
        return 0;
    std::string name;
    std::optional<uint32_t> wanted;
    std::unique_lock lock(mu_);
    if (!net::ParseInterfaceText(interfaceText, &name, &wanted)) {
        LogLocked(std::string("choose: \"") + interfaceText + "\" names no interface");
        return 0;
    }
    auto ifaces = InterfacesLocked(true);
    const net::Interface *iface = nullptr;
    for (const auto &i : ifaces)
        if (i.name == name && (!wanted || i.address == *wanted) && !iface)
            iface = &i;
    if (!iface) {
        LogLocked(std::string("choose: no selected interface \"") + interfaceText + "\"");
        return 0;
    }
    net::Interface chosenIface = *iface;
    net::ChooseRequest r;
    r.own = chosenIface.address;
    r.mask = chosenIface.mask;
    r.gateway = net::DefaultGateway(net::ReadRouteTable(), chosenIface.name);
    if (r.gateway && !chosenIface.Contains(*r.gateway))
        r.gateway.reset();
    r.seed = net::Fnv1a(chosenIface.Text());
    auto now = Clock::now();
    for (const auto &[id, a] : devices_)
        r.taken.insert(a);
    std::erase_if(chosen_, [&](const auto &c) { return now - c.second > kChosenReserved; });
    for (const auto &c : chosen_)
        r.taken.insert(c.first);
    lock.unlock();
    auto result = net::ChooseAddress(r, [&](uint32_t candidate) {
        bool answers = Ping(wire::FormatDottedQuad(candidate).c_str()) != 0;
        if (answers)
            Log("choose: " + wire::FormatDottedQuad(candidate) + " answers a probe, skipped");
        return answers;
    });
    lock.lock();
    if (!result) {
        LogLocked("choose: no free address on " + chosenIface.Text());
        return 0;
    }
    chosen_.emplace_back(*result, Clock::now());
    // its silence was the reason to choose it; a device will answer there soon
    ForgetProbeLocked(*result);
    auto put = [](char *out, const std::string &text) {
        std::snprintf(out, TVP_ADDRESS_TEXT_SIZE, "%s", text.c_str());
    };
    put(address, wire::FormatDottedQuad(*result));
    put(mask, wire::FormatDottedQuad(r.mask));
    put(gateway, r.gateway ? wire::FormatDottedQuad(*r.gateway) : std::string());
    LogLocked("choose: " + std::string(address) + " mask " + mask + " gateway " +
              (r.gateway ? std::string(gateway) : std::string("none")) + " on " + chosenIface.Text());
    return 1;
}

void Library::Run()
{
    for (;;) {
        int timeout;
        {
            std::lock_guard lock(mu_);
            if (stop_)
                return;
            timeout = NextTimeoutMs(Clock::now());
        }
        pollfd fds[2] = {{sock_, POLLIN, 0}, {wakeFd_, POLLIN, 0}};
        int n = poll(fds, 2, timeout);
        if (n < 0 && errno != EINTR)
            return;
        if (n > 0 && (fds[1].revents & POLLIN)) {
            uint64_t value;
            (void)!read(wakeFd_, &value, sizeof value);
        }
        if (n > 0 && (fds[0].revents & POLLIN))
            Receive();
        std::lock_guard lock(mu_);
        RunTimers(Clock::now());
    }
}

void Library::Receive()
{
    // bounded per round so timers still run under a flood
    for (int round = 0; round < 4096; ++round) {
        uint8_t buffer[wire::kMaxMessage + 1];
        const auto d = net::ReceiveDatagram(sock_, buffer, sizeof buffer);
        if (!d)
            return;
        std::lock_guard lock(mu_);
        if (d->truncated || d->size > wire::kMaxMessage) {
            LogLocked("dropped an oversized datagram from " + wire::FormatDottedQuad(d->from));
            continue;
        }
        sockaddr_in from{};
        from.sin_family = AF_INET;
        from.sin_addr.s_addr = htonl(d->from);
        from.sin_port = htons(d->fromPort);
        Handle(buffer, d->size, d->ifindex, from);
    }
}

void Library::Handle(const uint8_t *data, size_t size, unsigned ifindex, const sockaddr_in &from)
{
    const std::string source = wire::FormatDottedQuad(ntohl(from.sin_addr.s_addr));
    wire::Message m;
    if (!wire::Decode(data, size, &m)) {
        LogLocked("dropped a malformed message (" + std::to_string(size) + " bytes) from " + source);
        return;
    }
    if (!(m.opcode & wire::ReplyFlag))
        return; // another host's request
    auto now = Clock::now();
    if (m.opcode == wire::ProbeReply) {
        auto t = probeTx_.find(m.txid);
        if (t == probeTx_.end()) {
            LogLocked("dropped a late or unsolicited probe answer from " + source);
            return;
        }
        auto &p = probes_[t->second];
        LogLocked("probe " + wire::FormatDottedQuad(t->second) + ": answered");
        p.state = Probe::Answered;
        p.done = now;
        const uint32_t address = t->second;
        probeTx_.erase(t);
        ReleaseHeldLocked(address);
        probeCv_.notify_all();
        return;
    }
    if (!wire::IsDeviceId(m.id)) {
        LogLocked("dropped an answer from " + source + ": its ID is not a MAC address");
        return;
    }
    // replies to broadcasts arrive on the interface of the device's link
    bool selected = false;
    for (const auto &i : ifaces_)
        selected = selected || i.index == ifindex;
    if (!selected) {
        LogLocked("dropped an answer from " + source + " that arrived on an interface not in use");
        return;
    }
    const std::string id = IdText(m.id);
    if (m.opcode == wire::DiscoverReply) {
        bool ours = false;
        for (uint32_t t : discoverTx_)
            ours = ours || t == m.txid;
        if (auto u = unicastDiscoverTx_.find(m.txid); u != unicastDiscoverTx_.end())
            ours = ours || now - u->second <= kUnicastDiscoveryLife;
        if (!ours) {
            LogLocked("dropped an unsolicited discovery answer from " + id);
            return;
        }
        if (!m.address) {
            LogLocked("dropped a discovery answer without address from " + id);
            return;
        }
        Event e;
        e.code = TVPEventDeviceFound;
        e.t[0] = id;
        e.t[1] = InterfaceTextLocked(ifindex, *m.address);
        e.t[2] = wire::FormatDottedQuad(*m.address);
        e.t[3] = m.name.value_or("");
        e.t[4] = m.type.value_or("");
        RememberDeviceLocked(m.id, *m.address);
        // The host probes every device it lists as soon as it hears of it:
        // deliver the answer once the probe has settled, so that probe is
        // answered at once instead of blocking the host for a deadline.
        if (OnLinkLocked(*m.address)) {
            auto p = probes_.find(*m.address);
            if (p == probes_.end() || (p->second.state != Probe::Waiting && now - p->second.done >= kProbeFresh))
                StartProbeLocked(*m.address, now);
            p = probes_.find(*m.address);
            if (p != probes_.end() && p->second.state == Probe::Waiting && held_.size() < kMaxDevices) {
                held_[*m.address].push_back(std::move(e));
                return;
            }
        }
        PushLocked(std::move(e));
        return;
    }
    if (m.opcode != wire::GetIPReply && m.opcode != wire::SetIPReply) {
        LogLocked("dropped an answer with unknown opcode " + std::to_string(m.opcode) + " from " + source);
        return;
    }
    auto p = pending_.find(m.txid);
    if (p == pending_.end() || p->second.opcode != (m.opcode & ~wire::ReplyFlag) || p->second.id != m.id) {
        LogLocked(std::string("dropped a late, duplicate or unsolicited ") +
                  (m.opcode == wire::GetIPReply ? "GetIP" : "SetIP") + " answer " + std::to_string(m.txid) +
                  " from " + id);
        return;
    }
    if (m.opcode == wire::GetIPReply) {
        if (!m.address || !m.mask) {
            LogLocked("dropped a GetIP answer without address or mask from " + id);
            return;
        }
        Event e;
        e.code = TVPEventGetIPReply;
        e.t[0] = id;
        e.t[1] = InterfaceTextLocked(ifindex, *m.address);
        e.t[2] = wire::FormatDottedQuad(*m.address);
        e.t[3] = wire::FormatDottedQuad(*m.mask);
        e.t[4] = m.gateway && *m.gateway ? wire::FormatDottedQuad(*m.gateway) : std::string();
        e.dhcp = m.dhcp.value_or(false) ? 1 : 0;
        RememberDeviceLocked(m.id, *m.address);
        LogLocked("GetIP " + std::to_string(m.txid) + " answered by " + id);
        pending_.erase(p);
        PushLocked(std::move(e));
        return;
    }
    if (m.status.value_or(wire::StatusOK) != wire::StatusOK || !m.address) {
        LogLocked("SetIP " + std::to_string(m.txid) + ": " + id + " refused the settings");
        pending_.erase(p);
        return;
    }
    Event e;
    e.code = TVPEventSetIPReply;
    e.t[0] = id;
    e.t[1] = wire::FormatDottedQuad(*m.address);
    // whatever was probed at the old and new addresses is stale now
    auto old = devices_.find(m.id);
    if (old != devices_.end())
        ForgetProbeLocked(old->second);
    ForgetProbeLocked(*m.address);
    RememberDeviceLocked(m.id, *m.address);
    LogLocked("SetIP " + std::to_string(m.txid) + " answered by " + id);
    pending_.erase(p);
    PushLocked(std::move(e));
}

int Library::NextTimeoutMs(Clock::time_point now)
{
    Clock::time_point next = Clock::time_point::max();
    for (const auto &[txid, p] : pending_) {
        auto at = p.sent < std::size(kResendMs) ? p.start + milliseconds(kResendMs[p.sent]) : p.start + kRequestDeadline;
        next = std::min(next, at);
    }
    for (const auto &[address, p] : probes_) {
        if (p.state != Probe::Waiting)
            continue;
        auto at = p.sent < std::size(kProbeResendMs) ? p.start + milliseconds(kProbeResendMs[p.sent])
                                                     : p.start + kProbeDeadline;
        next = std::min(next, at);
    }
    if (next == Clock::time_point::max())
        return -1;
    if (next <= now)
        return 0;
    return int(std::chrono::duration_cast<milliseconds>(next - now).count()) + 1;
}

void Library::RunTimers(Clock::time_point now)
{
    for (auto it = pending_.begin(); it != pending_.end();) {
        Pending &p = it->second;
        const char *what = p.opcode == wire::GetIP ? "GetIP " : "SetIP ";
        if (now - p.start >= kRequestDeadline) {
            LogLocked(std::string(what) + std::to_string(it->first) + " to " + IdText(p.id) + ": no answer, given up");
            it = pending_.erase(it);
            continue;
        }
        if (p.sent < std::size(kResendMs) && now >= p.start + milliseconds(kResendMs[p.sent])) {
            ++p.sent;
            auto ifaces = InterfacesLocked(false);
            SendOnAll(p.bytes, ifaces);
            LogLocked(std::string(what) + std::to_string(it->first) + " to " + IdText(p.id) + " retransmitted");
        }
        ++it;
    }
    bool settled = false;
    for (auto &[address, p] : probes_) {
        if (p.state != Probe::Waiting)
            continue;
        if (now - p.start >= kProbeDeadline) {
            LogLocked("probe " + wire::FormatDottedQuad(address) + ": no answer, not reachable");
            p.state = Probe::Silent;
            p.done = now;
            probeTx_.erase(p.txid);
            ReleaseHeldLocked(address);
            settled = true;
            continue;
        }
        if (p.sent < std::size(kProbeResendMs) && now >= p.start + milliseconds(kProbeResendMs[p.sent])) {
            ++p.sent;
            wire::Message m;
            m.opcode = wire::Probe;
            m.txid = p.txid;
            SendTo(wire::Encode(m, wire::kMinRequest), address, 0, 0);
        }
    }
    if (settled)
        probeCv_.notify_all();
    // forget old results so the table stays small
    if (probes_.size() > 65536)
        std::erase_if(probes_, [&](const auto &e) { return e.second.state != Probe::Waiting && now - e.second.done > kProbeFresh; });
}

// The ABI has no handle, so the one library instance is process-wide.
std::mutex g_mutex;
std::shared_ptr<Library> g_library;
bool g_failed = false;

std::shared_ptr<Library> Get()
{
    std::lock_guard lock(g_mutex);
    if (!g_library && !g_failed) {
        auto lib = std::make_shared<Library>();
        if (lib->Start())
            g_library = lib;
        else
            g_failed = true; // a failed start is not retried until TVPCleanup
    }
    return g_library;
}

} // namespace

namespace internal {

void DeliverNow(uint32_t code, const void *record)
{
    if (auto lib = Get())
        if (TVPCallback cb = lib->Callback())
            cb(code, record);
}

void Log(const std::string &line)
{
    if (auto lib = Get())
        lib->Log(line);
}

bool DebugEnabled()
{
    auto lib = Get();
    return lib && lib->Debug();
}

uint16_t TftpPort()
{
    auto lib = Get();
    return lib ? lib->TftpPort() : 69;
}

bool ParseDottedQuad(const char *text, uint32_t *address)
{
    return wire::ParseDottedQuad(text, address);
}

} // namespace internal
} // namespace tvp

using tvp::Get;

extern "C" {

void TVPSetApplicationCallback(TVPCallback callback, int debug)
{
    if (auto lib = Get())
        lib->SetCallback(callback, debug != 0);
}

int TVPEventHandle(void)
{
    auto lib = Get();
    return lib ? lib->EventHandle() : -1;
}

int TVPProcessEvents(void)
{
    auto lib = Get();
    return lib ? lib->ProcessEvents() : 0;
}

int TVPDiscover(void)
{
    auto lib = Get();
    return lib ? lib->Discover() : -1;
}

int TVPDiscoverAddress(const char *address)
{
    auto lib = Get();
    return lib ? lib->DiscoverAddress(address) : -1;
}

int TVPGetInterfaces(char *names, size_t size)
{
    if (names && size)
        names[0] = 0;
    auto lib = Get();
    return lib ? lib->Interfaces(names, size) : -1;
}

int TVPPingDevice(const char *address)
{
    auto lib = Get();
    return lib ? lib->Ping(address) : 0;
}

int TVPMacToID(const char *idText, uint8_t *id)
{
    if (!id)
        return -1;
    tvp::wire::DeviceId out;
    bool ok = idText && tvp::wire::ParseMac(idText, &out);
    if (!ok)
        out = tvp::wire::InvalidId();
    std::memcpy(id, out.data(), out.size());
    return ok ? 0 : -1;
}

int TVPGetIP(const uint8_t *id)
{
    auto lib = Get();
    return lib ? lib->GetIP(id) : -1;
}

int TVPSetIP(const uint8_t *id, const char *address, const char *mask, const char *gateway, uint8_t useDHCP)
{
    auto lib = Get();
    return lib ? lib->SetIP(id, address, mask, gateway, useDHCP) : -1;
}

int TVPChooseIPAddress(const char *interfaceText, char *address, char *mask, char *gateway)
{
    auto lib = Get();
    if (address)
        address[0] = 0;
    if (mask)
        mask[0] = 0;
    if (gateway)
        gateway[0] = 0;
    return lib ? lib->Choose(interfaceText, address, mask, gateway) : 0;
}

void TVPCleanup(void)
{
    std::shared_ptr<tvp::Library> lib;
    {
        std::lock_guard lock(tvp::g_mutex);
        lib.swap(tvp::g_library);
        tvp::g_failed = false;
    }
    if (lib)
        lib->Stop();
}

} // extern "C"
