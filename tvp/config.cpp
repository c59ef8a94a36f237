// SPDX-License-Identifier: MIT
#include "config.h"

#include "netif.h"
#include "tvp.h"

#include <cerrno>
#include <cstdlib>

namespace tvp {

static_assert(TVP_DEFAULT_PORT == wire::kDefaultPort, "the C interface names the protocol's port");

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

Config Config::FromEnvironment()
{
    Config c;
    if (const char *names = std::getenv("TVP_INTERFACES"); names && *names)
        c.interfaces = net::SplitNames(names);
    if (const char *port = std::getenv("TVP_PORT"); port && *port && !ParsePort(port, &c.port))
        c.notes += std::string("TVP_PORT \"") + port + "\" is not a port; using " + std::to_string(c.port) + ". ";
    if (const char *tftp = std::getenv("TVP_TFTP_PORT"); tftp && *tftp && !ParsePort(tftp, &c.tftpPort))
        c.notes +=
            std::string("TVP_TFTP_PORT \"") + tftp + "\" is not a port; using " + std::to_string(c.tftpPort) + ". ";
    return c;
}

} // namespace tvp
