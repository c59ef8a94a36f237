// SPDX-License-Identifier: MIT
// What the Windows files of the library share: Winsock started once, and
// the error of the last socket call as an errno value, so messages read the
// same on every system.
#pragma once

#include "netif.h"

#include <winsock2.h>

#include <string>

namespace tvp::net {

// Starts Winsock 2.2 at the first call; later calls only report whether it
// started. The library never stops it: that happens at process exit.
bool StartWinsock();

// WSAGetLastError() as the nearest errno value, also stored in errno.
int SocketErrno();

// A waker for select(), which watches no pipe: two loopback UDP sockets,
// each taking datagrams only from the other, so no stranger on the host can
// set it. Both are set even on failure (kNoSocket where none opened).
bool OpenLoopbackPair(SocketHandle *reader, SocketHandle *writer);

// The friendly name of the loopback adapter that is up, in UTF-8
// ("Loopback Pseudo-Interface 1" on Windows, "lo" under Wine); empty when
// there is none.
std::string LoopbackAdapterName();

} // namespace tvp::net
