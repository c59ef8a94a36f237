// SPDX-License-Identifier: MIT
#include "tftp_peers.h"

#include "tftp_packet.h"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netdb.h>
#include <csignal>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <poll.h>
#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <random>
#include <stdexcept>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

namespace tftptest {

namespace {
constexpr const char *kTftpd = "/usr/sbin/in.tftpd";

sockaddr_in Loopback(uint16_t port)
{
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = htonl(kLoopback);
    sa.sin_port = htons(port);
    return sa;
}
// tftpd-hpa resolves its bind address with AI_ADDRCONFIG, which fails where
// loopback is the only interface (the tests' private namespace). There the
// wildcard reaches nothing but loopback, so it is used instead; anywhere
// else only 127.0.0.1 will do.
std::optional<std::string> BindHost()
{
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_DGRAM;
    hints.ai_flags = AI_ADDRCONFIG | AI_NUMERICHOST;
    addrinfo *res = nullptr;
    if (getaddrinfo("127.0.0.1", nullptr, &hints, &res) == 0) {
        freeaddrinfo(res);
        return "127.0.0.1";
    }
    ifaddrs *list = nullptr;
    if (getifaddrs(&list) != 0)
        return std::nullopt;
    bool onlyLoopback = true;
    for (ifaddrs *i = list; i; i = i->ifa_next)
        if (i->ifa_addr && (i->ifa_addr->sa_family == AF_INET || i->ifa_addr->sa_family == AF_INET6) &&
            !(i->ifa_flags & IFF_LOOPBACK))
            onlyLoopback = false;
    freeifaddrs(list);
    if (onlyLoopback)
        return "";
    return std::nullopt;
}

} // namespace

std::vector<uint8_t> RandomImage(size_t size, unsigned seed)
{
    std::mt19937 rng(seed);
    std::vector<uint8_t> v(size);
    for (auto &b : v)
        b = static_cast<uint8_t>(rng());
    return v;
}

std::vector<uint8_t> ReadFile(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

void WriteFile(const std::string &path, const std::vector<uint8_t> &bytes)
{
    std::ofstream out(path, std::ios::binary);
    out.write(reinterpret_cast<const char *>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

bool Tftpd::Available()
{
    return access(kTftpd, X_OK) == 0 && BindHost();
}

Tftpd::Tftpd(const std::string &root, const std::vector<std::string> &extraArgs)
{
    const passwd *me = getpwuid(geteuid());
    const std::string user = me ? me->pw_name : "root";
    const auto host = BindHost();
    if (!host)
        return;
    Start(kTftpd, [&](uint16_t port) {
        std::vector<std::string> args = {
            kTftpd,   "--listen", "--foreground", "--address", *host + ":" + std::to_string(port),
            "--ipv4", "--create", "--secure",     "--user",    user};
        args.insert(args.end(), extraArgs.begin(), extraArgs.end());
        args.push_back(root);
        return args;
    });
}

std::string Atftpd::Program()
{
    const char *path = std::getenv("NETSCRY_ATFTPD");
    return path && *path ? path : "/usr/sbin/atftpd";
}

bool Atftpd::Available()
{
    return access(Program().c_str(), X_OK) == 0;
}

Atftpd::Atftpd(const std::string &root)
{
    const passwd *me = getpwuid(geteuid());
    const group *primary = me ? getgrgid(me->pw_gid) : nullptr;
    const std::string user = me ? me->pw_name : "root";
    const std::string groupName = primary ? primary->gr_name : "root";
    chmod(root.c_str(), 0777); // it insists on a folder anyone may write
    const std::string program = Program();
    Start(program, [&](uint16_t port) {
        return std::vector<std::string>{
            program,     "--daemon",  "--no-fork", "--port",  std::to_string(port), "--bind-address",  "127.0.0.1",
            "--user",    user,        "--group",   groupName, "--no-multicast",     "--retry-timeout", "1",
            "--logfile", "/dev/null", root};
    });
}

void ServerProcess::Start(const std::string &program,
                          const std::function<std::vector<std::string>(uint16_t port)> &makeArgs)
{
    for (int attempt = 0; attempt < 5 && pid_ < 0; ++attempt) {
        {
            UdpSocket probe; // a port free a moment ago; a clash makes the server exit, and we retry
            port_ = probe.port();
        }
        std::vector<std::string> args = makeArgs(port_);
        const pid_t pid = fork();
        if (pid == 0) {
            std::vector<char *> argv;
            for (auto &a : args)
                argv.push_back(a.data());
            argv.push_back(nullptr);
            execv(program.c_str(), argv.data());
            _exit(127);
        }
        if (pid < 0)
            continue;
        pid_ = pid;
        if (Ready())
            break;
        if (pid_ == pid) { // still running but silent: never signal anything else
            kill(pid, SIGKILL);
            waitpid(pid, nullptr, 0);
        }
        pid_ = -1;
    }
}

// Up once a read request for a missing file brings an error back.
bool ServerProcess::Ready()
{
    UdpSocket s;
    const auto rrq = tvp::tftp::EncodeRequest(tvp::tftp::Opcode::Rrq, "no-such-file", "octet", {});
    for (int i = 0; i < 40; ++i) {
        if (waitpid(pid_, nullptr, WNOHANG) == pid_) {
            pid_ = -1;
            return false;
        }
        s.SendTo(Loopback(port_), rrq);
        if (auto reply = s.Receive(std::chrono::milliseconds(50)))
            return reply->size() >= 2 && (*reply)[1] == 5;
    }
    return false;
}

ServerProcess::~ServerProcess()
{
    if (pid_ > 0) {
        kill(pid_, SIGTERM);
        waitpid(pid_, nullptr, 0);
    }
}

UdpSocket::UdpSocket()
{
    fd_ = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in sa = Loopback(0);
    socklen_t len = sizeof sa;
    if (fd_ < 0 || bind(fd_, reinterpret_cast<sockaddr *>(&sa), sizeof sa) < 0 ||
        getsockname(fd_, reinterpret_cast<sockaddr *>(&sa), &len) < 0)
        throw std::runtime_error("cannot open a loopback UDP socket");
    port_ = ntohs(sa.sin_port);
}

UdpSocket::~UdpSocket()
{
    close(fd_);
}

void UdpSocket::SendTo(const sockaddr_in &to, const std::vector<uint8_t> &bytes)
{
    sendto(fd_, bytes.data(), bytes.size(), 0, reinterpret_cast<const sockaddr *>(&to), sizeof to);
}

std::optional<std::vector<uint8_t>> UdpSocket::Receive(std::chrono::milliseconds timeout, sockaddr_in *from)
{
    pollfd pfd{fd_, POLLIN, 0};
    if (poll(&pfd, 1, static_cast<int>(timeout.count())) <= 0)
        return std::nullopt;
    std::vector<uint8_t> buf(70000);
    sockaddr_in sa{};
    socklen_t len = sizeof sa;
    ssize_t n = recvfrom(fd_, buf.data(), buf.size(), 0, reinterpret_cast<sockaddr *>(&sa), &len);
    if (n < 0)
        return std::nullopt;
    if (from)
        *from = sa;
    buf.resize(static_cast<size_t>(n));
    return buf;
}

FakeServer::FakeServer(Script script)
{
    thread_ = std::thread([this, script = std::move(script)] {
        sockaddr_in client{};
        if (auto request = listen_.Receive(std::chrono::milliseconds(5000), &client))
            script(listen_, *request, client);
    });
}

FakeServer::~FakeServer()
{
    thread_.join();
}

} // namespace tftptest
