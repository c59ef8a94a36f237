// SPDX-License-Identifier: MIT
// OACK options: a granted set is either refused or yields values inside
// what the client asked for.
#include "tftp_packet.h"

#include <cstdlib>

using namespace tvp::tftp;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    auto options = ParseOptions(data, size);
    if (!options)
        return 0;
    if (options->size() > kMaxOptions)
        std::abort();
    for (const auto &[name, value] : *options)
        if (name.empty() || name.size() > kMaxField || value.size() > kMaxField)
            std::abort();
    const Options asked{{"blksize", "1428"}, {"tsize", "4194304"}, {"windowsize", "16"}};
    if (auto n = AcceptOack(asked, *options)) {
        if (n->blockSize < kMinBlockSize || n->blockSize > 1428 || n->windowSize < 1 || n->windowSize > 16)
            std::abort();
    }
    return 0;
}
