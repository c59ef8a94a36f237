// SPDX-License-Identifier: MIT
// The TVP library as the commands use it: started with the command line's
// interfaces, its events collected on this thread, discovery runs.
#pragma once

#include "conflicts.h"
#include "device_list.h"
#include "sweep.h"

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace cli {

using Clock = std::chrono::steady_clock;

// Bad input: exit code 2.
struct UsageError : std::runtime_error
{
    using std::runtime_error::runtime_error;
};
// A device did not answer, refused or failed, or nothing could be sent:
// exit code 1.
struct Failure : std::runtime_error
{
    using std::runtime_error::runtime_error;
};

struct IpSettings
{
    std::string id, interface, ip, mask, gateway;
    bool dhcp = false;
};

struct LibraryOptions
{
    std::vector<std::string> interfaces; // empty: the library's choice
    bool verbose = false;                // the library's log lines on stderr
};

struct DiscoveryPlan
{
    double timeoutS = 2.5;
    bool broadcast = true;
    std::vector<site::Range> targets;      // merged; asked one by one
    double rate = site::kDefaultSweepRate; // requests per second to the targets
    // ends the run early once it returns true
    std::function<bool(const std::vector<FoundDevice> &)> enough;
};

class Library
{
public:
    // Sets TVP_INTERFACES from the options, then starts the library.
    // Throws UsageError for an interface that does not exist, Failure when
    // the library cannot start or uses none of the named interfaces.
    explicit Library(const LibraryOptions &options);
    ~Library();
    Library(const Library &) = delete;
    Library &operator=(const Library &) = delete;

    // Delivers events until `until`, or until `done` returns true.
    void Pump(Clock::time_point until, const std::function<bool()> &done = {});

    // The discovery cycle, or a sweep of targets, or both; one entry per
    // device ID, the first answer's, probed once; IDs that share an
    // address are marked (among the devices found before an early end).
    std::vector<FoundDevice> Discover(const DiscoveryPlan &plan);

    // Repeats a discovery broadcast and a Discover to each address once a
    // second until every address has answered or the time is up; returns
    // the addresses that answered.
    std::vector<std::string> AwaitAnswers(const std::vector<std::string> &addresses, double timeoutS);

    const std::string &InterfaceNames() const { return names_; }
    // Throws Failure, saying why, when the library uses no interface.
    void RequireInterfaces() const;

    // Events since the last Take...(); filled while Pump runs. Discover
    // takes the discovery answers of its own run.
    std::vector<IpSettings> TakeGetIPReplies();
    std::vector<std::pair<std::string, std::string>> TakeSetIPReplies(); // ID, address
    std::vector<FoundDevice> TakeFound();

    // GetIP and SetIP of a device by ID: on the links in use when `at` is
    // empty, else by unicast to `at`, a device's address behind a router.
    // 0 when sent; otherwise nothing was sent (-v says why).
    int RequestSettings(const std::string &id, const std::string &at);
    int SendSettings(const std::string &id, const std::string &at, const IpSettings &settings);
    // Whether a device that answered a discovery at `ip` answers the probe
    // there; `named`: an address the user named, behind a router perhaps.
    bool Answers(const std::string &ip, bool named);
    // What the address checks of TVPAddressesInUse find at addresses on the
    // subnet of an interface (an Interface text), in their order; nullopt
    // when the library knows no such interface.
    std::optional<std::vector<int>> AddressesInUse(const std::string &interfaceText,
                                                   const std::vector<std::string> &addresses);

private:
    int handle_ = -1; // the library's event handle: a descriptor, or a SOCKET on Windows
    std::string names_;
    std::string noInterface_; // why none is in use
    bool waitFailed_ = false; // said once
};

// A transfer's progress, written by the upgrade events of the thread that
// runs it (the library delivers them on the calling thread).
struct UploadProgress
{
    std::atomic<int64_t> total{-1}; // -1: not started
    std::atomic<int64_t> position{0};
};
UploadProgress *CurrentUpload();
void SetCurrentUpload(UploadProgress *progress); // for this thread

// Canonical ID text ("00:1A:..."), empty for a malformed one.
std::string CanonicalId(const std::string &text);

// What a command by ID says when no broadcast found the device.
std::string BehindARouterHint();

} // namespace cli
