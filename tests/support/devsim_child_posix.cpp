// SPDX-License-Identifier: MIT
#include "devsim_child.h"

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#ifdef __linux__
#include <sys/prctl.h>
#endif
#include <sys/wait.h>
#include <unistd.h>

extern char **environ;

namespace testsupport {

DevSim::Child::~Child()
{
    Stop();
    if (output_ >= 0)
        close(output_);
}

bool DevSim::Child::Spawn(const std::vector<std::string> &args)
{
    int out[2];
    if (pipe2(out, O_CLOEXEC) != 0)
        return false;
    std::vector<char *> argv;
    for (auto &a : args)
        argv.push_back(const_cast<char *>(a.c_str()));
    argv.push_back(nullptr);
    const pid_t parent = getpid();
    const pid_t pid = fork();
    if (pid == 0) {
        // a test killed by its timeout must not leave its simulator running:
        // it would keep the port, and every descriptor the test inherited
#ifdef __linux__
        prctl(PR_SET_PDEATHSIG, SIGTERM);
        if (getppid() != parent)
            _exit(127);
#endif
        dup2(out[1], STDOUT_FILENO);
        execvp(argv[0], argv.data());
        _exit(127);
    }
    const int rc = pid < 0 ? errno : 0;
    close(out[1]);
    if (rc != 0) {
        close(out[0]);
        return false;
    }
    pid_ = pid;
    output_ = out[0];
    return true;
}

size_t DevSim::Child::Read(char *buffer, size_t capacity)
{
    for (;;) {
        ssize_t n = read(output_, buffer, capacity);
        if (n < 0 && errno == EINTR)
            continue;
        return n > 0 ? size_t(n) : 0;
    }
}

void DevSim::Child::Stop()
{
    if (pid_ <= 0)
        return;
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

void SetEnvironment(const std::string &name, const std::string &value)
{
    setenv(name.c_str(), value.c_str(), 1);
}

std::string LoopbackInterfaceName()
{
    return "lo";
}

} // namespace testsupport
