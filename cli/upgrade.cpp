// SPDX-License-Identifier: MIT
#include "upgrade.h"

#include "fleet.h"
#include "tvp.h"

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <memory>
#include <thread>

namespace cli {

namespace {

struct Job
{
    const UpgradeTarget *target = nullptr;
    UploadProgress progress;
    int result = -1;
    int attempts = 0;
    std::optional<bool> answers;
};

// One attempt's upload on a thread of its own: TVPUpgradeDevice blocks
// until the transfer ends.
struct Attempt
{
    std::thread thread;
    std::atomic<bool> ended{false};
    int result = -1;
};

void StartAttempt(Attempt &attempt, Job &job, const std::string &file)
{
    job.progress.total = -1;
    attempt.thread = std::thread([&attempt, &job, &file] {
        SetCurrentUpload(&job.progress);
        attempt.result = TVPUpgradeDevice(file.c_str(), job.target->ip.c_str());
        SetCurrentUpload(nullptr);
        attempt.ended.store(true);
    });
}

std::string Who(const UpgradeTarget &t)
{
    std::string who = t.ip.empty() ? t.target : t.ip;
    if (!t.name.empty())
        who += " (" + t.name + ")";
    else if (!t.id.empty() && t.id != t.target)
        who += " (" + t.id + ")";
    return who;
}

std::string Outcome(const Job &job)
{
    const UpgradeTarget &t = *job.target;
    std::string text;
    if (t.ip.empty())
        text = "failed: " + t.problem;
    else if (job.result == TVPUpgradeOK)
        text = job.attempts > 1 ? "upgraded at the second attempt" : "upgraded";
    else
        text =
            "failed: " + site::UpgradeResultText(job.result) + (job.attempts > 1 ? ", also at the second attempt" : "");
    if (job.answers)
        text += *job.answers ? "; answers again" : "; does not answer since";
    return text;
}

Record ToRecord(const Job &job)
{
    const UpgradeTarget &t = *job.target;
    auto textOrNone = [](const std::string &s) { return s.empty() ? Value{} : Value{s}; };
    Record r{{"target", t.target},
             {"ip", textOrNone(t.ip)},
             {"id", textOrNone(t.id)},
             {"name", textOrNone(t.name)},
             {"ok", !t.ip.empty() && job.result == TVPUpgradeOK},
             {"result", t.ip.empty() ? Value{} : Value{int64_t(job.result)}},
             {"attempts", int64_t(job.attempts)},
             {"message", t.ip.empty() ? t.problem : site::UpgradeResultText(job.result)}};
    if (job.answers)
        r.push_back({"answers", *job.answers});
    return r;
}

std::string Bar(const Job &job, const site::FleetDevice &device)
{
    const std::string who = Who(*job.target).substr(0, 34);
    std::string line = who + std::string(36 - who.size(), ' ');
    if (device.upload == site::Upload::Pausing) {
        const auto left = std::chrono::ceil<std::chrono::seconds>(device.pauseEnds - Clock::now()).count();
        return line + "busy, trying again in " + std::to_string(std::max<int64_t>(0, left)) + " s";
    }
    const int64_t total = job.progress.total, position = job.progress.position;
    if (total < 0)
        return line + "connecting";
    const int percent = total > 0 ? int(std::min<int64_t>(100, position * 100 / total)) : 100;
    const int filled = percent * 30 / 100;
    return line + "[" + std::string(size_t(filled), '#') + std::string(size_t(30 - filled), '-') + "] " +
           std::to_string(percent) + "%";
}

bool Uploading(const site::FleetDevice &device)
{
    return device.upload == site::Upload::Sending || device.upload == site::Upload::Pausing;
}

// Uploads to the resolved jobs as the fleet schedule starts them (a device
// in its retry pause holds no slot), pumping the library's events and
// drawing the progress bars meanwhile; text outcomes are printed as
// transfers end when `live`.
void RunJobs(Library &library, const std::vector<Job *> &jobs, const UpgradeSettings &settings, bool live,
             std::ostream &out)
{
    site::FleetSettings fleet;
    fleet.jobs = settings.jobs;
    site::FleetSchedule schedule(jobs.size(), fleet);
    std::vector<std::unique_ptr<Attempt>> running(jobs.size());
    std::vector<bool> reported(jobs.size(), false);
    int drawn = 0;
    for (;;) {
        const auto now = Clock::now();
        for (size_t i = 0; i < jobs.size(); ++i) {
            if (!running[i] || !running[i]->ended.load())
                continue;
            running[i]->thread.join();
            schedule.Finished(i, running[i]->result, now);
            running[i].reset();
        }
        for (const site::FleetStart &start : schedule.Step(now).start) {
            running[start.device] = std::make_unique<Attempt>();
            StartAttempt(*running[start.device], *jobs[start.device], settings.file);
        }
        // --verify asks in its own way once every upload has ended
        if (schedule.Verifying())
            schedule.Cancel();
        if (settings.progress && drawn > 0) {
            std::fprintf(stderr, "\033[%dF\033[J", drawn);
            drawn = 0;
        }
        for (size_t i = 0; i < jobs.size(); ++i) {
            const site::FleetDevice &device = schedule.Device(i);
            if (reported[i] || !site::UploadEnded(device.upload))
                continue;
            reported[i] = true;
            jobs[i]->result = device.result;
            jobs[i]->attempts = device.attempts;
            if (live)
                out << Who(*jobs[i]->target) << ": " << Outcome(*jobs[i]) << std::endl;
        }
        if (settings.progress) {
            for (size_t i = 0; i < jobs.size(); ++i) {
                if (!Uploading(schedule.Device(i)))
                    continue;
                std::fprintf(stderr, "%s\n", Bar(*jobs[i], schedule.Device(i)).c_str());
                ++drawn;
            }
            std::fflush(stderr);
        }
        if (schedule.Done())
            break;
        library.Pump(now + std::chrono::milliseconds(100));
    }
    if (settings.progress && drawn > 0)
        std::fprintf(stderr, "\033[%dF\033[J", drawn);
}

// --verify: whether each upgraded device answers again.
void Verify(Library &library, std::vector<std::unique_ptr<Job>> &jobs, double timeoutS)
{
    std::vector<std::string> addresses;
    for (const auto &job : jobs)
        if (!job->target->ip.empty())
            addresses.push_back(job->target->ip);
    const auto answered = library.AwaitAnswers(addresses, timeoutS);
    for (auto &job : jobs)
        job->answers =
            !job->target->ip.empty() && std::find(answered.begin(), answered.end(), job->target->ip) != answered.end();
}

} // namespace

int RunUpgrades(Library &library, const std::vector<UpgradeTarget> &targets, const UpgradeSettings &settings,
                std::ostream &out)
{
    std::vector<std::unique_ptr<Job>> jobs;
    std::vector<Job *> resolved;
    for (const auto &t : targets) {
        jobs.push_back(std::make_unique<Job>());
        jobs.back()->target = &t;
        if (!t.ip.empty())
            resolved.push_back(jobs.back().get());
    }
    // outcomes are printed as transfers end, unless the verification adds to them
    const bool live = settings.format == Format::Text && !settings.verify;
    if (live)
        for (const auto &job : jobs)
            if (job->target->ip.empty())
                out << Who(*job->target) << ": " << Outcome(*job) << std::endl;
    RunJobs(library, resolved, settings, live, out);
    if (settings.verify)
        Verify(library, jobs, settings.verifyTimeoutS);

    int exitCode = 0;
    std::vector<Record> records;
    for (const auto &job : jobs) {
        const bool ok = !job->target->ip.empty() && job->result == TVPUpgradeOK && job->answers.value_or(true);
        if (!ok)
            exitCode = 1;
        records.push_back(ToRecord(*job));
        if (settings.format == Format::Text && !live)
            out << Who(*job->target) << ": " << Outcome(*job) << "\n";
    }
    if (settings.format != Format::Text) {
        std::vector<Column> columns;
        for (const char *key : {"target", "ip", "id", "name", "ok", "result", "attempts", "message"})
            columns.push_back({key, key});
        if (settings.verify)
            columns.push_back({"answers", "answers"});
        PrintList(out, records, columns, settings.format);
    }
    out.flush();
    return exitCode;
}

} // namespace cli
