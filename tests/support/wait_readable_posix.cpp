// SPDX-License-Identifier: MIT
#include "test_support.h"

#include <poll.h>

namespace testsupport {

bool WaitReadable(int handle, int timeoutMs)
{
    pollfd p{handle, POLLIN, 0};
    return poll(&p, 1, timeoutMs) > 0;
}

} // namespace testsupport
