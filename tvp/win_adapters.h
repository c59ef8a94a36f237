// SPDX-License-Identifier: MIT
// The system's adapter list as GetAdaptersAddresses gives it, read once for
// the library's interfaces and for the command line's view of them.
#pragma once

#include <winsock2.h>
#include <iphlpapi.h>

#include <vector>

namespace tvp::win {

class Adapters
{
public:
    // The list for `family` (AF_INET, AF_UNSPEC) with the GAA_FLAG_ values
    // in `flags`. It may grow between asking its size and reading it: a few
    // tries.
    Adapters(ULONG family, ULONG flags);

    // GetAdaptersAddresses's last answer: NO_ERROR, ERROR_NO_DATA, ...
    ULONG Status() const { return status_; }
    // The first adapter; nullptr unless Status() is NO_ERROR.
    const IP_ADAPTER_ADDRESSES *First() const;

private:
    ULONG status_ = ERROR_BUFFER_OVERFLOW;
    std::vector<unsigned char> buffer_;
};

} // namespace tvp::win
