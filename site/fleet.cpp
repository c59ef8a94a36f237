// SPDX-License-Identifier: MIT
#include "fleet.h"

#include "tvp.h"

#include <algorithm>

namespace site {

bool UploadEnded(Upload upload)
{
    return upload == Upload::Upgraded || upload == Upload::Failed || upload == Upload::NotStarted;
}

FleetSchedule::FleetSchedule(size_t devices, FleetSettings settings)
    : devices_(devices),
      settings_(settings)
{
    settings_.jobs = std::max(1, settings_.jobs);
}

FleetStep FleetSchedule::Step(Time now)
{
    FleetStep step;
    if (phase_ == Phase::Uploading)
        StartUploads(now, step);
    if (phase_ == Phase::Verifying)
        Verify(now, step);
    step.done = phase_ == Phase::Done;
    return step;
}

void FleetSchedule::StartUploads(Time now, FleetStep &step)
{
    int running = int(std::count_if(devices_.begin(), devices_.end(),
                                    [](const FleetDevice &d) { return d.upload == Upload::Sending; }));
    // a retry whose pause is over goes before a device's first attempt
    for (size_t i = 0; i < devices_.size() && running < settings_.jobs && !cancelled_; ++i) {
        FleetDevice &d = devices_[i];
        if (d.upload == Upload::Pausing && now >= d.pauseEnds) {
            d.upload = Upload::Sending;
            d.attempts = 2;
            step.start.push_back({i, 2});
            ++running;
        }
    }
    for (size_t i = 0; i < devices_.size() && running < settings_.jobs && !cancelled_; ++i) {
        FleetDevice &d = devices_[i];
        if (d.upload == Upload::Queued) {
            d.upload = Upload::Sending;
            d.attempts = 1;
            step.start.push_back({i, 1});
            ++running;
        }
    }
    const bool busy =
        std::any_of(devices_.begin(), devices_.end(), [](const FleetDevice &d) { return !UploadEnded(d.upload); });
    if (busy)
        return;
    bool upgraded = false;
    for (FleetDevice &d : devices_) {
        if (d.upload == Upload::Upgraded) {
            d.answer = Answer::Waiting;
            upgraded = true;
        }
    }
    // a cancel stopped new uploads only: the devices flashed are still checked
    phase_ = upgraded ? Phase::Verifying : Phase::Done;
    deadline_ = now + settings_.answerTimeout;
    nextAsk_ = now;
}

void FleetSchedule::Verify(Time now, FleetStep &step)
{
    std::vector<size_t> waiting;
    for (size_t i = 0; i < devices_.size(); ++i)
        if (devices_[i].answer == Answer::Waiting)
            waiting.push_back(i);
    if (waiting.empty()) {
        phase_ = Phase::Done;
        return;
    }
    if (now >= deadline_) {
        for (size_t i : waiting)
            devices_[i].answer = Answer::Silent;
        phase_ = Phase::Done;
        return;
    }
    if (now >= nextAsk_) {
        step.ask = std::move(waiting);
        nextAsk_ = now + settings_.askEvery;
    }
}

void FleetSchedule::Finished(size_t device, int result, Time now)
{
    FleetDevice &d = devices_.at(device);
    if (d.upload != Upload::Sending)
        return;
    d.result = result;
    if (result == TVPUpgradeOK) {
        d.upload = Upload::Upgraded;
    } else if (result == TVPUpgradeNoAnswer && d.attempts == 1) {
        d.upload = cancelled_ ? Upload::NotStarted : Upload::Pausing;
        d.pauseEnds = now + settings_.retryPause;
    } else {
        d.upload = Upload::Failed;
    }
}

void FleetSchedule::Answered(size_t device)
{
    FleetDevice &d = devices_.at(device);
    if (phase_ == Phase::Verifying && d.answer == Answer::Waiting)
        d.answer = Answer::Answered;
}

void FleetSchedule::Cancel()
{
    if (phase_ == Phase::Verifying) {
        for (FleetDevice &d : devices_)
            if (d.answer == Answer::Waiting)
                d.answer = Answer::NotChecked;
        phase_ = Phase::Done;
        return;
    }
    if (phase_ == Phase::Done)
        return;
    cancelled_ = true;
    for (FleetDevice &d : devices_)
        if (d.upload == Upload::Queued || d.upload == Upload::Pausing)
            d.upload = Upload::NotStarted;
}

std::string UpgradeResultText(int result)
{
    switch (result) {
    case TVPUpgradeOK: return "done";
    case TVPUpgradeNoAnswer: return "no answer, or the device is busy";
    case TVPUpgradeFileError: return "the image file cannot be read";
    case TVPUpgradeBadAddress: return "not a device address";
    case TVPUpgradeDeviceError: return "the device refused the image";
    case TVPUpgradeStalled: return "the device stopped answering during the transfer";
    case TVPUpgradeLocalError: return "no local socket for the transfer";
    default: return "library result " + std::to_string(result);
    }
}

namespace {

std::string Seconds(std::chrono::milliseconds ms)
{
    // rounded up: "in 1 s" until the moment itself
    return std::to_string((std::max<int64_t>(0, ms.count()) + 999) / 1000) + " s";
}

std::string AnswerText(const FleetDevice &d, const FleetSettings &settings)
{
    switch (d.answer) {
    case Answer::Waiting: return "; waiting for it to answer again";
    case Answer::Answered: return "; answers again";
    case Answer::Silent: return "; did not answer again within " + Seconds(settings.answerTimeout);
    case Answer::NotChecked: return "; not checked whether it answers again (cancelled)";
    case Answer::NotAsked: break;
    }
    return {};
}

} // namespace

std::string OutcomeText(const FleetDevice &d, Time now, const FleetSettings &settings)
{
    const bool second = d.attempts > 1;
    switch (d.upload) {
    case Upload::Queued: return "Waiting for its turn";
    case Upload::Sending: return second ? "Sending (second attempt)" : "Sending";
    case Upload::Pausing:
        return "No answer, or busy: trying again in " +
               Seconds(std::chrono::duration_cast<std::chrono::milliseconds>(d.pauseEnds - now));
    case Upload::Upgraded: return (second ? "Upgraded at the second attempt" : "Upgraded") + AnswerText(d, settings);
    case Upload::Failed:
        return "Failed: " + UpgradeResultText(d.result) + (second ? ", also at the second attempt" : "");
    case Upload::NotStarted:
        return d.attempts == 0 ? "Not started (cancelled)" : "No answer, or busy; the second attempt was cancelled";
    }
    return {};
}

namespace {

std::string Join(const std::vector<std::string> &names)
{
    std::string text;
    for (const std::string &n : names)
        text += (text.empty() ? "" : ", ") + n;
    return text;
}

std::string Count(size_t n, const char *one, const char *many)
{
    return std::to_string(n) + " " + (n == 1 ? one : many);
}

} // namespace

std::string SummaryText(const FleetSchedule &s, const std::vector<std::string> &names)
{
    size_t upgraded = 0, second = 0, failed = 0, notStarted = 0, sending = 0, pausing = 0, queued = 0;
    std::vector<std::string> silent, waiting, unchecked;
    for (size_t i = 0; i < s.Size(); ++i) {
        const FleetDevice &d = s.Device(i);
        const std::string &name = i < names.size() ? names[i] : std::string();
        switch (d.upload) {
        case Upload::Upgraded:
            ++upgraded;
            second += d.attempts > 1;
            break;
        case Upload::Failed: ++failed; break;
        case Upload::NotStarted: ++notStarted; break;
        case Upload::Sending: ++sending; break;
        case Upload::Pausing: ++pausing; break;
        case Upload::Queued: ++queued; break;
        }
        if (d.answer == Answer::Silent)
            silent.push_back(name);
        else if (d.answer == Answer::Waiting)
            waiting.push_back(name);
        else if (d.answer == Answer::NotChecked)
            unchecked.push_back(name);
    }
    std::string text = Count(s.Size(), "device", "devices") + ": " + std::to_string(upgraded) + " upgraded";
    if (second)
        text += " (" + std::to_string(second) + " at the second attempt)";
    text += ", " + std::to_string(failed) + " failed";
    if (notStarted)
        text += ", " + std::to_string(notStarted) + " not started (cancelled)";
    if (sending + pausing + queued)
        text += "; " + std::to_string(sending) + " sending, " + std::to_string(pausing) + " waiting to try again, " +
                std::to_string(queued) + " queued";
    text += ".";
    if (!waiting.empty())
        text += " Waiting for " + Count(waiting.size(), "upgraded device", "upgraded devices") +
                " to answer a discovery again.";
    if (s.Done() && upgraded > 0 && silent.empty() && unchecked.empty())
        text += upgraded == 1 ? " It answers again." : " All " + std::to_string(upgraded) + " answer again.";
    if (!silent.empty())
        text += " Did not answer again within " + Seconds(s.Settings().answerTimeout) + ": " + Join(silent) + ".";
    if (!unchecked.empty())
        text += " Not checked whether they answer again (cancelled): " + Join(unchecked) + ".";
    return text;
}

} // namespace site
