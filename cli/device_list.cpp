// SPDX-License-Identifier: MIT
#include "device_list.h"

namespace cli {

namespace {

Record DeviceRecord(const FoundDevice &d)
{
    return {{"name", d.name},           {"type", d.type},        {"ip", d.ip}, {"id", d.id}, {"interface", d.interface},
            {"reachable", d.reachable}, {"conflict", d.conflict}};
}

const std::vector<Column> kDeviceColumns = {
    {"name", "NAME"},           {"type", "TYPE"},           {"ip", "IP ADDRESS"},    {"id", "ID"},
    {"interface", "INTERFACE"}, {"reachable", "REACHABLE"}, {"conflict", "CONFLICT"}};

} // namespace

site::SharedAddresses SharedAddresses(const std::vector<FoundDevice> &devices)
{
    std::vector<site::Sighting> scan;
    for (const auto &d : devices)
        scan.push_back({d.id, d.ip});
    return site::FindSharedAddresses(scan);
}

void MarkSharedAddresses(std::vector<FoundDevice> &devices)
{
    const auto shared = SharedAddresses(devices);
    for (auto &d : devices) {
        d.conflict = site::OthersAt(shared, d.ip, d.id);
        if (!d.conflict.empty())
            d.reachable = false;
    }
}

void PrintDevices(std::ostream &out, const std::vector<FoundDevice> &devices, Format format)
{
    std::vector<Record> records;
    for (const auto &d : devices)
        records.push_back(DeviceRecord(d));
    PrintList(out, records, kDeviceColumns, format);
}

} // namespace cli
