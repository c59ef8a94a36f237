// SPDX-License-Identifier: MIT
#include "own_address.h"

#include "netif.h"

#include <spawn.h>
#include <sys/wait.h>
#include <vector>

extern char **environ;

namespace devsim {

namespace {

// Runs the ip tool without a shell: the interface name comes from the user.
bool Ip(std::vector<std::string> args, std::string *error)
{
    args.insert(args.begin(), "ip");
    std::vector<char *> argv;
    for (auto &a : args)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    pid_t pid = 0;
    int status = 0;
    if (posix_spawnp(&pid, "ip", nullptr, nullptr, argv.data(), environ) != 0 || waitpid(pid, &status, 0) != pid ||
        !WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        std::string command;
        for (const auto &a : args)
            command += (command.empty() ? "" : " ") + a;
        *error = "\"" + command + "\" failed";
        return false;
    }
    return true;
}

} // namespace

bool HoldAddress(const std::string &interface, const Device &device, std::string *error)
{
    namespace wire = tvp::wire;
    const std::string cidr =
        wire::FormatDottedQuad(device.address) + "/" + std::to_string(wire::PrefixLength(device.mask));
    if (!Ip({"-4", "addr", "flush", "dev", interface}, error) || !Ip({"addr", "add", cidr, "dev", interface}, error) ||
        !Ip({"link", "set", interface, "up"}, error))
        return false;
    if (device.gateway)
        return Ip({"route", "replace", "default", "via", wire::FormatDottedQuad(device.gateway), "dev", interface},
                  error);
    return true;
}

} // namespace devsim
