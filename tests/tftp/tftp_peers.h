// SPDX-License-Identifier: MIT
// Peers for the upload tests: tftpd-hpa started on a loopback port of its
// own, and a scripted fake server for what no real server does on demand.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <netinet/in.h>
#include <optional>
#include <string>
#include <sys/types.h>
#include <thread>
#include <vector>

namespace tftptest {

constexpr uint32_t kLoopback = 0x7f000001; // 127.0.0.1

std::vector<uint8_t> RandomImage(size_t size, unsigned seed);
std::vector<uint8_t> ReadFile(const std::string &path);
void WriteFile(const std::string &path, const std::vector<uint8_t> &bytes);

// A TFTP server program on 127.0.0.1 and a free port, serving `root`;
// stopped by the destructor.
class ServerProcess
{
public:
    ~ServerProcess();
    bool running() const { return pid_ > 0; }
    uint16_t port() const { return port_; }

protected:
    ServerProcess() = default;
    // Starts `program` with the arguments for a port, retrying on a clash.
    void Start(const std::string &program, const std::function<std::vector<std::string>(uint16_t port)> &args);

private:
    bool Ready();
    pid_t pid_ = -1;
    uint16_t port_ = 0;
};

// tftpd-hpa: in.tftpd --listen --foreground --create --secure. It knows
// no windowsize: transfers to it run in lock-step.
class Tftpd : public ServerProcess
{
public:
    static bool Available();
    Tftpd(const std::string &root, const std::vector<std::string> &extraArgs = {});
};

// atftpd --daemon --no-fork, a server that grants windowsize (RFC 7440).
// The program is $NETSCRY_ATFTPD, else /usr/sbin/atftpd.
class Atftpd : public ServerProcess
{
public:
    static std::string Program();
    static bool Available();
    explicit Atftpd(const std::string &root);
};

// A UDP socket on 127.0.0.1 and a free port.
class UdpSocket
{
public:
    UdpSocket();
    ~UdpSocket();
    UdpSocket(const UdpSocket &) = delete;
    UdpSocket &operator=(const UdpSocket &) = delete;
    uint16_t port() const { return port_; }
    void SendTo(const sockaddr_in &to, const std::vector<uint8_t> &bytes);
    // nullopt after the timeout
    std::optional<std::vector<uint8_t>> Receive(std::chrono::milliseconds timeout, sockaddr_in *from = nullptr);

private:
    int fd_ = -1;
    uint16_t port_ = 0;
};

// Runs a script on a thread against a listening socket; the script gets
// the socket, the client's request and the client's address.
class FakeServer
{
public:
    using Script =
        std::function<void(UdpSocket &listen, const std::vector<uint8_t> &request, const sockaddr_in &client)>;
    explicit FakeServer(Script script);
    ~FakeServer();
    uint16_t port() const { return listen_.port(); }

private:
    UdpSocket listen_;
    std::thread thread_;
};

} // namespace tftptest
