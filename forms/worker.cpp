// SPDX-License-Identifier: MIT
#include "worker.h"

#include <QThread>

#include <mutex>

namespace {

// The library's blocking calls are made from one worker at a time.
std::mutex &JobLock()
{
    static std::mutex lock;
    return lock;
}

} // namespace

TWorker::TWorker(QObject *parent)
    : QObject(parent)
{}

TWorker::~TWorker()
{
    Stop();
    // the threads must end before their objects go
    for (QThread *thread : Running) {
        thread->wait();
        delete thread;
    }
}

void TWorker::Run(Job work, std::function<void()> done)
{
    Stop();
    auto stop = std::make_shared<std::atomic<bool>>(false);
    StopFlag = stop;
    QThread *thread = QThread::create([work = std::move(work), stop] {
        std::lock_guard lock(JobLock());
        if (!*stop)
            work(*stop);
    });
    Current = thread;
    Running << thread;
    // finished comes from the job's thread; the handler runs on ours
    connect(thread, &QThread::finished, this, [this, thread, done = std::move(done)] {
        Running.removeOne(thread);
        thread->deleteLater();
        if (Current != thread)
            return; // stopped: its result is of no use
        Current = nullptr;
        if (done)
            done();
    });
    thread->start();
}

void TWorker::Stop()
{
    if (!Current)
        return;
    StopFlag->store(true);
    Current = nullptr;
}
