// SPDX-License-Identifier: MIT
// The Linux side of the diagnosis's readings: sysfs and /proc, the
// firewall as nft or iptables-save print it, and a packet capture.
#include "readings.h"

#include <algorithm>
#include <arpa/inet.h>
#include <dirent.h>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <ifaddrs.h>
#include <linux/if_ether.h>
#include <linux/if_packet.h>
#include <net/if.h>
#include <netinet/in.h>
#include <poll.h>
#include <sstream>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

extern char **environ;

namespace cli::sys {

namespace {

// The firewall tools answer within milliseconds; one that hangs is cut off.
constexpr int kToolTimeoutMs = 5000;
// A capture holds every answer of a large LAN's cycle until it is read.
constexpr int kCaptureBuffer = 4 << 20;

std::optional<std::string> ReadFile(const std::string &path)
{
    std::ifstream in(path);
    if (!in)
        return std::nullopt;
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

std::optional<int> ReadNumber(const std::string &path)
{
    const auto text = ReadFile(path);
    if (!text)
        return std::nullopt;
    try {
        return std::stoi(*text);
    } catch (...) {
        return std::nullopt;
    }
}

bool Exists(const std::string &path)
{
    struct stat st
    {};
    return stat(path.c_str(), &st) == 0;
}

// A name that is safe inside a sysfs path.
bool PlainName(const std::string &name)
{
    return !name.empty() && name.find('/') == std::string::npos && name != "." && name != "..";
}

// Whether any of the named links is a physical card.
bool AnyPhysical(const std::vector<std::string> &names)
{
    for (const auto &n : names)
        if (PlainName(n) && Exists("/sys/class/net/" + n + "/device"))
            return true;
    return false;
}

// The names in a directory that start with `prefix`, without it.
std::vector<std::string> Entries(const std::string &dir, const std::string &prefix = "")
{
    std::vector<std::string> out;
    if (DIR *d = opendir(dir.c_str())) {
        while (dirent *e = readdir(d)) {
            const std::string n = e->d_name;
            if (n != "." && n != ".." && n.rfind(prefix, 0) == 0)
                out.push_back(n.substr(prefix.size()));
        }
        closedir(d);
    }
    return out;
}

LinuxLinkFacts LinkFacts(const std::string &name)
{
    LinuxLinkFacts f;
    f.name = name;
    if (!PlainName(name))
        return f;
    const std::string dir = "/sys/class/net/" + name;
    f.known = Exists(dir);
    f.type = ReadNumber(dir + "/type").value_or(1);
    if (const auto uevent = ReadFile(dir + "/uevent")) {
        std::istringstream lines(*uevent);
        for (std::string line; std::getline(lines, line);)
            if (line.rfind("DEVTYPE=", 0) == 0)
                f.devtype = line.substr(8);
    }
    f.wireless = Exists(dir + "/wireless") || Exists(dir + "/phy80211");
    f.bridge = Exists(dir + "/bridge");
    f.physical = Exists(dir + "/device");
    if (const auto flags = ReadFile(dir + "/tun_flags")) {
        try {
            f.tunFlags = std::stoi(*flags, nullptr, 16);
        } catch (...) {
            f.tunFlags = 0;
        }
    }
    if (f.bridge)
        f.physicalPort = AnyPhysical(Entries(dir + "/brif"));
    f.physicalLower = AnyPhysical(Entries(dir, "lower_"));
    std::error_code noLink;
    if (Exists(dir + "/brport"))
        f.portOf = std::filesystem::read_symlink(dir + "/master", noLink).filename().string();
    return f;
}

// Runs a program with its output captured; its exit code, 127 when it could
// not be started, -1 when it was cut off.
int RunProgram(const std::vector<std::string> &args, std::string *out, std::string *err)
{
    int outPipe[2], errPipe[2];
    if (pipe2(outPipe, O_CLOEXEC) != 0)
        return 127;
    if (pipe2(errPipe, O_CLOEXEC) != 0) {
        close(outPipe[0]);
        close(outPipe[1]);
        return 127;
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, outPipe[1], STDOUT_FILENO);
    posix_spawn_file_actions_adddup2(&actions, errPipe[1], STDERR_FILENO);
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    std::vector<char *> argv;
    for (const auto &a : args)
        argv.push_back(const_cast<char *>(a.c_str()));
    argv.push_back(nullptr);
    pid_t pid = -1;
    const int spawned = posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    close(outPipe[1]);
    close(errPipe[1]);
    pollfd fds[2] = {{spawned == 0 ? outPipe[0] : -1, POLLIN, 0}, {spawned == 0 ? errPipe[0] : -1, POLLIN, 0}};
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kToolTimeoutMs);
    bool cut = false;
    while (spawned == 0 && (fds[0].fd >= 0 || fds[1].fd >= 0)) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) {
            kill(pid, SIGKILL);
            cut = true;
            break;
        }
        if (poll(fds, 2, int(left.count())) < 0 && errno != EINTR)
            break;
        for (int i = 0; i < 2; ++i) {
            if (fds[i].fd < 0 || !fds[i].revents)
                continue;
            char buffer[65536];
            const ssize_t n = read(fds[i].fd, buffer, sizeof buffer);
            if (n > 0)
                (i == 0 ? out : err)->append(buffer, size_t(n));
            else if (n == 0 || errno != EINTR)
                fds[i].fd = -1;
        }
    }
    close(outPipe[0]);
    close(errPipe[0]);
    if (spawned != 0)
        return 127;
    int status = 0;
    waitpid(pid, &status, 0);
    return cut ? -1 : WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::string FirstLine(const std::string &text)
{
    const std::string line = text.substr(0, text.find('\n'));
    return line.empty() ? "no reason given" : line;
}

// The rules as nft prints them, else as iptables-save does.
site::LinuxFirewall ReadFirewall()
{
    site::LinuxFirewall fw;
    if (const auto range = ReadFile("/proc/sys/net/ipv4/ip_local_port_range")) {
        std::istringstream in(*range);
        int low = 0, high = 0;
        if (in >> low >> high && 0 < low && low <= high && high <= 65535) {
            fw.portLow = uint16_t(low);
            fw.portHigh = uint16_t(high);
        }
    }
    std::string out, err;
    int code = RunProgram({"nft", "-j", "list", "ruleset"}, &out, &err);
    if (code == 0) {
        std::string error;
        fw.rules = site::ParseNftJson(out.empty() ? R"({"nftables": []})" : out, &error);
        if (!fw.rules)
            fw.unreadable = "nft: " + error;
        return fw;
    }
    const std::string nftWhy = code == 127 ? "" : "nft: " + FirstLine(err);
    out.clear();
    err.clear();
    const int saved = RunProgram({"iptables-save"}, &out, &err);
    if (saved == 0 && !out.empty()) {
        fw.rules = site::ParseIptablesSave(out);
        return fw;
    }
    if (code == 127 && saved == 127) {
        fw.unreadable = "neither nft nor iptables-save is installed";
        fw.needPrivileges = false;
        return fw;
    }
    fw.unreadable = !nftWhy.empty() ? nftWhy : "iptables-save: " + FirstLine(err);
    return fw;
}

} // namespace

