// SPDX-License-Identifier: MIT
#include "devsim_process.h"

#include "devsim_child.h"
#include "test_support.h"
#include "tvp.h"

#include <chrono>
#include <cstdio>

namespace testsupport {

DevSim::DevSim(std::vector<std::string> extraArgs)
{
#ifdef _WIN32
    args_ = {BinDir() + "/tvp-devsim.exe", "--port", "0", "--tftp-port", "0"};
#else
    args_ = {BinDir() + "/tvp-devsim", "--port", "0", "--tftp-port", "0"};
#endif
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
    if (child_)
        return Port() != 0;
    auto child = std::make_unique<Child>();
    if (!child->Spawn(args_))
        return false;
    child_ = std::move(child);
    reader_ = std::thread([this] { Read(); });
    std::unique_lock lock(mu_);
    changed_.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] { return port_ != 0 || ended_; });
    bool ready = port_ != 0;
    lock.unlock();
    if (!ready)
        Stop();
    return ready;
}

void DevSim::Read()
{
    std::string pending;
    char buffer[4096];
    while (size_t n = child_->Read(buffer, sizeof buffer)) {
        pending.append(buffer, n);
        size_t nl;
        while ((nl = pending.find('\n')) != std::string::npos) {
            std::string line = pending.substr(0, nl);
            pending.erase(0, nl + 1);
            if (!line.empty() && line.back() == '\r')
                line.pop_back();
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
    std::lock_guard lock(mu_);
    if (!pending.empty())
        lines_.push_back(pending);
    ended_ = true;
    changed_.notify_all();
}

void DevSim::Stop()
{
    if (child_)
        child_->Stop();
    if (reader_.joinable())
        reader_.join();
    child_.reset();
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
    SetEnvironment("TVP_INTERFACES", LoopbackInterfaceName());
    SetEnvironment("TVP_PORT", std::to_string(Port()));
    SetEnvironment("TVP_TFTP_PORT", std::to_string(TftpPort()));
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
