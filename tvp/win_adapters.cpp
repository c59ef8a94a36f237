// SPDX-License-Identifier: MIT
#include "win_adapters.h"

namespace tvp::win {

Adapters::Adapters(ULONG family, ULONG flags)
{
    ULONG size = 16 * 1024;
    for (int attempt = 0; attempt < 4 && status_ == ERROR_BUFFER_OVERFLOW; ++attempt) {
        buffer_.resize(size);
        status_ = GetAdaptersAddresses(family, flags, nullptr, reinterpret_cast<IP_ADAPTER_ADDRESSES *>(buffer_.data()),
                                       &size);
    }
}

const IP_ADAPTER_ADDRESSES *Adapters::First() const
{
    return status_ == NO_ERROR ? reinterpret_cast<const IP_ADAPTER_ADDRESSES *>(buffer_.data()) : nullptr;
}

} // namespace tvp::win
