// SPDX-License-Identifier: MIT
#pragma once

#include <QList>
#include <QObject>

#include <atomic>
#include <functional>
#include <memory>

class QThread;

// A job on a thread of its own, for library calls that block (the address
// checks) and the work that must follow them before a window may show a
// result; `done` then runs on this object's thread. Jobs run one after
// another, never two at once. A stopped job is left to end by itself: its
// result is dropped, and only the object's destruction waits for it, so a
// job never outlives the window that started it.
class TWorker final : public QObject
{
    Q_OBJECT

public:
    explicit TWorker(QObject *parent = nullptr);
    ~TWorker() override;
    TWorker(const TWorker &) = delete;
    TWorker &operator=(const TWorker &) = delete;

    using Job = std::function<void(const std::atomic<bool> &Stop)>;
    // `work` sees a flag that turns true when it should end early; it must
    // touch nothing but what it holds itself. `done` runs afterwards unless
    // Stop() came first. A running job is stopped first.
    void Run(Job work, std::function<void()> done);
    // The running job's `done` is dropped and the job asked to stop.
    void Stop();
    bool IsBusy() const { return Current != nullptr; }

private:
    QThread *Current = nullptr;
    std::shared_ptr<std::atomic<bool>> StopFlag;
    QList<QThread *> Running; // the current job and stopped ones not yet ended
};
