// SPDX-License-Identifier: MIT
// TFTP packets: whatever the parser accepts encodes back to a packet that
// parses to the same fields.
#include "tftp_packet.h"

#include <cstdlib>

using namespace tvp::tftp;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    auto p = Parse(data, size);
    if (!p)
        return 0;
    std::vector<uint8_t> again;
    switch (p->opcode) {
    case Opcode::Rrq:
    case Opcode::Wrq: again = EncodeRequest(p->opcode, p->text, p->mode, p->options); break;
    case Opcode::Data:
        if (p->dataSize > kMaxBlockSize || (p->dataSize && p->data != data + 4))
            std::abort();
        again = EncodeData(p->block, p->data, p->dataSize);
        break;
    case Opcode::Ack: again = EncodeAck(p->block); break;
    case Opcode::Error:
        if (p->text.size() > kMaxField)
            std::abort();
        again = EncodeError(p->errorCode, p->text);
        break;
    case Opcode::Oack: again = EncodeOack(p->options); break;
    }
    auto q = Parse(again.data(), again.size());
    if (!q || q->opcode != p->opcode || q->block != p->block || q->errorCode != p->errorCode || q->text != p->text ||
        q->mode != p->mode || q->options != p->options || q->dataSize != p->dataSize)
        std::abort();
    IsBusy(*p);
    return 0;
}
