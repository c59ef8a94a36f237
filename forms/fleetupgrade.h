// SPDX-License-Identifier: MIT
#pragma once

#include <QDialog>
#include <QHash>
#include <QList>
#include <QString>

#include <chrono>
#include <cstdint>
#include <memory>
#include <vector>

#include "fleet.h"
#include "tvpinterface.h"

namespace Ui {
class TFleetUpgradeForm;
}

class QFileDialog;
class QTimer;
class QTreeWidgetItem;
class TUploadThreads;

// Upgrades the firmware of the devices the user checks, several at a time,
// each by the upgrade dialog's rule, then checks that each answers a
// discovery again. Nothing here waits on the event loop's thread: the
// uploads run on threads of their own.
class TFleetUpgradeForm final : public QDialog
{
    Q_OBJECT

public:
    // Rediscovery goes through Protocol, beside the main window's list.
    explicit TFleetUpgradeForm(TTVPInterface *Protocol, QWidget *parent = nullptr);
    ~TFleetUpgradeForm() override;
    TFleetUpgradeForm(const TFleetUpgradeForm &) = delete;
    TFleetUpgradeForm &operator=(const TFleetUpgradeForm &) = delete;

    enum Column { ColName = 0, ColType, ColIPAddress, ColID, ColProgress, ColOutcome };

    // The devices found, one row each, none checked; not while running.
    void SetDevices(const QList<TDeviceInfo> &Devices);
    // The retry pause and the time the devices have to answer again (10 s
    // and 60 s unless changed).
    void SetTiming(std::chrono::milliseconds RetryPause, std::chrono::milliseconds AnswerTimeout);
    // From Start until the last device has answered or been given up on.
    bool IsRunning() const;

public slots:
    void ChooseButtonClick();
    void StartButtonClick();
    void CancelButtonClick();
    void CheckShownButtonClick();
    void UncheckAllButtonClick();
    void FilterChanged();
    void UpdateState();
    void reject() override;

protected:
    void closeEvent(QCloseEvent *event) override;

private:
    struct Progress
    {
        qint64 position = 0;
        qint64 total = -1;
    };

    QList<QTreeWidgetItem *> RowsToUpgrade() const;
    void Advance();
    void UploadProgress(int Job, qint64 Position, qint64 Total);
    void UploadFinished(int Job, int Result);
    void DeviceEvent(uint32_t Code, const TDeviceInfo &Info);
    void ShowJob(size_t Job, site::Time Now);
    void ShowRunning(site::Time Now, bool PausesOnly = false);
    void FinishRun();
    void SetChecksEditable(bool Editable);
    QString Label(const QTreeWidgetItem *Row) const;

    Ui::TFleetUpgradeForm *ui;
    TTVPInterface *Protocol;
    TUploadThreads *Uploads;
    QTimer *Tick;
    QFileDialog *OpenDialog = nullptr;
    site::FleetSettings Settings;

    // The run: one job per device to upgrade, in row order.
    std::unique_ptr<site::FleetSchedule> Schedule;
    std::vector<QTreeWidgetItem *> JobRows;
    std::vector<Progress> JobProgress;
    QHash<QString, size_t> JobByID;
    QString RunFile;
};

extern TFleetUpgradeForm *FleetUpgradeForm;
