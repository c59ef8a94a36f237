// SPDX-License-Identifier: MIT
#include "uploadthreads.h"

#include <QFile>

#include <atomic>
#include <thread>

#include "tvp.h"
#include "tvpinterface.h"

struct TUploadThreads::Transfer final : TUpgradeSink, std::enable_shared_from_this<Transfer>
{
    Transfer(TUploadThreads *o, int j)
        : owner(o),
          job(j)
    {}

    // On the upload's thread.
    void UpgradeEvent(const TVPUpgradeRecord &Record) override
    {
        if (Record.Kind == TVPUpgradeStarted) {
            position = 0;
            total = Record.Value;
        } else if (Record.Kind == TVPUpgradeProgress) {
            position = Record.Value;
        } else {
            return;
        }
        if (posted.exchange(true))
            return;
        QMetaObject::invokeMethod(
            owner,
            [self = shared_from_this()] {
                self->posted = false;
                emit self->owner->Progress(self->job, self->position, self->total);
            },
            Qt::QueuedConnection);
    }

    TUploadThreads *const owner;
    const int job;
    std::atomic<qint64> total{-1};
    std::atomic<qint64> position{0};
    std::atomic<bool> posted{false};
    std::thread thread;
};

TUploadThreads::TUploadThreads(QObject *parent)
    : QObject(parent)
{}

TUploadThreads::~TUploadThreads()
{
    for (const auto &t : Transfers)
        if (t->thread.joinable())
            t->thread.join();
}

void TUploadThreads::Start(int Job, const QString &FileName, const QString &Address)
{
    auto transfer = std::make_shared<Transfer>(this, Job);
    Transfers.insert(transfer);
    transfer->thread = std::thread([this, transfer, path = QFile::encodeName(FileName), address = Address.toUtf8()] {
        SetThreadUpgradeSink(transfer.get());
        const int result = TVPUpgradeDevice(path.constData(), address.constData());
        SetThreadUpgradeSink(nullptr);
        QMetaObject::invokeMethod(
            this, [this, transfer, result] { Ended(transfer, result); }, Qt::QueuedConnection);
    });
}

void TUploadThreads::Ended(const std::shared_ptr<Transfer> &Done, int Result)
{
    // its last step is posting this: the join is at once
    if (Done->thread.joinable())
        Done->thread.join();
    Transfers.erase(Done);
    emit Finished(Done->job, Result);
}
