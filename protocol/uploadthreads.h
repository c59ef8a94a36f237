// SPDX-License-Identifier: MIT
#pragma once

#include <QObject>
#include <QString>

#include <memory>
#include <set>

// Firmware uploads on threads of their own, several at once (the library
// allows TVPUpgradeDevice on several threads). Each upload's progress and
// result come back on the owner's thread through queued signals, so no
// window is touched from a worker.
class TUploadThreads final : public QObject
{
    Q_OBJECT

public:
    explicit TUploadThreads(QObject *parent = nullptr);
    // Waits for the running uploads: the library call cannot be cut short.
    ~TUploadThreads() override;
    TUploadThreads(const TUploadThreads &) = delete;
    TUploadThreads &operator=(const TUploadThreads &) = delete;

    // One TVPUpgradeDevice call for `Job` on a thread of its own.
    void Start(int Job, const QString &FileName, const QString &Address);
    int Running() const { return int(Transfers.size()); }

signals:
    // Total is -1 until the transfer has started. At most one is on its way
    // per upload: a fast transfer cannot flood the event loop.
    void Progress(int Job, qint64 Position, qint64 Total);
    // The library's result; comes after the upload's last Progress.
    void Finished(int Job, int Result);

private:
    struct Transfer;
    void Ended(const std::shared_ptr<Transfer> &Done, int Result);

    std::set<std::shared_ptr<Transfer>> Transfers;
};
