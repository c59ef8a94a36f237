// SPDX-License-Identifier: MIT
#include "addressplan.h"
#include "ui_addressplan.h"

#include <QFile>
#include <QFileDialog>
#include <QFileInfo>
#include <QHeaderView>
#include <QMessageBox>
#include <QSaveFile>

#include <algorithm>
#include <map>
#include <memory>
#include <set>

#include "address.h"
#include "apptitle.h"
#include "errors.h"
#include "glob.h"
#include "planrows.h"
#include "planrun.h"
#include "plansurvey.h"
#include "sitecalls.h"
#include "worker.h"

TAddressPlanForm *AddressPlanForm = nullptr;

namespace {

namespace wire = tvp::wire;

const int ColumnWidths[] = {125, 140, 110, 100, 200, 180};
// A plan of a thousand lines takes some 60 kB: a file far larger is no plan.
constexpr qint64 LargestPlan = qint64(16) << 20;
// Errors listed when a plan is refused; the user mends those first.
constexpr size_t ErrorsShown = 10;

QString Q(const std::string &text)
{
    return QString::fromStdString(text);
}

std::string S(const QString &text)
{
    return text.toStdString();
}

// A dotted quad typed into a field; 0 for an empty optional one.
uint32_t AddressField(const QString &Label, const QString &Text, bool Optional)
{
    const QString text = Text.trimmed();
    if (text.isEmpty() && Optional)
        return 0;
    const auto address = wire::ParseDottedQuad(S(text));
    if (!address || !wire::IsUnicast(*address))
        throw EInputError(S(Label + QStringLiteral(": \"") + text +
                            QStringLiteral("\" is not an address a device can hold; type one such as 10.1.0.100")));
    return *address;
}

site::Format FormatOf(const QString &Path)
{
    return Path.endsWith(QLatin1String(".json"), Qt::CaseInsensitive) ? site::Format::Json : site::Format::Csv;
}

QString Joined(const std::vector<std::string> &texts, const char *separator)
{
    QStringList list;
    for (const auto &t : texts)
        list << Q(t);
    return list.join(QLatin1String(separator));
}

} // namespace

TAddressPlanForm::TAddressPlanForm(TTVPInterface *Protocol, QWidget *parent)
    : QDialog(parent),
      ui(new Ui::TAddressPlanForm),
      Protocol(Protocol),
      Rows(new TPlanRows(this)),
      Survey(new TPlanSurvey(Protocol, this)),
      Worker(new TWorker(this)),
      Run(new TPlanRun(Protocol, this))
{
    ui->setupUi(this);
    ui->PlanTable->setModel(Rows);
    QHeaderView *header = ui->PlanTable->horizontalHeader();
    for (int c = 0; c < int(std::size(ColumnWidths)); ++c)
        header->resizeSection(c, ColumnWidths[c]);
    // a thousand rows: no measuring of each
    ui->PlanTable->verticalHeader()->setSectionResizeMode(QHeaderView::Fixed);

    connect(Survey, &TPlanSurvey::Progress, ui->Progress, &QProgressBar::setValue);
    connect(Survey, &TPlanSurvey::Finished, this, &TAddressPlanForm::SurveyFinished);
    connect(Run, &TPlanRun::DeviceChanged, this, &TAddressPlanForm::DeviceChanged);
    connect(Run, &TPlanRun::Finished, this, &TAddressPlanForm::ApplyFinished);
    ui->Status->setText(QStringLiteral("Open a plan, or plan the devices found from an address."));
    UpdateState();
}

TAddressPlanForm::~TAddressPlanForm()
{
    if (AddressPlanForm == this)
        AddressPlanForm = nullptr;
    delete ui;
}

void TAddressPlanForm::SetListedDevices(const QList<TDeviceInfo> &Devices)
{
    Listed = Devices;
    std::set<QString> types;
    for (const TDeviceInfo &d : Devices)
        types.insert(d.Type);
    const QString typed = ui->TypeFilter->currentText();
    ui->TypeFilter->clear();
    ui->TypeFilter->addItem(QString()); // every type
    for (const QString &t : types)
        ui->TypeFilter->addItem(t);
    ui->TypeFilter->setCurrentText(typed);
}

void TAddressPlanForm::UpdateState()
{
    const bool idle = Task == TTask::None;
    const bool lines = Rows->rowCount() > 0;
    for (QWidget *w : QList<QWidget *>{ui->OpenButton, ui->MakeButton, ui->FromAddress, ui->Gateway, ui->TypeFilter,
                                       ui->NameFilter, ui->Jobs, ui->VerifyTimeout})
        w->setEnabled(idle);
    for (QWidget *w : QList<QWidget *>{ui->SavePlanButton, ui->CheckButton, ui->ApplyButton})
        w->setEnabled(idle && lines);
    ui->SaveResultsButton->setEnabled(idle && !Rows->Results().empty());
    // an apply ends by itself, every device verified or rolled back
    ui->CloseButton->setEnabled(!Run->IsRunning());
}

