// SPDX-License-Identifier: MIT
// What the Windows files of the library share: Winsock started once, and
// the error of the last socket call as an errno value, so messages read the
// same on every system.
#pragma once

#include <winsock2.h>

#include <string>

namespace tvp::net {

// Starts Winsock 2.2 at the first call; later calls only report whether it
// started. The library never stops it: that happens at process exit.
bool StartWinsock();

// WSAGetLastError() as the nearest errno value, also stored in errno.
int SocketErrno();

// Non-blocking, not inherited by child processes, ICMP port unreachable
// not reported as an error of later receives.
SOCKET OpenUdpSocket();

// The friendly name of the loopback adapter that is up, in UTF-8
// ("Loopback Pseudo-Interface 1" on Windows, "lo" under Wine); empty when
// there is none.
std::string LoopbackAdapterName();

} // namespace tvp::net
