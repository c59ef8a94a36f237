// SPDX-License-Identifier: MIT
// The simulated devices: their settings and behaviours, loaded from JSON or
// generated.
#pragma once

#include "tftp_server.h"
#include "wire.h"

#include <cstdint>
#include <string>
#include <vector>

namespace devsim {

struct Device
{
    std::string name;
    std::string type;
    tvp::wire::DeviceId id{};
    bool dhcp = false;
    uint32_t address = 0; // host byte order
    uint32_t mask = 0;
    uint32_t gateway = 0; // 0: none
    bool answersProbes = true;
    UpgradeBehaviour upgrade = UpgradeBehaviour::Succeed;
    // Once a SetIP moved it from the address it started at, it answers
    // nothing but SetIP until one puts it back there: a device that
    // acknowledges new settings and never comes back at its new address.
    bool vanishesWhenMoved = false;
    uint32_t home = 0; // the address it started at

    bool Away() const { return vanishesWhenMoved && address != home; }
};

// Reads {"devices": [ {...}, ... ]}; false with a message in *error.
bool LoadDevices(const std::string &path, std::vector<Device> *devices, std::string *error);
bool ParseDevices(const std::string &json, std::vector<Device> *devices, std::string *error);

// `count` devices named Sim-0001... at 127.1.x.y/8 with MACs
// 02:00:00:xx:xx:xx; a share of them, spread evenly, answers no probe.
std::vector<Device> GenerateDevices(int count, double unreachableShare);

const char *BehaviourName(UpgradeBehaviour behaviour);

} // namespace devsim
