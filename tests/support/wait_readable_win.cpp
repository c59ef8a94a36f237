// SPDX-License-Identifier: MIT
#include "test_support.h"

#include <winsock2.h>

namespace testsupport {

bool WaitReadable(int handle, int timeoutMs)
{
    if (handle == -1) {
        Sleep(DWORD(timeoutMs)); // as poll() waits on a descriptor it ignores
        return false;
    }
    // the library's event handle is a SOCKET handed out as an int
    WSAPOLLFD p{};
    p.fd = SOCKET(handle);
    p.events = POLLRDNORM;
    return WSAPoll(&p, 1, timeoutMs) > 0;
}

} // namespace testsupport