std::vector<site::DoctorInterface> SystemInterfaces()
{
    std::vector<site::DoctorInterface> list;
    ifaddrs *all = nullptr;
    if (getifaddrs(&all) != 0)
        return list;
    for (ifaddrs *i = all; i; i = i->ifa_next) {
        if (!i->ifa_name)
            continue;
        site::DoctorInterface *entry = nullptr;
        for (auto &known : list)
            if (known.name == i->ifa_name)
                entry = &known;
        if (!entry) {
            entry = &list.emplace_back();
            entry->name = i->ifa_name;
            const LinuxLinkFacts facts = LinkFacts(entry->name);
            entry->kind = ClassifyLinux(facts);
            entry->portOf = facts.portOf;
            if (PlainName(entry->name))
                entry->rpFilter = ReadNumber("/proc/sys/net/ipv4/conf/" + entry->name + "/rp_filter");
        }
        entry->up = (i->ifa_flags & IFF_UP) != 0;
        entry->broadcast = (i->ifa_flags & IFF_BROADCAST) != 0;
        if (!i->ifa_addr || i->ifa_addr->sa_family != AF_INET || !i->ifa_netmask)
            continue;
        entry->addresses.emplace_back(ntohl(reinterpret_cast<sockaddr_in *>(i->ifa_addr)->sin_addr.s_addr),
                                      ntohl(reinterpret_cast<sockaddr_in *>(i->ifa_netmask)->sin_addr.s_addr));
    }
    freeifaddrs(all);
    return list;
}

