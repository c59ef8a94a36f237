// SPDX-License-Identifier: MIT
#include "engine.h"

#include "tvp.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

namespace tvp {

namespace {

// Interfaces are listed anew at most this often for probes.
constexpr std::chrono::milliseconds kInterfaceCache{1000};
// ARP probes are answered within milliseconds on a LAN.
constexpr int kArpWaitMs = 250;
constexpr size_t kMaxDevices = 65536;
constexpr size_t kMaxImpossibleLogged = 1024;

std::string Quad(uint32_t a)
{
    return wire::FormatDottedQuad(a);
}

std::string TextOf(const net::Interface *i)
{
    return i ? i->Text() : std::string();
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

std::string RequestName(uint8_t opcode)
{
    return opcode == wire::GetIP ? "GetIP " : "SetIP ";
}

std::string SettingsText(const wire::Message &m)
{
    const uint32_t g = m.gateway.value_or(0);
    const std::string address = m.dhcp.value_or(false) ? std::string("DHCP")
                                                       : Quad(m.address.value_or(0)) + "/" +
                                                             std::to_string(wire::PrefixLength(m.mask.value_or(0)));
    return address + (g ? " gateway " + Quad(g) : std::string());
}

} // namespace

Engine::Engine(Config config)
    : config_(std::move(config)),
      notes_(config_.notes),
      moves_([this](const std::string &line) { LogLocked(line); })
{}

Engine::~Engine()
{
    Stop();
}

bool Engine::Start()
{
    if (!events_.Open() || !wake_.Open() || !socket_.Open())
        return false;
    thread_ = std::thread([this] { Run(); });
    return true;
}

void Engine::Stop()
{
    if (thread_.joinable()) {
        {
            std::lock_guard lock(mu_);
            stop_ = true;
        }
        wake_.Set();
        thread_.join();
    }
    socket_.Close();
    events_.Clear();
    std::lock_guard lock(mu_);
    stop_ = true;
    settled_.notify_all();
}

void Engine::SetCallback(EventQueue::Callback callback, bool debug)
{
    events_.SetCallback(std::move(callback), debug);
    std::lock_guard lock(mu_);
    if (!notes_.empty()) {
        LogLocked(notes_);
        notes_.clear();
    }
}

Engine::Traffic Engine::TrafficSoFar()
{
    std::lock_guard lock(mu_);
    return {answerBytes_, probes_.BackgroundBytesSent()};
}

const std::vector<net::Interface> &Engine::InterfacesLocked(bool fresh)
{
    auto now = Clock::now();
    if (!fresh && ifacesAt_ != Clock::time_point{} && now - ifacesAt_ < kInterfaceCache)
        return ifaces_;
    ifaces_ = net::ListInterfaces(config_.interfaces, &skipped_);
    ifacesAt_ = now;
    std::string summary, left;
    for (const auto &i : ifaces_)
        summary += (summary.empty() ? "" : ", ") + i.Text() + "/" + std::to_string(wire::PrefixLength(i.mask));
    for (const auto &k : skipped_)
        if (k.code != net::SkipReason::NotNamed) // the user's own choice: not worth a line each
            left += (left.empty() ? "" : ", ") + k.Text();
    if (summary + left != ifacesSummary_ || ifaces_.empty()) {
        ifacesSummary_ = summary + left;
        if (ifaces_.empty())
            LogLocked(std::string("no usable interface") + (config_.interfaces.empty() ? "" : " among TVP_INTERFACES") +
                      (left.empty() ? "" : ": " + left));
        else
            LogLocked("interfaces: " + summary + (left.empty() ? "" : "; not used: " + left));
    }
    return ifaces_;
}

const net::Interface *Engine::OnLinkLocked(uint32_t address) const
{
    for (const auto &i : ifaces_)
        if (wire::IsMask(i.mask) && i.Contains(address))
            return &i;
    return nullptr;
}

const net::Interface *Engine::ArrivalLocked(unsigned ifindex, uint32_t deviceAddress) const
{
    const net::Interface *first = nullptr;
    for (const auto &i : ifaces_) {
        if (i.index != ifindex)
            continue;
        if (i.Contains(deviceAddress))
            return &i;
        if (!first)
            first = &i;
    }
    return first;
}

const net::Interface *Engine::RouteInterfaceLocked(std::optional<uint32_t> source) const
{
    for (const auto &i : ifaces_)
        if (source && i.address == *source)
            return &i;
    return nullptr;
}

void Engine::HeardLocked(const wire::DeviceId &id, unsigned ifindex, Clock::time_point now)
{
    if (heard_.size() >= kMaxDevices && !heard_.count(id))
        heard_.clear(); // a flood of invented IDs: start afresh rather than grow
    auto &on = heard_[id];
    std::erase_if(on, [&](const HeardOn &h) { return now - h.last >= DiscoveryWindow::kAnswerWindow; });
    for (auto &h : on)
        if (h.ifindex == ifindex) {
            h.last = now;
            return;
        }
    on.push_back({ifindex, now});
}

// Two of the PC's cards on one switch both hear every answer: a device is
// listed with the one whose subnet holds it, however the answers raced.
const net::Interface *Engine::ListedInterfaceLocked(const wire::DeviceId &id, uint32_t address, Clock::time_point now)
{
    std::vector<const net::Interface *> on;
    auto add = [&](unsigned ifindex) {
        const net::Interface *i = ArrivalLocked(ifindex, address);
        if (i && std::find(on.begin(), on.end(), i) == on.end())
            on.push_back(i);
    };
    if (auto h = heard_.find(id); h != heard_.end())
        for (const auto &heard : h->second)
            if (now - heard.last < DiscoveryWindow::kAnswerWindow)
                add(heard.ifindex);
    // the answer to a probe of its address is an answer too
    if (auto r = probes_.Lookup(address, now); r && r->state == ProbeTable::State::Answered && r->answeredOn)
        add(r->answeredOn);
    return ListedInterface(on, address);
}

// A GetIP answer heard so far only on a card whose subnet does not hold
// the device, while another card's does: whether that card reaches it,
// the probe of its address tells. One probe per request, held like a
// discovery answer.
bool Engine::HoldForCardLocked(uint32_t address, const net::Interface *listed, Event &e, Clock::time_point now)
{
    const net::Interface *link = OnLinkLocked(address);
    if ((listed && listed->Contains(address)) || !link || !PlausibleDeviceAddress(address, link))
        return false;
    if (probes_.Start(address, NewTxidLocked(), now, false))
        wake_.Set();
    const auto r = probes_.Lookup(address, now);
    return r && r->state == ProbeTable::State::Waiting && probes_.Hold(address, std::move(e));
}

// Every host on each link hears a limited broadcast, whatever its own
// subnet, so a device configured for another site still gets the request.
size_t Engine::BroadcastLocked(const std::vector<uint8_t> &bytes, const std::string &what, bool discover)
{
    size_t sent = 0;
    std::vector<unsigned> done;
    for (const auto &i : InterfacesLocked(false)) {
        if (std::find(done.begin(), done.end(), i.index) != done.end())
            continue; // one copy per link, whatever its addresses
        done.push_back(i.index);
        if (socket_.SendTo(bytes, wire::kLimitedBroadcast, config_.port, i.index, i.address)) {
            ++sent;
            counters_.Sent(i.index, bytes.size(), discover);
            if (!what.empty())
                LogLocked(what + " sent on " + i.Text() + " to 255.255.255.255:" + std::to_string(config_.port));
        } else {
            const std::string why = std::strerror(errno);
            counters_.SendFailed(i.index, why);
            LogLocked((what.empty() ? std::string("request") : what) + " not sent on " + i.Text() + ": " + why);
        }
    }
    return sent;
}

uint32_t Engine::NewTxidLocked()
{
    uint32_t t;
    do
        t = random_();
    while (t == 0 || requests_.Has(t) || probes_.KnowsTxid(t) || discovery_.Knows(t));
    return t;
}

int Engine::Discover()
{
    std::lock_guard lock(mu_);
    if (InterfacesLocked(true).empty())
        return -1;
    wire::Message m;
    m.opcode = wire::Discover;
    m.txid = NewTxidLocked();
    discovery_.Sent(m.txid, Clock::now());
    return BroadcastLocked(wire::Encode(m, wire::kMinRequest), "discovery " + std::to_string(m.txid), true) ? 0 : -1;
}

int Engine::DiscoverAddress(const char *text)
{
    uint32_t address = 0;
    if (!wire::ParseDottedQuad(text, &address) || !PlausibleDeviceAddress(address, nullptr))
        return TVPNotSentInvalid;
    const auto source = os::RouteSource(address);
    std::lock_guard lock(mu_);
    InterfacesLocked(false);
    const net::Interface *route = RouteInterfaceLocked(source);
    if (!route) {
        LogLocked("discovery to " + Quad(address) + " not sent: its route leaves by no interface in use");
        return TVPNotSentNoRoute;
    }
    wire::Message m;
    m.opcode = wire::Discover;
    m.txid = NewTxidLocked();
    discovery_.Sent(m.txid, Clock::now(), address);
    const auto bytes = wire::Encode(m, wire::kMinRequest);
    if (!socket_.SendTo(bytes, address, config_.port)) {
        const std::string why = std::strerror(errno);
        counters_.SendFailed(route->index, why);
        LogLocked("discovery to " + Quad(address) + " not sent: " + why);
        return TVPNotSentFailed;
    }
    counters_.Sent(route->index, bytes.size(), true);
    return 0;
}

int Engine::Diagnostics(TVPInterfaceReport *reports, size_t capacity, bool clear)
{
    std::lock_guard lock(mu_);
    const auto all = Reports(InterfacesLocked(true), skipped_, counters_);
    if (reports)
        std::copy_n(all.begin(), std::min(capacity, all.size()), reports);
    if (clear)
        counters_.Clear();
    return int(all.size());
}

int Engine::Interfaces(char *names, size_t size)
{
    std::lock_guard lock(mu_);
    std::string text;
    std::vector<std::string> seen;
    for (const auto &i : InterfacesLocked(false)) {
        if (std::find(seen.begin(), seen.end(), i.name) != seen.end())
            continue;
        seen.push_back(i.name);
        text += (text.empty() ? "" : ",") + i.name;
    }
    if (names && size)
        std::snprintf(names, size, "%s", text.c_str());
    return int(text.size());
}

std::optional<wire::DeviceId> Engine::RequestedDeviceLocked(const uint8_t *id, const char *what)
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

int Engine::SendRequestLocked(wire::Message &m, const std::string &details)
{
    if (InterfacesLocked(true).empty())
        return -1;
    m.txid = NewTxidLocked();
    Request r{m.opcode, m.id, wire::Encode(m, wire::kMinRequest), Clock::now(), 1};
    if (!BroadcastLocked(r.bytes, ""))
        return -1;
    LogLocked(RequestName(m.opcode) + std::to_string(m.txid) + " sent to " + wire::FormatMac(m.id) + details);
    requests_.Add(m.txid, std::move(r));
    wake_.Set();
    return 0;
}

int Engine::UnicastRouteLocked(uint32_t address, std::optional<uint32_t> source, const std::string &what)
{
    InterfacesLocked(false);
    if (const net::Interface *link = OnLinkLocked(address); link && !PlausibleDeviceAddress(address, link))
        return TVPNotSentInvalid;
    if (!RouteInterfaceLocked(source)) {
        LogLocked(what + " " + Quad(address) + " not sent: its route leaves by no interface in use");
        return TVPNotSentNoRoute;
    }
    return 0;
}

// Unicast requests cross routers like any traffic of the user's: answered
// from the address asked, or, for a SetIP's resends, from the one given.
int Engine::SendUnicastRequestLocked(wire::Message &m, uint32_t to, uint32_t alsoTo, const std::string &details)
{
    m.txid = NewTxidLocked();
    Request r{m.opcode, m.id, wire::Encode(m, wire::kMinRequest), Clock::now(), 1, to, alsoTo};
    const std::string what =
        RequestName(m.opcode) + std::to_string(m.txid) + " to " + wire::FormatMac(m.id) + " at " + Quad(to);
    if (!socket_.SendTo(r.bytes, to, config_.port)) {
        LogLocked(what + " not sent: " + std::strerror(errno));
        return TVPNotSentFailed;
    }
    LogLocked(what + " sent" + details);
    requests_.Add(m.txid, std::move(r));
    wake_.Set();
    return 0;
}

void Engine::TransmitLocked(const Request &r)
{
    if (!r.to) {
        BroadcastLocked(r.bytes, "");
        return;
    }
    for (uint32_t to : {r.to, r.alsoTo})
        if (to && !socket_.SendTo(r.bytes, to, config_.port))
            LogLocked(RequestName(r.opcode) + "to " + Quad(to) + " not resent: " + std::strerror(errno));
}

int Engine::GetIP(const uint8_t *id)
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

int Engine::GetIPAt(const uint8_t *id, const char *deviceAddress)
{
    uint32_t at = 0;
    if (!wire::ParseDottedQuad(deviceAddress, &at) || !PlausibleDeviceAddress(at, nullptr))
        return TVPNotSentInvalid;
    const auto source = os::RouteSource(at);
    std::lock_guard lock(mu_);
    const auto device = RequestedDeviceLocked(id, "GetIP");
    if (!device)
        return TVPNotSentInvalid;
    if (const int refused = UnicastRouteLocked(at, source, "GetIP to"))
        return refused;
    wire::Message m;
    m.opcode = wire::GetIP;
    m.id = *device;
    return SendUnicastRequestLocked(m, at, 0, "");
}

std::optional<wire::Message> Engine::SetIPMessageLocked(const wire::DeviceId &device, const char *address,
                                                        const char *mask, const char *gateway, uint8_t dhcp)
{
    uint32_t a = 0, m = 0, g = 0;
    auto refuse = [&](const std::string &why) {
        LogLocked("SetIP to " + wire::FormatMac(device) + " refused: " + why);
        return std::nullopt;
    };
    // with DHCP the static fields are not used: blank ones are fine then
    if (!(dhcp && IsBlankAddress(address)) && !wire::ParseDottedQuad(address, &a))
        return refuse(std::string("address \"") + (address ? address : "") + "\" is not a dotted quad");
    if (!(dhcp && IsBlankAddress(mask)) && !wire::ParseDottedQuad(mask, &m))
        return refuse(std::string("mask \"") + (mask ? mask : "") + "\" is not a dotted quad");
    if (!IsBlankAddress(gateway) && !wire::ParseDottedQuad(gateway, &g))
        return refuse(std::string("gateway \"") + gateway + "\" is not a dotted quad");
    if (!dhcp) {
        if (!wire::IsMask(m))
            return refuse("mask " + Quad(m) + " is not a subnet mask");
        if (!wire::IsHostAddress(a, m))
            return refuse(Quad(a) + " is not a host address in its subnet");
    }
    wire::Message msg;
    msg.opcode = wire::SetIP;
    msg.id = device;
    msg.address = a;
    msg.mask = m;
    msg.gateway = g;
    msg.dhcp = dhcp != 0;
    return msg;
}

int Engine::SetIP(const uint8_t *id, const char *address, const char *mask, const char *gateway, uint8_t dhcp)
{
    std::lock_guard lock(mu_);
    const auto device = RequestedDeviceLocked(id, "SetIP");
    if (!device)
        return -1;
    auto m = SetIPMessageLocked(*device, address, mask, gateway, dhcp);
    return m ? SendRequestLocked(*m, ": " + SettingsText(*m)) : -1;
}

int Engine::SetIPAt(const uint8_t *id, const char *deviceAddress, const char *address, const char *mask,
                    const char *gateway, uint8_t dhcp)
{
    uint32_t at = 0, moveTo = 0;
    if (!wire::ParseDottedQuad(deviceAddress, &at) || !PlausibleDeviceAddress(at, nullptr))
        return TVPNotSentInvalid;
    const auto source = os::RouteSource(at);
    // where the device will listen once it has taken the settings
    const bool moves = !dhcp && wire::ParseDottedQuad(address, &moveTo) && moveTo != at;
    const auto newSource = moves ? os::RouteSource(moveTo) : std::nullopt;
    std::lock_guard lock(mu_);
    const auto device = RequestedDeviceLocked(id, "SetIP");
    if (!device)
        return TVPNotSentInvalid;
    auto m = SetIPMessageLocked(*device, address, mask, gateway, dhcp);
    if (!m)
        return TVPNotSentInvalid;
    if (const int refused = UnicastRouteLocked(at, source, "SetIP to"))
        return refused;
    // resends stay with the old address when the new one is routed out of
    // no interface in use, or is a broadcast address on a link in use
    const net::Interface *link = moves ? OnLinkLocked(moveTo) : nullptr;
    if (!moves || !RouteInterfaceLocked(newSource) || (link && !PlausibleDeviceAddress(moveTo, link)))
        moveTo = 0;
    return SendUnicastRequestLocked(*m, at, moveTo, ": " + SettingsText(*m));
}

bool Engine::WaitForProbesLocked(std::unique_lock<std::mutex> &lock, const std::vector<uint32_t> &addresses)
{
    // the network thread settles every probe by its deadline, pacing
    // included; the bound is a backstop
    const auto backstop = Clock::now() + 2 * ProbeTable::kDeadline + std::chrono::milliseconds(500);
    return settled_.wait_until(lock, backstop, [&] {
        if (stop_)
            return true;
        const auto now = Clock::now();
        for (uint32_t a : addresses) {
            auto r = probes_.Lookup(a, now);
            if (r && r->state == ProbeTable::State::Waiting)
                return false;
        }
        return true;
    });
}

int Engine::Ping(const char *text)
{
    uint32_t address = 0;
    if (!wire::ParseDottedQuad(text, &address))
        return 0;
    std::unique_lock lock(mu_);
    InterfacesLocked(false);
    const net::Interface *link = OnLinkLocked(address);
    if (!link) {
        LogLocked("probe " + Quad(address) + ": off-link, not reachable without re-addressing");
        return 0;
    }
    if (!PlausibleDeviceAddress(address, link))
        return 0;
    return ProbeLocked(lock, address);
}

// An address the user names goes where the routing table sends it, like
// any traffic of theirs; only what reacts to broadcast answers stays on
// the link.
int Engine::PingAddress(const char *text)
{
    uint32_t address = 0;
    if (!wire::ParseDottedQuad(text, &address) || !PlausibleDeviceAddress(address, nullptr))
        return TVPNotSentInvalid;
    const auto source = os::RouteSource(address);
    std::unique_lock lock(mu_);
    if (const int refused = UnicastRouteLocked(address, source, "probe"))
        return refused;
    return ProbeLocked(lock, address);
}

int Engine::ProbeLocked(std::unique_lock<std::mutex> &lock, uint32_t address)
{
    const auto now = Clock::now();
    if (!probes_.Lookup(address, now)) {
        probes_.Start(address, NewTxidLocked(), now, false);
        wake_.Set();
    }
    WaitForProbesLocked(lock, {address});
    auto r = probes_.Lookup(address, Clock::now());
    return r && r->state == ProbeTable::State::Answered ? 1 : 0;
}

std::optional<net::Interface> Engine::ChoiceInterfaceLocked(const char *interfaceText)
{
    std::string name;
    std::optional<uint32_t> wanted;
    if (!net::ParseInterfaceText(interfaceText, &name, &wanted)) {
        LogLocked(std::string("choose: \"") + interfaceText + "\" names no interface");
        return std::nullopt;
    }
    for (const auto &i : InterfacesLocked(true))
        if (i.name == name && (!wanted || i.address == *wanted))
            return i;
    LogLocked(std::string("choose: no selected interface \"") + interfaceText + "\"");
    return std::nullopt;
}

std::vector<AddressChooser::Findings> Engine::FindingsLocked(std::unique_lock<std::mutex> &lock,
                                                             const net::Interface &iface,
                                                             const std::vector<uint32_t> &candidates)
{
    auto now = Clock::now();
    for (uint32_t c : candidates)
        if (!probes_.Lookup(c, now))
            probes_.Start(c, NewTxidLocked(), now, false);
    wake_.Set();
    lock.unlock();
    // while the device probes run: who answers ARP for them
    const auto arp = iface.loopback ? std::nullopt : os::ArpProbe(iface.index, candidates, kArpWaitMs);
    lock.lock();
    WaitForProbesLocked(lock, candidates);
    lock.unlock();
    const auto neighbours = os::ResolvedNeighbours(iface.index);
    lock.lock();
    now = Clock::now();
    std::vector<AddressChooser::Findings> found;
    for (uint32_t c : candidates) {
        const auto probe = probes_.Lookup(c, now);
        found.push_back({probe && probe->state == ProbeTable::State::Answered, probe && probe->hostAnswered,
                         neighbours.count(c) != 0, arp && arp->count(c)});
    }
    return found;
}

std::optional<uint32_t> Engine::CheckCandidatesLocked(std::unique_lock<std::mutex> &lock, const net::Interface &iface,
                                                      const std::vector<uint32_t> &candidates)
{
    const auto verdict = AddressChooser::Decide(candidates, FindingsLocked(lock, iface, candidates));
    for (const auto &[address, why] : verdict.taken)
        LogLocked("choose: " + Quad(address) + " is taken, " + why);
    return verdict.choice;
}

static_assert(int(AddressChooser::Use::Free) == TVPAddressFree &&
                  int(AddressChooser::Use::Device) == TVPAddressDevice &&
                  int(AddressChooser::Use::Host) == TVPAddressHost &&
                  int(AddressChooser::Use::Neighbour) == TVPAddressNeighbour &&
                  int(AddressChooser::Use::Arp) == TVPAddressArp,
              "the check's findings are the C interface's values");

int Engine::AddressesInUse(const char *interfaceText, const char *const *addresses, size_t count, int32_t *uses)
{
    if (!interfaceText || !addresses || !uses || count > TVP_MAX_CHECKED_ADDRESSES)
        return -1;
    std::unique_lock lock(mu_);
    const auto iface = ChoiceInterfaceLocked(interfaceText);
    if (!iface)
        return -1;
    // only the subnet's host addresses are asked about; the PC's own is known
    std::vector<uint32_t> asked;
    for (size_t i = 0; i < count; ++i) {
        uint32_t a = 0;
        const bool onLink = addresses[i] && wire::ParseDottedQuad(addresses[i], &a) && iface->Contains(a) &&
                            wire::IsHostAddress(a, iface->mask);
        uses[i] = !onLink ? TVPAddressNotOnLink : a == iface->address ? TVPAddressOwn : TVPAddressFree;
        if (uses[i] == TVPAddressFree)
            asked.push_back(a);
    }
    const auto found = asked.empty() ? std::vector<AddressChooser::Findings>{} : FindingsLocked(lock, *iface, asked);
    size_t next = 0;
    for (size_t i = 0; i < count; ++i) {
        if (uses[i] != TVPAddressFree)
            continue;
        const auto use = AddressChooser::Classify(found[next]);
        uses[i] = int32_t(use);
        if (const char *why = AddressChooser::UseText(use))
            LogLocked("check: " + Quad(asked[next]) + " is in use, " + why);
        ++next;
    }
    return 0;
}

int Engine::Choose(const char *interfaceText, char *address, char *mask, char *gateway)
{
    if (!interfaceText || !address || !mask || !gateway)
        return 0;
    std::unique_lock lock(mu_);
    const auto iface = ChoiceInterfaceLocked(interfaceText);
    if (!iface)
        return 0;
    std::vector<uint32_t> known;
    for (const auto &[id, a] : devices_)
        known.push_back(a);
    const net::ChooseRequest r = chooser_.Request(*iface, net::InterfaceGateway(*iface), known, Clock::now());
    std::optional<uint32_t> result;
    for (size_t batch = 0; !result; ++batch) {
        const auto candidates = AddressChooser::Batch(r, batch);
        if (candidates.empty())
            break;
        result = CheckCandidatesLocked(lock, *iface, candidates);
    }
    if (!result) {
        LogLocked("choose: no free address on " + iface->Text());
        return 0;
    }
    chooser_.Reserve(*result, Clock::now());
    // its silence was the reason to choose it; a device will answer there soon
    probes_.Forget(*result);
    auto put = [](char *out, const std::string &text) {
        std::snprintf(out, TVP_ADDRESS_TEXT_SIZE, "%s", text.c_str());
    };
    put(address, Quad(*result));
    put(mask, Quad(r.mask));
    put(gateway, r.gateway ? Quad(*r.gateway) : std::string());
    LogLocked("choose: " + std::string(address) + " mask " + mask + " gateway " +
              (r.gateway ? std::string(gateway) : std::string("none")) + " on " + iface->Text());
    return 1;
}

void Engine::Run()
{
    for (;;) {
        int timeout;
        {
            std::lock_guard lock(mu_);
            if (stop_)
                return;
            timeout = NextTimeoutMsLocked(Clock::now());
        }
        const int ready = os::Wait(socket_, wake_, timeout);
        if (ready & os::kFailed)
            return;
        if (ready & os::kError)
            ReceiveErrors();
        if (ready & os::kReadable)
            Receive();
        std::lock_guard lock(mu_);
        RunTimersLocked(Clock::now());
    }
}

void Engine::ReceiveErrors()
{
    // Taking an error off the queue makes the kernel report the next one as
    // the error of whatever the socket sends next; drained under the lock
    // every send holds, the queue is empty again before a send can meet it.
    std::lock_guard lock(mu_);
    for (int round = 0; round < 1024; ++round) {
        const auto e = socket_.ReceiveError();
        if (!e)
            return;
        // port unreachable from the probed address itself: a host is there
        if (e->portUnreachable && e->offender == e->destination)
            probes_.HostAnswered(e->destination);
    }
}

void Engine::Receive()
{
    // bounded per round so timers still run under a flood
    for (int round = 0; round < 4096; ++round) {
        uint8_t buffer[wire::kMaxMessage + 1];
        const auto d = socket_.Receive(buffer, sizeof buffer);
        if (!d)
            return;
        std::lock_guard lock(mu_);
        if (d->truncated || d->size > wire::kMaxMessage) {
            counters_.Dropped(d->ifindex, Drop::Malformed);
            LogLocked("dropped an oversized datagram from " + Quad(d->from));
            continue;
        }
        Handle(buffer, d->size, *d);
    }
}

void Engine::Handle(const uint8_t *data, size_t size, const net::Datagram &d)
{
    wire::Message m;
    if (!wire::Decode(data, size, &m)) {
        counters_.Dropped(d.ifindex, Drop::Malformed);
        LogLocked("dropped a malformed message (" + std::to_string(size) + " bytes) from " + Quad(d.from));
        return;
    }
    if (!(m.opcode & wire::ReplyFlag))
        return; // another host's request
    if (m.opcode == wire::ProbeReply) {
        const auto address = probes_.Answered(m.txid, d.from, Clock::now(), d.ifindex);
        if (!address) {
            LogLocked("dropped a late, unsolicited or misdirected probe answer from " + Quad(d.from));
            return;
        }
        SettledLocked(*address, *probes_.Lookup(*address, Clock::now()));
        return;
    }
    if (!wire::IsDeviceId(m.id)) {
        counters_.Dropped(d.ifindex, Drop::Malformed);
        LogLocked("dropped an answer from " + Quad(d.from) + ": its ID is not a MAC address");
        return;
    }
    // answers arrive on the interface of the device's link
    bool selected = false;
    for (const auto &i : ifaces_)
        selected = selected || i.index == d.ifindex;
    if (!selected) {
        counters_.Dropped(d.ifindex, Drop::NotInUse);
        LogLocked("dropped an answer from " + Quad(d.from) + " that arrived on an interface not in use");
        return;
    }
    if (m.opcode == wire::DiscoverReply)
        HandleDiscoverReply(m, size, d);
    else if (m.opcode == wire::GetIPReply || m.opcode == wire::SetIPReply)
        HandleRequestReply(m, d);
    else {
        counters_.Dropped(d.ifindex, Drop::Malformed);
        LogLocked("dropped an answer with unknown opcode " + std::to_string(m.opcode) + " from " + Quad(d.from));
    }
}

void Engine::HandleDiscoverReply(const wire::Message &m, size_t size, const net::Datagram &d)
{
    const std::string id = wire::FormatMac(m.id);
    const auto now = Clock::now();
    if (!discovery_.Accepts(m.txid, d.from, now)) {
        counters_.Dropped(d.ifindex, Drop::Late);
        LogLocked("dropped an unsolicited discovery answer (or a late one) from " + id);
        return;
    }
    if (!m.address) {
        counters_.Dropped(d.ifindex, Drop::Malformed);
        LogLocked("dropped a discovery answer without address from " + id);
        return;
    }
    const uint32_t address = *m.address;
    const net::Interface *arrival = ArrivalLocked(d.ifindex, address);
    if (!PlausibleDeviceAddress(address, arrival)) {
        counters_.Dropped(d.ifindex, Drop::Impossible);
        if (impossibleLogged_.size() < kMaxImpossibleLogged && impossibleLogged_.insert(address).second)
            LogLocked("dropped discovery answers claiming " + Quad(address) + ", which no device can hold");
        return;
    }
    answerBytes_ += size;
    counters_.Answered(d.ifindex, m.id);
    probes_.Credit(size);
    HeardLocked(m.id, d.ifindex, now);
    Event e;
    e.code = TVPEventDeviceFound;
    e.t[0] = id;
    const net::Interface *listed = ListedInterfaceLocked(m.id, address, now);
    e.t[1] = TextOf(listed ? listed : arrival);
    e.t[2] = Quad(address);
    e.t[3] = m.name.value_or("");
    e.t[4] = m.type.value_or("");
    RememberDeviceLocked(m.id, address);
    // The host probes every device it lists as soon as it hears of it:
    // deliver the answer once the probe has settled, so that probe is
    // answered at once instead of blocking the host for a deadline. Only
    // on the link, unless the answer came from the very address the user
    // sent a Discover to: that one is probed where the routes lead.
    const net::Interface *link = OnLinkLocked(address);
    const bool named = !link && discovery_.Unicast(m.txid) && d.from == address;
    if ((link && PlausibleDeviceAddress(address, link)) || named) {
        if (probes_.Start(address, NewTxidLocked(), now, true))
            wake_.Set();
        const auto r = probes_.Lookup(address, now);
        if (r && r->state == ProbeTable::State::Waiting && probes_.Hold(address, e))
            return;
    }
    events_.Push(std::move(e));
}

void Engine::HandleRequestReply(const wire::Message &m, const net::Datagram &d)
{
    const std::string id = wire::FormatMac(m.id);
    const bool get = m.opcode == wire::GetIPReply;
    auto request = requests_.Complete(m.txid, uint8_t(m.opcode & ~wire::ReplyFlag), m.id, d.from);
    if (!request) {
        const Request *open = requests_.Find(m.txid);
        counters_.Dropped(d.ifindex, requests_.WasAnswered(m.txid) ? Drop::Duplicate : Drop::Late);
        LogLocked(std::string("dropped a late, duplicate or unsolicited ") + (get ? "GetIP" : "SetIP") + " answer " +
                  std::to_string(m.txid) + " from " + id + " at " + Quad(d.from) +
                  (open && open->id == m.id && !open->AnswerFrom(d.from) ? ": its request went to " + Quad(open->to)
                                                                         : std::string()));
        return;
    }
    if (get) {
        if (!m.address || !m.mask) {
            counters_.Dropped(d.ifindex, Drop::Malformed);
            LogLocked("dropped a GetIP answer without address or mask from " + id);
            requests_.Add(m.txid, std::move(*request)); // the real answer may still come
            return;
        }
        const auto now = Clock::now();
        counters_.Answered(d.ifindex, m.id);
        HeardLocked(m.id, d.ifindex, now);
        Event e;
        e.code = TVPEventGetIPReply;
        e.t[0] = id;
        const net::Interface *listed = ListedInterfaceLocked(m.id, *m.address, now);
        e.t[1] = TextOf(listed ? listed : ArrivalLocked(d.ifindex, *m.address));
        e.t[2] = Quad(*m.address);
        e.t[3] = Quad(*m.mask);
        e.t[4] = m.gateway && *m.gateway ? Quad(*m.gateway) : std::string();
        e.dhcp = m.dhcp.value_or(false) ? 1 : 0;
        RememberDeviceLocked(m.id, *m.address);
        LogLocked("GetIP " + std::to_string(m.txid) + " answered by " + id);
        if (!HoldForCardLocked(*m.address, listed, e, now))
            events_.Push(std::move(e));
        return;
    }
    counters_.Answered(d.ifindex, m.id); // a refusal is an answer too
    if (m.status.value_or(wire::StatusOK) != wire::StatusOK || !m.address) {
        LogLocked("SetIP " + std::to_string(m.txid) + ": " + id + " refused the settings");
        return;
    }
    Event e;
    e.code = TVPEventSetIPReply;
    e.t[0] = id;
    e.t[1] = Quad(*m.address);
    HeardLocked(m.id, d.ifindex, Clock::now());
    // whatever was probed or resolved at the old and new addresses is
    // stale now; a unicast SetIP went to the address the device held
    const auto old = devices_.find(m.id);
    const uint32_t from = request->to ? request->to : old != devices_.end() ? old->second : 0;
    if (from)
        probes_.Forget(from);
    probes_.Forget(*m.address);
    if (from != *m.address) {
        // the ID is the MAC of the device's card
        const std::string card(m.id.begin(), m.id.begin() + 6);
        moves_.Moved(card, from, from ? LinksHoldingLocked(from) : std::vector<MovedAddresses::Link>{}, *m.address,
                     LinksHoldingLocked(*m.address), Clock::now());
    }
    RememberDeviceLocked(m.id, *m.address);
    LogLocked("SetIP " + std::to_string(m.txid) + " answered by " + id);
    events_.Push(std::move(e));
}

// The interfaces whose subnets hold an address, each once.
std::vector<MovedAddresses::Link> Engine::LinksHoldingLocked(uint32_t address) const
{
    std::vector<MovedAddresses::Link> links;
    for (const auto &i : ifaces_)
        if (!i.loopback && i.Contains(address) &&
            std::none_of(links.begin(), links.end(), [&](const auto &l) { return l.ifindex == i.index; }))
            links.push_back({i.index, i.name});
    return links;
}

void Engine::RememberDeviceLocked(const wire::DeviceId &id, uint32_t address)
{
    // a flood of invented IDs must not grow the table without bound
    if (devices_.size() >= kMaxDevices && !devices_.count(id))
        return;
    devices_[id] = address;
}

void Engine::SettledLocked(uint32_t address, const ProbeTable::Result &result)
{
    const auto now = Clock::now();
    if (result.state == ProbeTable::State::Answered)
        moves_.Answered(address, now);
    const bool trusted = result.state != ProbeTable::State::Silent || moves_.SilenceTrusted(address, now);
    LogLocked("probe " + Quad(address) + ": " +
              (result.state == ProbeTable::State::Answered ? "answered"
               : trusted                                   ? "no answer, not reachable"
                         : "no answer, not trusted: its neighbour entry still names the card that held it before"));
    for (Event &e : probes_.Release(address)) {
        // the probe's answer told which card reaches the device
        wire::DeviceId id;
        if ((e.code == TVPEventDeviceFound || e.code == TVPEventGetIPReply) && wire::ParseMac(e.t[0], &id))
            if (const net::Interface *listed = ListedInterfaceLocked(id, address, now))
                e.t[1] = listed->Text();
        events_.Push(std::move(e));
    }
    if (!trusted)
        probes_.Forget(address); // the next probe asks again
    settled_.notify_all();
}

int Engine::NextTimeoutMsLocked(Clock::time_point now)
{
    std::optional<Clock::time_point> next = requests_.NextDue();
    if (auto p = probes_.NextDue(now))
        next = next ? std::min(*next, *p) : *p;
    if (!next)
        return -1;
    if (*next <= now)
        return 0;
    return int(std::chrono::duration_cast<std::chrono::milliseconds>(*next - now).count()) + 1;
}

void Engine::RunTimersLocked(Clock::time_point now)
{
    requests_.Tick(
        now,
        [&](uint32_t txid, const Request &r) {
            TransmitLocked(r);
            LogLocked(RequestName(r.opcode) + std::to_string(txid) + " to " + wire::FormatMac(r.id) + " retransmitted");
        },
        [&](uint32_t txid, const Request &r) {
            LogLocked(RequestName(r.opcode) + std::to_string(txid) + " to " + wire::FormatMac(r.id) +
                      ": no answer, given up");
        });
    probes_.Tick(
        now,
        [&](uint32_t address, uint32_t txid) {
            moves_.Scrub(address, now);
            wire::Message m;
            m.opcode = wire::Probe;
            m.txid = txid;
            return socket_.SendTo(wire::Encode(m), address, config_.port);
        },
        [&](uint32_t address, const ProbeTable::Result &result) { SettledLocked(address, result); });
}

} // namespace tvp
