// SPDX-License-Identifier: MIT
// TVP message parser: whatever arrives, decoding must not read out of
// bounds, and what decodes must survive a round trip through the encoder.
#include "netif.h"
#include "wire.h"

#include <cstdlib>
#include <string>

namespace wire = tvp::wire;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    wire::Message m;
    if (wire::Decode(data, size, &m)) {
        for (const auto *text : {&m.name, &m.type})
            if (*text && (*text)->size() > wire::kMaxText)
                std::abort();
        wire::Message again;
        auto bytes = wire::Encode(m);
        if (!wire::Decode(bytes.data(), bytes.size(), &again) || again.opcode != m.opcode || again.txid != m.txid ||
            again.id != m.id || again.name != m.name || again.type != m.type || again.address != m.address ||
            again.mask != m.mask || again.gateway != m.gateway || again.dhcp != m.dhcp || again.status != m.status)
            std::abort();
    }
    // the same bytes as the texts the library accepts from its caller
    std::string text(reinterpret_cast<const char *>(data), size);
    wire::DeviceId id;
    if (wire::ParseMac(text, &id) && !wire::ParseMac(wire::FormatMac(id), &id))
        std::abort();
    uint32_t address, back;
    if (wire::ParseDottedQuad(text.c_str(), &address) &&
        (!wire::ParseDottedQuad(wire::FormatDottedQuad(address).c_str(), &back) || back != address))
        std::abort();
    std::string name;
    std::optional<uint32_t> ifaddr;
    tvp::net::ParseInterfaceText(text, &name, &ifaddr);
    tvp::net::DefaultGateway(text, "eth0");
    return 0;
}