void ReadSystemFacts(site::DoctorFacts &facts)
{
    facts.rpFilterAll = ReadNumber("/proc/sys/net/ipv4/conf/all/rp_filter");
    if (const auto routes = ReadFile("/proc/net/route")) {
        std::istringstream lines(*routes);
        std::string line;
        std::getline(lines, line); // header
        while (std::getline(lines, line)) {
            std::istringstream fields(line);
            std::string iface, destination, gateway, flags, refcnt, use, metric, mask;
            if (fields >> iface >> destination >> gateway >> flags >> refcnt >> use >> metric >> mask &&
                destination == "00000000" && mask == "00000000")
                facts.defaultRoute = true;
        }
    }
    facts.linuxFirewall = ReadFirewall();
}

std::optional<uint64_t> RpFilterDrops()
{
    const auto text = ReadFile("/proc/net/netstat");
    if (!text)
        return std::nullopt;
    // "TcpExt: name name ...", then "TcpExt: value value ..."
    std::istringstream lines(*text);
    std::string names, values;
    while (std::getline(lines, names) && std::getline(lines, values)) {
        if (names.rfind("TcpExt:", 0) != 0)
            continue;
        std::istringstream n(names), v(values);
        std::string name, value;
        while (n >> name && v >> value)
            if (name == "IPReversePathFilter") {
                try {
                    return std::stoull(value);
                } catch (...) {
                    return std::nullopt;
                }
            }
    }
    return std::nullopt;
}

AnswerTap::~AnswerTap()
{
    for (const auto &s : sockets_)
        close(s.fd);
}

bool AnswerTap::Open(const std::vector<std::string> &interfaces, uint16_t port)
{
    port_ = port;
    for (const auto &name : interfaces) {
        const unsigned index = if_nametoindex(name.c_str());
        if (!index)
            continue;
        // IPv4 frames as they arrive, before any filter of the IP layer
        const int fd = socket(AF_PACKET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, htons(ETH_P_IP));
        if (fd < 0)
            break; // not permitted (no CAP_NET_RAW): no capture at all
        setsockopt(fd, SOL_SOCKET, SO_RCVBUFFORCE, &kCaptureBuffer, sizeof kCaptureBuffer);
        sockaddr_ll where{};
        where.sll_family = AF_PACKET;
        where.sll_protocol = htons(ETH_P_IP);
        where.sll_ifindex = int(index);
        if (bind(fd, reinterpret_cast<sockaddr *>(&where), sizeof where) != 0) {
            close(fd);
            continue;
        }
        sockets_.push_back({fd, name});
    }
    return !sockets_.empty();
}

void AnswerTap::Drain()
{
    for (const auto &s : sockets_) {
        uint8_t packet[2048];
        for (;;) {
            sockaddr_ll from{};
            socklen_t length = sizeof from;
            const ssize_t n = recvfrom(s.fd, packet, sizeof packet, 0, reinterpret_cast<sockaddr *>(&from), &length);
            if (n < 0)
                break;
            if (from.sll_pkttype == PACKET_OUTGOING || n < 20 || (packet[0] >> 4) != 4)
                continue;
            const size_t header = size_t(packet[0] & 0x0f) * 4;
            const bool firstFragment = ((packet[6] & 0x1f) | packet[7]) == 0;
            if (packet[9] != IPPROTO_UDP || !firstFragment || size_t(n) < header + 8 || header < 20)
                continue;
            const uint16_t sourcePort = uint16_t(packet[header] << 8 | packet[header + 1]);
            if (sourcePort != port_)
                continue;
            uint32_t source;
            std::memcpy(&source, packet + 12, 4);
            const site::WireAnswer a{s.interface, ntohl(source)};
            if (std::none_of(answers_.begin(), answers_.end(), [&](const site::WireAnswer &k) {
                    return k.interface == a.interface && k.source == a.source;
                }))
                answers_.push_back(a);
        }
    }
}

} // namespace cli::sys
