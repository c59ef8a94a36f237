// SPDX-License-Identifier: MIT
#pragma once

#include <QDialog>
#include <QList>
#include <QString>

#include <vector>

#include "plan.h"
#include "plan_check.h"
#include "tvpinterface.h"

namespace Ui {
class TAddressPlanForm;
}

class TPlanRows;
class TPlanRun;
class TPlanSurvey;
class TWorker;

// Tools > Address Plan...: a plan read from a file or made from an address
// for the devices found, checked line by line against the site, then
// applied with every device verified at its new address and rolled back
// when it does not come back; each row shows its state as it goes. The
// event loop stays free: discovery and apply run on it in small steps, the
// address checks on a worker thread.
class TAddressPlanForm final : public QDialog
{
    Q_OBJECT

public:
    explicit TAddressPlanForm(TTVPInterface *Protocol, QWidget *parent = nullptr);
    ~TAddressPlanForm() override;
    TAddressPlanForm(const TAddressPlanForm &) = delete;
    TAddressPlanForm &operator=(const TAddressPlanForm &) = delete;

    // The main list's devices: their types to choose from, and those behind
    // a router among them to ask at their addresses.
    void SetListedDevices(const QList<TDeviceInfo> &Devices);

    // The file steps of the buttons, once a name is chosen; false, having
    // told the user why, when they fail.
    bool OpenPlanFile(const QString &Path);
    bool SavePlanFile(const QString &Path);
    bool SaveResultsFile(const QString &Path);

    // From Check, Apply or Make Plan until its end.
    bool IsBusy() const { return Task != TTask::None; }

signals:
    // An apply has ended: devices may answer at new addresses.
    void PlanApplied();

public slots:
    void OpenButtonClick();
    void SavePlanButtonClick();
    void MakeButtonClick();
    void CheckButtonClick();
    void ApplyButtonClick();
    void SaveResultsButtonClick();
    void UpdateState();
    void reject() override;

private:
    enum class TTask { None, Checking, Applying, Making };

    void StartSurvey(TTask Next);
    void SurveyFinished();
    void CheckFound();
    void ChecksDone(std::vector<site::LineCheck> Checks);
    void StartApply(const std::vector<site::LineCheck> &Checks);
    void ApplyLines(const std::vector<site::LineCheck> &Checks);
    void DeviceChanged(int Index);
    void ApplyFinished();
    void MakeFromFound();
    void Finish(const QString &Status);
    void SetPlan(std::vector<site::PlanLine> Lines, site::Format Format);
    QString AskFileName(bool Save, const QString &Title, const QString &Suggested);
    bool ConfirmDiscard();
    bool WriteFile(const QString &Path, const std::string &Text);

    Ui::TAddressPlanForm *ui;
    TTVPInterface *Protocol;
    TPlanRows *Rows;
    TPlanSurvey *Survey;
    TWorker *Worker;
    TPlanRun *Run;
    TTask Task = TTask::None;
    QList<TDeviceInfo> Listed;
    site::Format PlanFormat = site::Format::Csv;
    QString PlanPath;
    // Make Plan's request, as read when it was pressed
    uint32_t MakeFrom = 0, MakeGateway = 0;
    QString MakeType, MakeName;
    // apply target i is row TargetRows[i]
    std::vector<size_t> TargetRows;
    int ApplyDone = 0;
    bool ResultsUnsaved = false;
};

extern TAddressPlanForm *AddressPlanForm;
