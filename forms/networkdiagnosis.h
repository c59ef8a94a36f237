// SPDX-License-Identifier: MIT
#pragma once

#include <QDialog>
#include <QSet>
#include <QString>

#include <memory>
#include <vector>

#include "doctor.h"
#include "tvpinterface.h"

namespace Ui {
class TNetworkDiagnosisForm;
}

class QThread;
class QTimer;

namespace cli {
class DiagnosisRun;
}

// Tools > Network Diagnosis...: one discovery cycle through the protocol
// object, beside the main window's list, then why devices may not be
// found, as netscry-cli doctor says it: the findings first, then the
// interfaces and the devices, as text the user can select and copy. The
// system's readings (the firewall tool among them) are taken on a thread
// of their own, so the event loop never waits for them.
class TNetworkDiagnosisForm final : public QDialog
{
    Q_OBJECT

public:
    explicit TNetworkDiagnosisForm(TTVPInterface *Protocol, QWidget *parent = nullptr);
    // Waits for the readings' thread: it cannot be cut short.
    ~TNetworkDiagnosisForm() override;
    TNetworkDiagnosisForm(const TNetworkDiagnosisForm &) = delete;
    TNetworkDiagnosisForm &operator=(const TNetworkDiagnosisForm &) = delete;

    // From the first broadcast until the report shows.
    bool IsRunning() const { return Stage != Idle; }
    // The last report's text; empty before the first.
    QString ReportText() const;
    // The last report's findings.
    const site::DoctorReport &Report() const { return LastReport; }

public slots:
    // Starts a diagnosis unless one is running.
    void RunAgainButtonClick();
    void CopyButtonClick();

private:
    enum RunStage { Idle, Discovering, Reading };

    void CycleTick();
    void DeviceEvent(uint32_t Code, const TDeviceInfo &Info);
    void ReadSystem();
    void ShowResult();
    void UpdateState();

    Ui::TNetworkDiagnosisForm *ui;
    TTVPInterface *Protocol;
    QTimer *Cycle;
    QThread *Worker = nullptr;
    RunStage Stage = Idle;
    int Ticks = 0;
    bool LibraryStarted = false;

    // The run, handed to the worker once the cycle is over.
    struct Outcome;
    std::shared_ptr<cli::DiagnosisRun> Run;
    std::shared_ptr<Outcome> Result;
    std::vector<site::DoctorDevice> Found;
    QSet<QString> FoundIDs;
    site::DoctorReport LastReport;
};

extern TNetworkDiagnosisForm *NetworkDiagnosisForm;