void TAddressPlanForm::reject()
{
    if (Run->IsRunning()) {
        ui->Status->setText(QStringLiteral("The apply goes on until every device answers at its new address or "
                                           "has its old settings back; the window closes after that."));
        return;
    }
    if (IsBusy()) {
        Survey->Stop();
        Worker->Stop();
        Finish(QStringLiteral("Stopped; nothing was sent to the devices."));
    }
    QDialog::reject();
}

void TAddressPlanForm::Finish(const QString &Status)
{
    Task = TTask::None;
    ui->Progress->setRange(0, 100);
    ui->Progress->setValue(100);
    ui->Status->setText(Status);
    UpdateState();
}

// --- plans and results in files -----------------------------------------------------------

QString TAddressPlanForm::AskFileName(bool Save, const QString &Title, const QString &Suggested)
{
    QFileDialog dialog(this, Title);
    dialog.setObjectName(QStringLiteral("PlanFileDialog"));
    dialog.setAcceptMode(Save ? QFileDialog::AcceptSave : QFileDialog::AcceptOpen);
    dialog.setFileMode(Save ? QFileDialog::AnyFile : QFileDialog::ExistingFile);
#ifdef _WIN32
    const QString everyFile = QStringLiteral("All Files (*.*)");
#else
    const QString everyFile = QStringLiteral("All Files (*)");
#endif
    dialog.setNameFilters({QStringLiteral("Plans and results (*.csv *.json)"), everyFile});
    if (Save) {
        dialog.setDefaultSuffix(QStringLiteral("csv"));
        if (!Suggested.isEmpty())
            dialog.selectFile(Suggested);
    }
    if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty())
        return {};
    return dialog.selectedFiles().first();
}

bool TAddressPlanForm::ConfirmDiscard()
{
    if (!ResultsUnsaved)
        return true;
    QMessageBox box(QMessageBox::Question, windowTitle(),
                    QStringLiteral("The results of the last apply are not saved. Go on without them?"),
                    QMessageBox::Discard | QMessageBox::Cancel, this);
    box.setDefaultButton(QMessageBox::Cancel);
    return box.exec() == QMessageBox::Discard;
}

bool TAddressPlanForm::WriteFile(const QString &Path, const std::string &Text)
{
    QSaveFile file(Path);
    if (!file.open(QIODevice::WriteOnly) || file.write(Text.data(), qint64(Text.size())) != qint64(Text.size()) ||
        !file.commit()) {
        ShowException(QDir::toNativeSeparators(Path) + QStringLiteral(" cannot be written: ") + file.errorString());
        return false;
    }
    return true;
}

void TAddressPlanForm::OpenButtonClick()
{
    if (IsBusy() || !ConfirmDiscard())
        return;
    const QString path = AskFileName(false, QStringLiteral("Open a Plan"), PlanPath);
    if (!path.isEmpty())
        OpenPlanFile(path);
}

bool TAddressPlanForm::OpenPlanFile(const QString &Path)
{
    const QString name = QFileInfo(Path).fileName();
    QFile file(Path);
    if (!file.open(QIODevice::ReadOnly)) {
        ShowException(QDir::toNativeSeparators(Path) + QStringLiteral(" cannot be read: ") + file.errorString());
        return false;
    }
    if (file.size() > LargestPlan) {
        ShowException(name + QStringLiteral(" is too large for a plan; choose a CSV or JSON plan"));
        return false;
    }
    const QByteArray bytes = file.readAll();
    const site::ParsedPlan plan = site::ParsePlan(std::string_view(bytes.constData(), size_t(bytes.size())));
    if (!plan.errors.empty()) {
        QStringList shown;
        for (size_t i = 0; i < plan.errors.size() && i < ErrorsShown; ++i)
            shown << name + QStringLiteral(": ") + Q(plan.errors[i]);
        if (plan.errors.size() > ErrorsShown)
            shown << QStringLiteral("and %1 more").arg(plan.errors.size() - ErrorsShown);
        ShowException(QStringLiteral("The plan was not opened; mend these lines and open it again:\n") +
                      shown.join(QLatin1Char('\n')));
        return false;
    }
    if (plan.lines.empty()) {
        ShowException(name + QStringLiteral(" holds no device; write one line per device under the header "
                                            "id,ip,mask,gateway"));
        return false;
    }
    SetPlan(plan.lines, plan.format);
    PlanPath = Path;
    ui->Status->setText(
        QStringLiteral("%1 lines read from %2; Check them, or Apply.").arg(plan.lines.size()).arg(name));
    return true;
}

