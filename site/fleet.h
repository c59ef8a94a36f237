// SPDX-License-Identifier: MIT
// The schedule of a fleet upgrade: which uploads start when, the upgrade
// dialog's retry rule for each device, and the check that every upgraded
// device answers a discovery again. Its driver makes the library calls and
// tells it what came back and the time.
#pragma once

#include <chrono>
#include <cstddef>
#include <string>
#include <vector>

namespace site {

using Clock = std::chrono::steady_clock;
using Time = Clock::time_point;

struct FleetSettings
{
    int jobs = 4; // uploads running at once; a device in its retry pause holds none
    // A first "no answer, or the device is busy" is tried once more after
    // this pause, as the upgrade dialog does; the devices expect it.
    std::chrono::milliseconds retryPause{10000};
    // How long the upgraded devices have to answer a discovery again, from
    // the end of the last upload.
    std::chrono::milliseconds answerTimeout{60000};
    // Discovery rounds while some have not answered yet.
    std::chrono::milliseconds askEvery{1000};
};

enum class Upload {
    Queued,
    Sending,
    Pausing, // after a first "no answer or busy", before the second attempt
    Upgraded,
    Failed,
    NotStarted, // cancelled before its first or its second attempt
};

// Upgraded, failed or not started: nothing more will happen to its upload.
bool UploadEnded(Upload upload);

enum class Answer {
    NotAsked, // not upgraded: nothing to check
    Waiting,
    Answered,
    Silent,     // did not answer within the time
    NotChecked, // the wait was cancelled
};

struct FleetDevice
{
    Upload upload = Upload::Queued;
    int attempts = 0; // started so far: 0, 1 or 2
    int result = -1;  // the library's result of the last attempt that ended
    Time pauseEnds{}; // while Pausing
    Answer answer = Answer::NotAsked;
};

struct FleetStart
{
    size_t device;
    int attempt; // 1 or 2
    bool operator==(const FleetStart &) const = default;
};

// What the driver does now.
struct FleetStep
{
    std::vector<FleetStart> start; // uploads to start
    std::vector<size_t> ask;       // devices to ask with a discovery round
    bool done = false;             // nothing will happen any more
};

class FleetSchedule
{
public:
    FleetSchedule(size_t devices, FleetSettings settings);

    // Call at any time, and again whenever an upload ended, an answer came
    // in, or a little time has passed (a pause or a discovery round may be due).
    FleetStep Step(Time now);
    // An upload's attempt ended with the library's result.
    void Finished(size_t device, int result, Time now);
    // The device answered a discovery; counts only while it is awaited.
    void Answered(size_t device);
    // While uploading: starts nothing more (queued devices and pending
    // retries are not started; running uploads finish; the devices
    // upgraded are still checked). While checking the answers: ends the
    // wait at once.
    void Cancel();

    size_t Size() const { return devices_.size(); }
    const FleetDevice &Device(size_t device) const { return devices_.at(device); }
    const FleetSettings &Settings() const { return settings_; }
    // No new upload starts any more.
    bool Cancelled() const { return cancelled_; }
    bool Verifying() const { return phase_ == Phase::Verifying; }
    bool Done() const { return phase_ == Phase::Done; }
    // While verifying: when the awaited devices are given up on.
    Time AnswerDeadline() const { return deadline_; }

private:
    enum class Phase { Uploading, Verifying, Done };
    void StartUploads(Time now, FleetStep &step);
    void Verify(Time now, FleetStep &step);

    std::vector<FleetDevice> devices_;
    FleetSettings settings_;
    Phase phase_ = Phase::Uploading;
    bool cancelled_ = false;
    Time deadline_{};
    Time nextAsk_{};
};

// The words for a TVPUpgradeDevice result.
std::string UpgradeResultText(int result);

// A device's state in a few words, for its row: "Upgraded at the second
// attempt; answers again".
std::string OutcomeText(const FleetDevice &device, Time now, const FleetSettings &settings);

// The run in a few sentences; `names` labels each device ("Pump
// (10.0.0.5)") where the summary names one.
std::string SummaryText(const FleetSchedule &schedule, const std::vector<std::string> &names);

} // namespace site
