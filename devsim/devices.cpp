// SPDX-License-Identifier: MIT
#include "devices.h"

#include <cmath>
#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>

namespace devsim {

using tvp::wire::ParseDottedQuad;

namespace {

bool Address(const nlohmann::json &d, const char *key, bool required, uint32_t *out, std::string *error)
{
    if (!d.contains(key)) {
        if (required)
            *error = std::string("missing \"") + key + "\"";
        return !required;
    }
    if (!d[key].is_string()) {
        *error = std::string("\"") + key + "\" must be a text";
        return false;
    }
    std::string text = d[key].get<std::string>();
    if (text.empty() && !required)
        return true;
    if (!ParseDottedQuad(text.c_str(), out)) {
        *error = std::string("\"") + key + "\": \"" + text + "\" is not a dotted quad";
        return false;
    }
    return true;
}

} // namespace

const char *BehaviourName(UpgradeBehaviour b)
{
    switch (b) {
    case UpgradeBehaviour::Succeed: return "succeed";
    case UpgradeBehaviour::BusyFirst: return "busy-first";
    case UpgradeBehaviour::Fail: return "fail";
    case UpgradeBehaviour::Stall: return "stall";
    }
    return "?";
}

namespace {
bool ParseDevicesOrThrow(const std::string &text, std::vector<Device> *devices, std::string *error)
{
    nlohmann::json root = nlohmann::json::parse(text, nullptr, false);
    if (root.is_discarded()) {
        *error = "not valid JSON";
        return false;
    }
    const nlohmann::json *list = &root;
    if (root.is_object() && root.contains("devices"))
        list = &root["devices"];
    if (!list->is_array()) {
        *error = "expected {\"devices\": [...]}";
        return false;
    }
    std::vector<Device> out;
    for (size_t i = 0; i < list->size(); ++i) {
        const auto &d = (*list)[i];
        std::string where = "device " + std::to_string(i + 1) + ": ";
        if (!d.is_object()) {
            *error = where + "not an object";
            return false;
        }
        Device dev;
        std::string e;
        dev.name = d.value("name", std::string("Device ") + std::to_string(i + 1));
        dev.type = d.value("type", std::string("TVP device"));
        std::string mac = d.value("mac", std::string());
        if (!tvp::wire::ParseMac(mac, &dev.id)) {
            *error = where + "\"mac\": \"" + mac + "\" is not a MAC address";
            return false;
        }
        dev.dhcp = d.value("dhcp", false);
        if (!Address(d, "ip", true, &dev.address, &e) || !Address(d, "mask", false, &dev.mask, &e) ||
            !Address(d, "gateway", false, &dev.gateway, &e)) {
            *error = where + e;
            return false;
        }
        if (!d.contains("mask"))
            dev.mask = 0xffffff00u;
        dev.answersProbes = d.value("answersProbes", true);
        dev.vanishesWhenMoved = d.value("vanishesWhenMoved", false);
        dev.home = dev.address;
        std::string up = d.value("upgrade", std::string("succeed"));
        if (up == "succeed")
            dev.upgrade = UpgradeBehaviour::Succeed;
        else if (up == "busy-first")
            dev.upgrade = UpgradeBehaviour::BusyFirst;
        else if (up == "fail")
            dev.upgrade = UpgradeBehaviour::Fail;
        else if (up == "stall")
            dev.upgrade = UpgradeBehaviour::Stall;
        else {
            *error = where + "\"upgrade\": \"" + up + "\" is not succeed, busy-first, fail or stall";
            return false;
        }
        out.push_back(std::move(dev));
    }
    *devices = std::move(out);
    return true;
}

} // namespace

bool ParseDevices(const std::string &text, std::vector<Device> *devices, std::string *error)
{
    try {
        return ParseDevicesOrThrow(text, devices, error);
    } catch (const nlohmann::json::exception &e) {
        // a value of the wrong kind, e.g. "dhcp": "yes"
        *error = e.what();
        return false;
    }
}

bool LoadDevices(const std::string &path, std::vector<Device> *devices, std::string *error)
{
    std::ifstream in(path);
    if (!in) {
        *error = "cannot read " + path;
        return false;
    }
    std::ostringstream text;
    text << in.rdbuf();
    return ParseDevices(text.str(), devices, error);
}

std::vector<Device> GenerateDevices(int count, double unreachableShare)
{
    static const char *types[] = {"Serial Server", "I/O Gateway", "Protocol Converter", "Wireless Bridge"};
    std::vector<Device> out;
    // spread the silent ones evenly: device i is silent when the running
    // share of silent devices falls behind the asked share
    int silent = 0;
    for (int i = 0; i < count; ++i) {
        Device d;
        char name[32];
        std::snprintf(name, sizeof name, "Sim-%04d", i + 1);
        d.name = name;
        d.type = types[i % 4];
        d.id = {0x02, 0x00, 0x00, uint8_t(i >> 16), uint8_t(i >> 8), uint8_t(i), 0, 0};
        // 250 hosts a third octet, 64,000 a second: a million stay distinct
        d.address =
            (127u << 24) | uint32_t(1 + i / 64000) << 16 | uint32_t((i / 250) % 256) << 8 | uint32_t(i % 250 + 2);
        d.mask = 0xff000000u;
        d.home = d.address;
        int wantSilent = int(std::floor((i + 1) * unreachableShare + 1e-9));
        if (silent < wantSilent) {
            d.answersProbes = false;
            ++silent;
        }
        out.push_back(d);
    }
    return out;
}

} // namespace devsim