void TAddressPlanForm::SetPlan(std::vector<site::PlanLine> Lines, site::Format Format)
{
    Rows->SetLines(std::move(Lines));
    PlanFormat = Format;
    ResultsUnsaved = false;
    UpdateState();
}

void TAddressPlanForm::SavePlanButtonClick()
{
    if (IsBusy() || Rows->rowCount() == 0)
        return;
    const QString suggested = PlanPath.isEmpty() ? QStringLiteral("plan.csv") : PlanPath;
    const QString path = AskFileName(true, QStringLiteral("Save the Plan"), suggested);
    if (!path.isEmpty())
        SavePlanFile(path);
}

bool TAddressPlanForm::SavePlanFile(const QString &Path)
{
    if (!WriteFile(Path, site::WritePlan(Rows->Lines(), FormatOf(Path))))
        return false;
    PlanPath = Path;
    ui->Status->setText(QStringLiteral("The plan is saved in %1.").arg(QDir::toNativeSeparators(Path)));
    return true;
}

void TAddressPlanForm::SaveResultsButtonClick()
{
    if (IsBusy() || Rows->Results().empty())
        return;
    const QString path = AskFileName(true, QStringLiteral("Save the Results"), QStringLiteral("results.csv"));
    if (!path.isEmpty())
        SaveResultsFile(path);
}

bool TAddressPlanForm::SaveResultsFile(const QString &Path)
{
    if (!WriteFile(Path, site::WriteResults(Rows->Results(), FormatOf(Path))))
        return false;
    ResultsUnsaved = false;
    ui->Status->setText(QStringLiteral("The results are saved in %1.").arg(QDir::toNativeSeparators(Path)));
    return true;
}

// --- check, apply and make ------------------------------------------------------------------

void TAddressPlanForm::CheckButtonClick()
{
    if (!IsBusy() && Rows->rowCount() > 0)
        StartSurvey(TTask::Checking);
}

void TAddressPlanForm::ApplyButtonClick()
{
    if (!IsBusy() && Rows->rowCount() > 0 && ConfirmDiscard())
        StartSurvey(TTask::Applying);
}

void TAddressPlanForm::MakeButtonClick()
{
    if (IsBusy())
        return;
    RunHandler([this] {
        MakeFrom = AddressField(QStringLiteral("From"), ui->FromAddress->text(), false);
        MakeGateway = AddressField(QStringLiteral("Gateway"), ui->Gateway->text(), true);
        MakeType = ui->TypeFilter->currentText().trimmed();
        MakeName = ui->NameFilter->text().trimmed();
        if (ConfirmDiscard())
            StartSurvey(TTask::Making);
    });
}

void TAddressPlanForm::StartSurvey(TTask Next)
{
    Task = Next;
    if (Next != TTask::Making)
        Rows->SetChecking();
    ui->Progress->setRange(0, 100);
    ui->Progress->setValue(0);
    ui->Status->setText(QStringLiteral("Looking for the devices..."));
    UpdateState();
    Survey->Start(Listed);
}

void TAddressPlanForm::SurveyFinished()
{
    if (Task == TTask::Making)
        MakeFromFound();
    else if (Task != TTask::None)
        CheckFound();
}

void TAddressPlanForm::CheckFound()
{
    ui->Status->setText(
        QStringLiteral("%1 devices found; checking the planned addresses...").arg(Survey->Devices().size()));
    ui->Progress->setRange(0, 0);
    auto checks = std::make_shared<std::vector<site::LineCheck>>();
    Worker->Run([checks, lines = Rows->Lines(), devices = Survey->Devices(), pc = Survey->PcAddresses()](
                    const std::atomic<bool> &stop) { *checks = sitecalls::CheckLines(lines, devices, pc, stop); },
                [this, checks] { ChecksDone(std::move(*checks)); });
}

void TAddressPlanForm::ChecksDone(std::vector<site::LineCheck> Checks)
{
    ui->Progress->setRange(0, 100);
    Rows->SetChecks(Checks);
    if (Task == TTask::Applying)
        return StartApply(Checks);
    const auto problems = std::count_if(Checks.begin(), Checks.end(), [](const auto &c) { return !c.Passed(); });
    Finish(problems == 0 ? QStringLiteral("Every line passed the check.")
                         : QStringLiteral("%1 of %2 lines have problems; mend them in the plan and check again.")
                               .arg(problems)
                               .arg(Checks.size()));
}

