// SPDX-License-Identifier: MIT
#include "devsim_process.h"

#include "test_support.h"
#include "tvp.h"

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

extern char **environ;

namespace testsupport {

DevSim::DevSim(std::vector<std::string> extraArgs)
{
    args_ = {BinDir() + "/tvp-devsim", "--port", "0", "--tftp-port", "0"};
    args_.insert(args_.end(), extraArgs.begin(), extraArgs.end());
}

DevSim::~DevSim()
{
    Stop();
}

void DevSim::RunInside(std::vector<std::string> prefix)
{
    args_.insert(args_.begin(), prefix.begin(), prefix.end());
}

bool DevSim::Start(int timeoutMs)
{
    if (pid_ > 0)
        return port_ != 0;
    int out[2];
    if (pipe2(out, O_CLOEXEC) != 0)
        return false;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
    std::vector<char *> argv;
    for (auto &a : args_)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    int rc = posix_spawnp(&pid_, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    close(out[1]);
    if (rc != 0) {
        close(out[0]);
        pid_ = -1;
        return false;
    }
    reader_ = std::thread([this, fd = out[0]] { Read(fd); });
    std::unique_lock lock(mu_);
    changed_.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] { return port_ != 0 || ended_; });
    bool ready = port_ != 0;
    lock.unlock();
    if (!ready)
        Stop();
    return ready;
}

void DevSim::Read(int fd)
{
    std::string pending;
    char buffer[4096];
    for (;;) {
        ssize_t n = read(fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        pending.append(buffer, size_t(n));
        size_t nl;
        while ((nl = pending.find('\n')) != std::string::npos) {
            std::string line = pending.substr(0, nl);
            pending.erase(0, nl + 1);
            std::lock_guard lock(mu_);
            unsigned port = 0, tftp = 0;
            if (port_ == 0 && std::sscanf(line.c_str(), "READY port=%u tftp-port=%u", &port, &tftp) == 2) {
                port_ = uint16_t(port);
                tftpPort_ = uint16_t(tftp);
            }
            lines_.push_back(std::move(line));
            changed_.notify_all();
        }
    }
    close(fd);
    std::lock_guard lock(mu_);
    if (!pending.empty())
        lines_.push_back(pending);
    ended_ = true;
    changed_.notify_all();
}

void DevSim::Stop()
{
    if (pid_ > 0) {
        kill(pid_, SIGTERM);
        int status = 0;
        bool gone = false;
        for (int i = 0; i < 300 && !gone; ++i) {
            if (waitpid(pid_, &status, WNOHANG) == pid_)
                gone = true;
            else
                usleep(10000);
        }
        if (!gone) {
            kill(pid_, SIGKILL);
            waitpid(pid_, &status, 0);
        }
        pid_ = -1;
    }
    if (reader_.joinable())
        reader_.join();
}

uint16_t DevSim::Port() const
{
    std::lock_guard lock(mu_);
    return port_;
}

uint16_t DevSim::TftpPort() const
{
    std::lock_guard lock(mu_);
    return tftpPort_;
}

void DevSim::UseFromThisProcess() const
{
    setenv("TVP_INTERFACES", "lo", 1);
    setenv("TVP_PORT", std::to_string(Port()).c_str(), 1);
    setenv("TVP_TFTP_PORT", std::to_string(TftpPort()).c_str(), 1);
    TVPCleanup();
}

std::vector<std::string> DevSim::LogLines() const
{
    std::lock_guard lock(mu_);
    return lines_;
}

bool DevSim::WaitForLine(const std::string &text, int timeoutMs) const
{
    std::unique_lock lock(mu_);
    size_t checked = 0;
    return changed_.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] {
        for (; checked < lines_.size(); ++checked)
            if (lines_[checked].find(text) != std::string::npos)
                return true;
        return ended_;
    }) && checked < lines_.size();
}

} // namespace testsupport
