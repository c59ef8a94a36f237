// SPDX-License-Identifier: MIT
// Internal interface between the library's core (callback, event queue,
// environment) and its firmware upload.
#pragma once

#include <cstdint>
#include <string>

namespace tvp::internal {

// Calls the registered callback at once, on the calling thread. Used only
// for upgrade events (code 4) during TVPUpgradeDevice.
void DeliverNow(uint32_t code, const void *record);

// Delivers a log line (code 0) at once, on the calling thread, when the
// callback was registered with debug on; does nothing otherwise. The
// upgrade's lines so stand between its own events, in the order they
// happened.
void Log(const std::string &line);
bool DebugEnabled();

// UDP port of the devices' TFTP servers: TVP_TFTP_PORT, default 69.
uint16_t TftpPort();

} // namespace tvp::internal