void TAddressPlanForm::StartApply(const std::vector<site::LineCheck> &Checks)
{
    const auto passed = size_t(std::count_if(Checks.begin(), Checks.end(), [](const auto &c) { return c.Passed(); }));
    if (passed == 0)
        return Finish(QStringLiteral("No line passed the check; nothing was sent."));
    if (passed == Checks.size())
        return ApplyLines(Checks);
    // the command line's --force, asked; the event loop goes on meanwhile
    auto *box = new QMessageBox(QMessageBox::Question, windowTitle(),
                                QStringLiteral("%1 of %2 lines have problems (see the Check column). Apply the %3 "
                                               "lines that passed?")
                                    .arg(Checks.size() - passed)
                                    .arg(Checks.size())
                                    .arg(passed),
                                QMessageBox::Yes | QMessageBox::No, this);
    box->setObjectName(QStringLiteral("ApplyPassedBox"));
    box->setDefaultButton(QMessageBox::No);
    box->setAttribute(Qt::WA_DeleteOnClose);
    connect(box, &QMessageBox::finished, this, [this, box, Checks](int) {
        if (box->clickedButton() == box->button(QMessageBox::Yes))
            ApplyLines(Checks);
        else
            Finish(QStringLiteral("Nothing was sent; mend the lines with problems and apply again."));
    });
    box->open();
}

void TAddressPlanForm::ApplyLines(const std::vector<site::LineCheck> &Checks)
{
    std::vector<site::ApplyTarget> targets;
    TargetRows.clear();
    for (size_t i = 0; i < Checks.size(); ++i) {
        const site::LineCheck &c = Checks[i];
        if (!c.Passed()) {
            Rows->SetNotApplied(i, Joined(c.problems, "; "));
            continue;
        }
        targets.push_back({c.line.line, c.line.id, c.line.planned, c.device->routed ? c.device->ip : std::string()});
        TargetRows.push_back(i);
    }
    site::ApplyOptions options;
    options.jobs = size_t(ui->Jobs->value());
    options.verifyTimeout = std::chrono::seconds(ui->VerifyTimeout->value());
    ApplyDone = 0;
    ui->Progress->setRange(0, int(targets.size()));
    ui->Progress->setValue(0);
    ui->Status->setText(QStringLiteral("Applying: %1 devices, %2 at a time...").arg(targets.size()).arg(options.jobs));
    Run->Start(std::move(targets), options);
    UpdateState();
}

void TAddressPlanForm::DeviceChanged(int Index)
{
    const site::ApplyDevice &device = Run->Devices()[size_t(Index)];
    Rows->SetApplyState(TargetRows[size_t(Index)], device);
    if (device.phase == site::ApplyPhase::Done)
        ui->Progress->setValue(++ApplyDone);
}

void TAddressPlanForm::ApplyFinished()
{
    std::map<std::string, int> count;
    for (const auto &r : Rows->Results())
        ++count[r.outcome];
    ResultsUnsaved = true;
    Finish(QStringLiteral("%1 applied, %2 rolled back, %3 failed, %4 not applied. The main list is scanned again.")
               .arg(count["applied"])
               .arg(count["rolled back"])
               .arg(count["failed"])
               .arg(count["not applied"]));
    emit PlanApplied();
}

void TAddressPlanForm::MakeFromFound()
{
    site::MakeRequest request;
    for (const auto &d : Survey->Devices())
        if ((MakeType.isEmpty() || Q(d.type) == MakeType) &&
            (MakeName.isEmpty() || cli::GlobMatch(S(MakeName), d.name)))
            request.selected.push_back(d);
    if (request.selected.empty())
        return Finish(QStringLiteral("No device found matches the type and name given; none was planned."));
    request.found = Survey->Devices();
    request.pcAddresses = Survey->PcAddresses();
    request.from = MakeFrom;
    request.gateway = MakeGateway;
    ui->Status->setText(
        QStringLiteral("Looking for free addresses from %1...").arg(Q(wire::FormatDottedQuad(MakeFrom))));
    ui->Progress->setRange(0, 0);
    auto made = std::make_shared<site::MadePlan>();
    Worker->Run([made, request](const std::atomic<bool> &stop) { *made = sitecalls::MakeLines(request, stop); },
                [this, made] {
                    const QString leftOut = made->leftOut.empty() ? QString()
                                                                  : QStringLiteral(" Left out: ") +
                                                                        Joined(made->leftOut, "; ") + QLatin1Char('.');
                    if (made->lines.empty())
                        return Finish((made->error.empty() ? QStringLiteral("No device could be planned.")
                                                           : Q(made->error) + QLatin1Char('.')) +
                                      leftOut);
                    SetPlan(made->lines, site::Format::Csv);
                    PlanPath.clear();
                    Finish(QStringLiteral("%1 devices planned in name order; check the plan, or save it to edit it.")
                               .arg(made->lines.size()) +
                           leftOut);
                });
}
