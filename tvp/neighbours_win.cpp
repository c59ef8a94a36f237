// SPDX-License-Identifier: MIT
// The Windows side of "is anything at this address": the neighbour table
// from IP Helper, read, and an entry removed where the process may.
// Windows sends no raw frames without a driver of its own, so there is no
// RFC 5227 probe; the table read after the UDP probes holds whatever
// answered the stack's own ARP requests for them.
#include "os.h"

#include <winsock2.h>
#include <ws2tcpip.h>
#include <iphlpapi.h>
#include <netioapi.h>

namespace tvp::os {

namespace {

// Broadcast and multicast entries stand in the table for every interface;
// nothing answered for them.
bool Answered(const MIB_IPNET_ROW2 &row)
{
    if (row.PhysicalAddressLength == 0 || row.State == NlnsUnreachable || row.State == NlnsIncomplete)
        return false;
    bool allZero = true, allOnes = true;
    for (ULONG k = 0; k < row.PhysicalAddressLength && k < IF_MAX_PHYS_ADDRESS_LENGTH; ++k) {
        allZero = allZero && row.PhysicalAddress[k] == 0;
        allOnes = allOnes && row.PhysicalAddress[k] == 0xff;
    }
    return !allZero && !allOnes && !(row.PhysicalAddress[0] & 1);
}

} // namespace

std::set<uint32_t> ResolvedNeighbours(unsigned ifindex)
{
    std::set<uint32_t> resolved;
    MIB_IPNET_TABLE2 *table = nullptr;
    if (GetIpNetTable2(AF_INET, &table) != NO_ERROR || !table)
        return resolved;
    for (ULONG k = 0; k < table->NumEntries; ++k) {
        const MIB_IPNET_ROW2 &row = table->Table[k];
        if (row.InterfaceIndex == ifindex && row.Address.si_family == AF_INET && Answered(row))
            resolved.insert(ntohl(row.Address.Ipv4.sin_addr.s_addr));
    }
    FreeMibTable(table);
    return resolved;
}

namespace {

MIB_IPNET_ROW2 Row(unsigned ifindex, uint32_t address)
{
    MIB_IPNET_ROW2 row{};
    row.InterfaceIndex = ifindex;
    row.Address.Ipv4.sin_family = AF_INET;
    row.Address.Ipv4.sin_addr.s_addr = htonl(address);
    return row;
}

} // namespace

std::optional<std::string> NeighbourHardware(unsigned ifindex, uint32_t address)
{
    MIB_IPNET_ROW2 row = Row(ifindex, address);
    // an entry the administrator set is no mapping the stack learnt
    if (GetIpNetEntry2(&row) != NO_ERROR || !Answered(row) || row.State == NlnsPermanent)
        return std::nullopt;
    const ULONG length =
        row.PhysicalAddressLength < IF_MAX_PHYS_ADDRESS_LENGTH ? row.PhysicalAddressLength : IF_MAX_PHYS_ADDRESS_LENGTH;
    return std::string(reinterpret_cast<const char *>(row.PhysicalAddress), length);
}

// DeleteIpNetEntry2 needs an administrator; a program run without one
// gets ERROR_ACCESS_DENIED and keeps the entry.
NeighbourRemoval RemoveNeighbour(unsigned ifindex, uint32_t address)
{
    MIB_IPNET_ROW2 row = Row(ifindex, address);
    switch (DeleteIpNetEntry2(&row)) {
    case NO_ERROR: return NeighbourRemoval::Removed;
    case ERROR_NOT_FOUND: return NeighbourRemoval::Absent;
    case ERROR_ACCESS_DENIED: return NeighbourRemoval::NotPermitted;
    default: return NeighbourRemoval::Failed;
    }
}

std::optional<std::set<uint32_t>> ArpProbe(unsigned, const std::vector<uint32_t> &, int)
{
    return std::nullopt;
}

} // namespace tvp::os
