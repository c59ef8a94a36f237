// SPDX-License-Identifier: MIT
// What the library is told by its environment: interfaces, ports.
#pragma once

#include "address.h"

#include <cstdint>
#include <string>
#include <vector>

namespace tvp {

struct Config
{
    std::vector<std::string> interfaces; // empty: every broadcast interface but loopback
    uint16_t port = wire::kDefaultPort;
    uint16_t tftpPort = wire::kDefaultTftpPort;
    // complaints about the environment, logged once a callback listens
    std::string notes;

    // TVP_INTERFACES, TVP_PORT, TVP_TFTP_PORT.
    static Config FromEnvironment();
};

// A decimal port, 1 to 65535.
bool ParsePort(const char *text, uint16_t *port);

} // namespace tvp
