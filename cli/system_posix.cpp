// SPDX-License-Identifier: MIT
#include "system.h"

#include <arpa/inet.h>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

namespace cli::sys {

std::vector<std::string> Utf8Arguments(int argc, char **argv)
{
    return {argv, argv + argc};
}

void PrepareOutput()
{}

bool ProgressTerminal()
{
    return isatty(STDERR_FILENO) == 1;
}

bool SetEnvironment(const std::string &name, const std::string &value)
{
    return setenv(name.c_str(), value.c_str(), 1) == 0;
}

FileState CheckFile(const std::string &path)
{
    struct stat st
    {};
    if (stat(path.c_str(), &st) != 0)
        return FileState::Missing;
    if (!S_ISREG(st.st_mode) || access(path.c_str(), R_OK) != 0)
        return FileState::NotReadable;
    return FileState::Readable;
}

bool WaitReadable(int handle, int ms)
{
    pollfd p{handle, POLLIN, 0};
    return poll(&p, 1, ms) >= 0 || errno == EINTR;
}

namespace {

volatile std::sig_atomic_t g_interrupted = 0;

void OnInterrupt(int)
{
    g_interrupted = 1;
}

} // namespace

void CatchInterrupt()
{
    struct sigaction sa
    {};
    sa.sa_handler = OnInterrupt;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = 0; // no SA_RESTART: a waiting poll() returns at once
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);
}

bool Interrupted()
{
    return g_interrupted != 0;
}

std::optional<std::string> ReadTextFile(const std::string &path, std::string *error)
{
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        *error = std::strerror(errno);
        return std::nullopt;
    }
    std::ostringstream text;
    text << in.rdbuf();
    if (in.bad()) {
        *error = "read error";
        return std::nullopt;
    }
    return text.str();
}

bool WriteFileWhole(const std::string &path, const std::string &text, std::string *error)
{
    const std::string temporary = path + ".new";
    FILE *f = std::fopen(temporary.c_str(), "wb");
    if (!f) {
        *error = std::strerror(errno);
        return false;
    }
    const bool written =
        std::fwrite(text.data(), 1, text.size(), f) == text.size() && std::fflush(f) == 0 && fsync(fileno(f)) == 0;
    const int saved = errno;
    if (std::fclose(f) != 0 || !written) {
        *error = std::strerror(written ? errno : saved);
        std::remove(temporary.c_str());
        return false;
    }
    if (std::rename(temporary.c_str(), path.c_str()) != 0) {
        *error = std::strerror(errno);
        std::remove(temporary.c_str());
        return false;
    }
    return true;
}

std::optional<std::vector<LocalInterface>> LocalInterfaces()
{
    ifaddrs *all = nullptr;
    if (getifaddrs(&all) != 0)
        return std::nullopt;
    std::vector<LocalInterface> list;
    for (ifaddrs *i = all; i; i = i->ifa_next) {
        if (!i->ifa_name)
            continue;
        // every interface appears with its link-layer entry, addresses or not
        LocalInterface *entry = nullptr;
        for (auto &known : list)
            if (known.name == i->ifa_name)
                entry = &known;
        if (!entry)
            entry = &list.emplace_back(LocalInterface{i->ifa_name, {}});
        entry->up = (i->ifa_flags & IFF_UP) != 0;
        if (!i->ifa_addr || i->ifa_addr->sa_family != AF_INET || !i->ifa_netmask)
            continue;
        entry->subnets.emplace_back(ntohl(reinterpret_cast<sockaddr_in *>(i->ifa_addr)->sin_addr.s_addr),
                                    ntohl(reinterpret_cast<sockaddr_in *>(i->ifa_netmask)->sin_addr.s_addr));
    }
    freeifaddrs(all);
    return list;
}

} // namespace cli::sys
