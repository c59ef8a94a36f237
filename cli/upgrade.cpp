// SPDX-License-Identifier: MIT
#include "upgrade.h"

#include "fleet.h"
#include "tvp.h"

#include <algorithm>
#include <cstdio>
#include <memory>
#include <thread>

namespace cli {

namespace {

enum Phase { Queued, Sending, Pausing, Done };

struct Job
{
    const UpgradeTarget *target = nullptr;
    UploadProgress progress;
    std::atomic<int> phase{Queued};
    std::atomic<int64_t> pauseEndsMs{0}; // steady-clock milliseconds
    // written by the worker before phase turns Done
    int result = -1;
    int attempts = 0;
    std::optional<bool> answers;
};

int64_t NowMs()
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now().time_since_epoch()).count();
}

void Work(const std::string &file, std::vector<std::unique_ptr<Job>> &jobs, std::atomic<size_t> &next)
{
    for (;;) {
        const size_t i = next++;
        if (i >= jobs.size())
            return;
        Job &job = *jobs[i];
        if (job.target->ip.empty()) {
            job.phase.store(Done);
            continue;
        }
        SetCurrentUpload(&job.progress);
        job.phase = Sending;
        int r = TVPUpgradeDevice(file.c_str(), job.target->ip.c_str());
        job.attempts = 1;
        if (r == TVPUpgradeNoAnswer) {
            job.pauseEndsMs = NowMs() + std::chrono::milliseconds(kRetryPause).count();
            job.phase = Pausing;
            std::this_thread::sleep_for(kRetryPause);
            job.progress.total = -1;
            job.phase = Sending;
            r = TVPUpgradeDevice(file.c_str(), job.target->ip.c_str());
            job.attempts = 2;
        }
        SetCurrentUpload(nullptr);
        job.result = r;
        job.phase.store(Done);
    }
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

std::string Bar(const Job &job)
{
    const std::string who = Who(*job.target).substr(0, 34);
    std::string line = who + std::string(36 - who.size(), ' ');
    if (job.phase == Pausing) {
        const int64_t left = std::max<int64_t>(0, (job.pauseEndsMs - NowMs() + 999) / 1000);
        return line + "busy, trying again in " + std::to_string(left) + " s";
    }
    const int64_t total = job.progress.total, position = job.progress.position;
    if (total < 0)
        return line + "connecting";
    const int percent = total > 0 ? int(std::min<int64_t>(100, position * 100 / total)) : 100;
    const int filled = percent * 30 / 100;
    return line + "[" + std::string(size_t(filled), '#') + std::string(size_t(30 - filled), '-') + "] " +
           std::to_string(percent) + "%";
}

// Runs the jobs on `workers` threads, pumping the library's events and
// drawing the progress bars meanwhile; text outcomes are printed as
// transfers end when `live`.
void RunJobs(Library &library, std::vector<std::unique_ptr<Job>> &jobs, const UpgradeSettings &settings, bool live,
             std::ostream &out)
{
    std::atomic<size_t> next{0};
    std::vector<std::thread> workers;
    const size_t count = std::min<size_t>(size_t(std::max(1, settings.jobs)), jobs.size());
    for (size_t i = 0; i < count; ++i)
        workers.emplace_back(Work, std::cref(settings.file), std::ref(jobs), std::ref(next));

    std::vector<bool> reported(jobs.size(), false);
    int drawn = 0;
    size_t done = 0;
    while (done < jobs.size()) {
        library.Pump(Clock::now() + std::chrono::milliseconds(100));
        if (settings.progress && drawn > 0) {
            std::fprintf(stderr, "\033[%dF\033[J", drawn);
            drawn = 0;
        }
        for (size_t i = 0; i < jobs.size(); ++i) {
            if (reported[i] || jobs[i]->phase.load() != Done)
                continue;
            reported[i] = true;
            ++done;
            if (live)
                out << Who(*jobs[i]->target) << ": " << Outcome(*jobs[i]) << std::endl;
        }
        if (settings.progress) {
            for (const auto &job : jobs) {
                const int phase = job->phase.load();
                if (phase == Sending || phase == Pausing) {
                    std::fprintf(stderr, "%s\n", Bar(*job).c_str());
                    ++drawn;
                }
            }
            std::fflush(stderr);
        }
    }
    for (auto &w : workers)
        w.join();
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
    for (const auto &t : targets) {
        jobs.push_back(std::make_unique<Job>());
        jobs.back()->target = &t;
    }
    // outcomes are printed as transfers end, unless the verification adds to them
    const bool live = settings.format == Format::Text && !settings.verify;
    RunJobs(library, jobs, settings, live, out);
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
