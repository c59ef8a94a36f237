// SPDX-License-Identifier: MIT
#include "networkdiagnosis.h"
#include "ui_networkdiagnosis.h"

#include <QClipboard>
#include <QGuiApplication>
#include <QThread>
#include <QTime>
#include <QTimer>

#include "diagnosis.h"

TNetworkDiagnosisForm *NetworkDiagnosisForm = nullptr;

namespace {

// The command line's cycle: five broadcasts 500 ms apart, the first at the
// start and four on the ticks after it; answers count until the fifth tick,
// 2.5 s after the first.
constexpr int TickMs = 500;
constexpr int BroadcastsAfterFirst = 4;
constexpr int LastTick = 5;

QString Joined(const std::vector<std::string> &names)
{
    QStringList list;
    for (const auto &n : names)
        list << QString::fromStdString(n);
    return list.join(QStringLiteral(", "));
}

} // namespace

// What the readings' thread hands back.
struct TNetworkDiagnosisForm::Outcome
{
    site::DoctorReport report;
    std::string text;
};

TNetworkDiagnosisForm::TNetworkDiagnosisForm(TTVPInterface *Protocol, QWidget *parent)
    : QDialog(parent),
      ui(new Ui::TNetworkDiagnosisForm),
      Protocol(Protocol),
      Cycle(new QTimer(this))
{
    ui->setupUi(this);
    Cycle->setObjectName(QStringLiteral("Cycle"));
    Cycle->setInterval(TickMs);
    Cycle->setTimerType(Qt::PreciseTimer);
    connect(Cycle, &QTimer::timeout, this, &TNetworkDiagnosisForm::CycleTick);
    if (Protocol)
        connect(Protocol, &TTVPInterface::DeviceEvent, this, &TNetworkDiagnosisForm::DeviceEvent);
    UpdateState();
}

TNetworkDiagnosisForm::~TNetworkDiagnosisForm()
{
    if (NetworkDiagnosisForm == this)
        NetworkDiagnosisForm = nullptr;
    if (Worker) {
        Worker->wait();
        delete Worker;
    }
    delete ui;
}

QString TNetworkDiagnosisForm::ReportText() const
{
    return ui->ReportText->toPlainText();
}

void TNetworkDiagnosisForm::RunAgainButtonClick()
{
    if (IsRunning())
        return;
    Run = std::make_shared<cli::DiagnosisRun>();
    Found.clear();
    FoundIDs.clear();
    ui->ReportText->clear();
    LibraryStarted = Run->Begin();
    if (!Protocol || !LibraryStarted || Run->Used().empty()) {
        // nothing to discover on: the findings say why
        ReadSystem();
        return;
    }
    Stage = Discovering;
    Ticks = 0;
    ui->StatusLabel->setText(QStringLiteral("Searching for devices on %1...").arg(Joined(Run->Used())));
    Protocol->Discover();
    Cycle->start();
    UpdateState();
}

void TNetworkDiagnosisForm::CycleTick()
{
    Run->Poll();
    ++Ticks;
    if (Ticks <= BroadcastsAfterFirst)
        Protocol->Discover();
    if (Ticks >= LastTick) {
        Cycle->stop();
        ReadSystem();
    }
}

void TNetworkDiagnosisForm::DeviceEvent(uint32_t Code, const TDeviceInfo &Info)
{
    if (Stage != Discovering || Code != TVPEventDeviceFound || FoundIDs.contains(Info.ID))
        return;
    FoundIDs.insert(Info.ID);
    Found.push_back({Info.ID.toStdString(), Info.Name.toStdString(), Info.IPAddress.toStdString(),
                     Info.Interface.toStdString(), false});
}

void TNetworkDiagnosisForm::ReadSystem()
{
    Stage = Reading;
    ui->StatusLabel->setText(QStringLiteral("Reading the PC's network settings..."));
    Result = std::make_shared<Outcome>();
    // the worker owns these until it ends; the window touches none meanwhile
    Worker = QThread::create([run = Run, devices = Found, started = LibraryStarted, result = Result]() mutable {
        // the library probed each device as its answer came in: at once
        for (auto &d : devices)
            d.reachable = PingDevice(QString::fromStdString(d.ip));
        const site::DoctorFacts facts = run->Finish(devices, started);
        result->report = site::Diagnose(facts);
        result->text = cli::DoctorText(facts, result->report);
    });
    Worker->setObjectName(QStringLiteral("DiagnosisReadings"));
    connect(Worker, &QThread::finished, this, &TNetworkDiagnosisForm::ShowResult);
    Worker->start();
    UpdateState();
}

void TNetworkDiagnosisForm::ShowResult()
{
    delete Worker;
    Worker = nullptr;
    Run.reset(); // the capture closes
    LastReport = Result->report;
    ui->ReportText->setPlainText(QString::fromStdString(Result->text));
    Result.reset();
    const size_t count = LastReport.findings.size();
    ui->StatusLabel->setText(QStringLiteral("Diagnosed at %1: %2 %3, the most likely cause first.")
                                 .arg(QTime::currentTime().toString(QStringLiteral("HH:mm:ss")))
                                 .arg(count)
                                 .arg(count == 1 ? QStringLiteral("finding") : QStringLiteral("findings")));
    Stage = Idle;
    UpdateState();
}

void TNetworkDiagnosisForm::CopyButtonClick()
{
    QGuiApplication::clipboard()->setText(ReportText());
}

void TNetworkDiagnosisForm::UpdateState()
{
    ui->RunAgainButton->setEnabled(!IsRunning());
    ui->CopyButton->setEnabled(!IsRunning() && !ReportText().isEmpty());
}
