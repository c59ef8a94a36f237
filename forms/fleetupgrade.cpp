// SPDX-License-Identifier: MIT
#include "fleetupgrade.h"
#include "ui_fleetupgrade.h"

#include <QApplication>
#include <QCloseEvent>
#include <QFileDialog>
#include <QFileInfo>
#include <QHeaderView>
#include <QKeyEvent>
#include <QMessageBox>
#include <QPainter>
#include <QStyledItemDelegate>
#include <QTimer>
#include <QTreeWidget>

#include <algorithm>
#include <set>

#include "log.h"
#include "upgrade.h"
#include "uploadthreads.h"

TFleetUpgradeForm *FleetUpgradeForm = nullptr;

namespace {

// A row's bar: 0 to 100, none when absent or negative.
constexpr int ProgressRole = Qt::UserRole;
// Pauses count down and late answers are looked at this often.
constexpr int TickMs = 250;

const int ColumnWidths[] = {170, 130, 95, 125, 110};

// Draws each row's progress as a bar: a widget per row would cost too
// much in a list of a thousand devices.
class TProgressDelegate final : public QStyledItemDelegate
{
public:
    using QStyledItemDelegate::QStyledItemDelegate;

    void paint(QPainter *painter, const QStyleOptionViewItem &option, const QModelIndex &index) const override
    {
        QStyledItemDelegate::paint(painter, option, index);
        const QVariant value = index.data(ProgressRole);
        if (!value.isValid() || value.toInt() < 0)
            return;
        QStyleOptionProgressBar bar;
        bar.initFrom(option.widget);
        bar.rect = option.rect.adjusted(2, 2, -2, -2);
        bar.state = option.state | QStyle::State_Horizontal;
        bar.minimum = 0;
        bar.maximum = 100;
        bar.progress = std::min(100, value.toInt());
        bar.textVisible = true;
        bar.text = QString::number(bar.progress) + QLatin1Char('%');
        QStyle *style = option.widget ? option.widget->style() : QApplication::style();
        style->drawControl(QStyle::CE_ProgressBar, &bar, painter, option.widget);
    }
};

// Space on a row checks or unchecks it, whichever column has the focus.
class TSpaceChecks final : public QObject
{
public:
    using QObject::QObject;

    bool eventFilter(QObject *watched, QEvent *event) override
    {
        auto *table = qobject_cast<QTreeWidget *>(watched);
        if (!table || event->type() != QEvent::KeyPress || static_cast<QKeyEvent *>(event)->key() != Qt::Key_Space)
            return false;
        QTreeWidgetItem *row = table->currentItem();
        if (row && (row->flags() & Qt::ItemIsUserCheckable))
            row->setCheckState(TFleetUpgradeForm::ColName, row->checkState(TFleetUpgradeForm::ColName) == Qt::Checked
                                                               ? Qt::Unchecked
                                                               : Qt::Checked);
        return true;
    }
};

} // namespace

TFleetUpgradeForm::TFleetUpgradeForm(TTVPInterface *Protocol, QWidget *parent)
    : QDialog(parent),
      ui(new Ui::TFleetUpgradeForm),
      Protocol(Protocol),
      Uploads(new TUploadThreads(this)),
      Tick(new QTimer(this))
{
    ui->setupUi(this);
    QHeaderView *header = ui->DeviceTable->header();
    for (int c = 0; c < int(std::size(ColumnWidths)); ++c)
        header->resizeSection(c, ColumnWidths[c]);
    ui->DeviceTable->setItemDelegateForColumn(ColProgress, new TProgressDelegate(ui->DeviceTable));
    ui->DeviceTable->installEventFilter(new TSpaceChecks(this));
    // a check box changed; the outcomes and bars of a run change the other columns
    connect(ui->DeviceTable, &QTreeWidget::itemChanged, this, [this](QTreeWidgetItem *, int Column) {
        if (Column == ColName)
            UpdateState();
    });

    connect(Uploads, &TUploadThreads::Progress, this, &TFleetUpgradeForm::UploadProgress);
    connect(Uploads, &TUploadThreads::Finished, this, &TFleetUpgradeForm::UploadFinished);
    if (Protocol)
        connect(Protocol, &TTVPInterface::DeviceEvent, this, &TFleetUpgradeForm::DeviceEvent);
    Tick->setObjectName(QStringLiteral("Tick"));
    Tick->setInterval(TickMs);
    connect(Tick, &QTimer::timeout, this, [this] {
        Advance();
        if (IsRunning())
            ShowRunning(site::Clock::now(), true);
    });
    UpdateState();
}

TFleetUpgradeForm::~TFleetUpgradeForm()
{
    if (FleetUpgradeForm == this)
        FleetUpgradeForm = nullptr;
    // the uploads' threads end before the rows they report to
    delete Uploads;
    delete ui;
}

void TFleetUpgradeForm::SetTiming(std::chrono::milliseconds RetryPause, std::chrono::milliseconds AnswerTimeout)
{
    Settings.retryPause = RetryPause;
    Settings.answerTimeout = AnswerTimeout;
}

bool TFleetUpgradeForm::IsRunning() const
{
    return Schedule && !Schedule->Done();
}

void TFleetUpgradeForm::SetDevices(const QList<TDeviceInfo> &Devices)
{
    if (IsRunning())
        return;
    Schedule.reset();
    JobRows.clear();
    QTreeWidget *table = ui->DeviceTable;
    table->clear();
    QList<QTreeWidgetItem *> rows;
    std::set<QString> types;
    for (const TDeviceInfo &d : Devices) {
        auto *row = new QTreeWidgetItem(QStringList{d.Name, d.Type, d.IPAddress, d.ID, QString(), QString()});
        row->setFlags(Qt::ItemIsEnabled | Qt::ItemIsSelectable | Qt::ItemIsUserCheckable);
        row->setCheckState(ColName, Qt::Unchecked);
        rows << row;
        types.insert(d.Type);
    }
    table->addTopLevelItems(rows);
    if (!rows.isEmpty())
        table->setCurrentItem(rows.first());

    // the type chosen last time stays while such devices are listed
    const QString type = ui->TypeFilter->currentIndex() > 0 ? ui->TypeFilter->currentText() : QString();
    const QSignalBlocker quiet(ui->TypeFilter);
    ui->TypeFilter->clear();
    ui->TypeFilter->addItem(QStringLiteral("All types"));
    for (const QString &t : types)
        ui->TypeFilter->addItem(t);
    ui->TypeFilter->setCurrentIndex(std::max(0, ui->TypeFilter->findText(type)));
    ui->Summary->setText(Devices.isEmpty() ? QStringLiteral("No devices are listed: scan for them first.") : QString());
    FilterChanged();
    table->setFocus();
}

void TFleetUpgradeForm::FilterChanged()
{
    const bool anyType = ui->TypeFilter->currentIndex() <= 0;
    const QString type = ui->TypeFilter->currentText();
    const QString name = ui->NameFilter->text().trimmed();
    QTreeWidget *table = ui->DeviceTable;
    for (int i = 0; i < table->topLevelItemCount(); ++i) {
        QTreeWidgetItem *row = table->topLevelItem(i);
        const bool shown =
            (anyType || row->text(ColType) == type) && row->text(ColName).contains(name, Qt::CaseInsensitive);
        row->setHidden(!shown);
    }
    UpdateState();
}

void TFleetUpgradeForm::CheckShownButtonClick()
{
    if (IsRunning())
        return;
    QTreeWidget *table = ui->DeviceTable;
    {
        // a thousand check boxes changed at once cost one count
        const QSignalBlocker quiet(table);
        for (int i = 0; i < table->topLevelItemCount(); ++i)
            if (!table->topLevelItem(i)->isHidden())
                table->topLevelItem(i)->setCheckState(ColName, Qt::Checked);
    }
    UpdateState();
}

void TFleetUpgradeForm::UncheckAllButtonClick()
{
    if (IsRunning())
        return;
    QTreeWidget *table = ui->DeviceTable;
    {
        const QSignalBlocker quiet(table);
        for (int i = 0; i < table->topLevelItemCount(); ++i)
            table->topLevelItem(i)->setCheckState(ColName, Qt::Unchecked);
    }
    UpdateState();
}

QList<QTreeWidgetItem *> TFleetUpgradeForm::RowsToUpgrade() const
{
    // a checked device the filter hides is left out: an image meant for the
    // type shown must not reach another
    QList<QTreeWidgetItem *> rows;
    const QTreeWidget *table = ui->DeviceTable;
    for (int i = 0; i < table->topLevelItemCount(); ++i) {
        QTreeWidgetItem *row = table->topLevelItem(i);
        if (!row->isHidden() && row->checkState(ColName) == Qt::Checked)
            rows << row;
    }
    return rows;
}

void TFleetUpgradeForm::UpdateState()
{
    const bool running = IsRunning();
    const QTreeWidget *table = ui->DeviceTable;
    int checked = 0;
    for (int i = 0; i < table->topLevelItemCount(); ++i)
        checked += table->topLevelItem(i)->checkState(ColName) == Qt::Checked;
    const int chosen = int(RowsToUpgrade().size());
    QString selection = QStringLiteral("%1 of %2 devices to upgrade").arg(chosen).arg(table->topLevelItemCount());
    if (checked > chosen)
        selection += QStringLiteral(" (%1 checked but hidden by the filter)").arg(checked - chosen);
    ui->Selection->setText(selection);

    ui->StartButton->setEnabled(!running && chosen > 0 && !ui->FileName->text().isEmpty());
    ui->CancelButton->setText(running ? QStringLiteral("Cancel") : QStringLiteral("Close"));
    for (QWidget *w : std::initializer_list<QWidget *>{ui->FileName, ui->ChooseButton, ui->Jobs, ui->CheckShownButton,
                                                       ui->UncheckAllButton})
        w->setEnabled(!running);
}

void TFleetUpgradeForm::ChooseButtonClick()
{
    ChooseUpgradeFile(this, OpenDialog, ui->FileName);
}

void TFleetUpgradeForm::SetChecksEditable(bool Editable)
{
    const QSignalBlocker quiet(ui->DeviceTable);
    for (int i = 0; i < ui->DeviceTable->topLevelItemCount(); ++i) {
        QTreeWidgetItem *row = ui->DeviceTable->topLevelItem(i);
        row->setFlags(Editable ? row->flags() | Qt::ItemIsUserCheckable : row->flags() & ~Qt::ItemIsUserCheckable);
    }
    ui->DeviceTable->viewport()->update();
}

QString TFleetUpgradeForm::Label(const QTreeWidgetItem *Row) const
{
    return Row->text(ColName) + QStringLiteral(" (") + Row->text(ColIPAddress) + QLatin1Char(')');
}

void TFleetUpgradeForm::StartButtonClick()
{
    const QList<QTreeWidgetItem *> rows = RowsToUpgrade();
    const QString file = ui->FileName->text();
    if (IsRunning() || rows.isEmpty() || file.isEmpty())
        return;
    // one look at the file here rather than the same failure in every row
    const QFileInfo image(file);
    if (!image.isFile() || !image.isReadable()) {
        QMessageBox::warning(this, windowTitle(),
                             QStringLiteral("The image file \"%1\" cannot be read. Choose an existing "
                                            "firmware image with Choose...")
                                 .arg(file));
        return;
    }
    QTreeWidget *table = ui->DeviceTable;
    for (int i = 0; i < table->topLevelItemCount(); ++i) {
        table->topLevelItem(i)->setText(ColOutcome, QString());
        table->topLevelItem(i)->setData(ColProgress, ProgressRole, QVariant());
    }
    JobRows.assign(rows.begin(), rows.end());
    JobProgress.assign(rows.size(), Progress{});
    JobByID.clear();
    for (size_t job = 0; job < JobRows.size(); ++job)
        JobByID.insert(JobRows[job]->text(ColID), job);
    RunFile = file;
    Settings.jobs = ui->Jobs->value();
    Schedule = std::make_unique<site::FleetSchedule>(JobRows.size(), Settings);
    LogLine(
        QStringLiteral("Upgrading %1 devices with %2, %3 at a time").arg(JobRows.size()).arg(file).arg(Settings.jobs));

    SetChecksEditable(false);
    UpdateState();
    ShowRunning(site::Clock::now());
    Tick->start();
    Advance();
}

void TFleetUpgradeForm::Advance()
{
    if (!IsRunning())
        return;
    const site::Time now = site::Clock::now();
    const site::FleetStep step = Schedule->Step(now);
    for (const site::FleetStart &s : step.start) {
        JobProgress[s.device] = Progress{};
        Uploads->Start(int(s.device), RunFile, JobRows[s.device]->text(ColIPAddress));
        ShowJob(s.device, now);
    }
    if (!step.ask.empty() && Protocol) {
        // a broadcast for the devices on the PC's links, a unicast for those behind a router
        Protocol->Discover();
        for (size_t job : step.ask)
            Protocol->DiscoverAddress(JobRows[job]->text(ColIPAddress));
    }
    if (step.done)
        FinishRun();
}

void TFleetUpgradeForm::UploadProgress(int Job, qint64 Position, qint64 Total)
{
    if (!Schedule || Job < 0 || size_t(Job) >= JobProgress.size())
        return;
    JobProgress[size_t(Job)] = Progress{Position, Total};
    ShowJob(size_t(Job), site::Clock::now());
}

void TFleetUpgradeForm::UploadFinished(int Job, int Result)
{
    if (!Schedule || Job < 0 || size_t(Job) >= JobRows.size())
        return;
    const site::Time now = site::Clock::now();
    Schedule->Finished(size_t(Job), Result, now);
    ShowJob(size_t(Job), now);
    const site::Upload state = Schedule->Device(size_t(Job)).upload;
    if (state != site::Upload::Sending)
        LogLine(Label(JobRows[size_t(Job)]) + QStringLiteral(": ") +
                QString::fromStdString(site::OutcomeText(Schedule->Device(size_t(Job)), now, Settings)));
    Advance();
}

void TFleetUpgradeForm::DeviceEvent(uint32_t Code, const TDeviceInfo &Info)
{
    // a thousand answers to one broadcast: each costs a look-up, the tick does the rest
    if (Code != TVPEventDeviceFound || !Schedule || !Schedule->Verifying())
        return;
    const auto job = JobByID.constFind(Info.ID);
    if (job == JobByID.constEnd())
        return;
    Schedule->Answered(*job);
    ShowJob(*job, site::Clock::now());
}

void TFleetUpgradeForm::ShowJob(size_t Job, site::Time Now)
{
    const site::FleetDevice &d = Schedule->Device(Job);
    QTreeWidgetItem *row = JobRows[Job];
    const QString outcome = QString::fromStdString(site::OutcomeText(d, Now, Settings));
    row->setText(ColOutcome, outcome);
    // the whole of it where the column cuts it short
    row->setToolTip(ColOutcome, outcome);
    int percent = -1;
    switch (d.upload) {
    case site::Upload::Sending: {
        const Progress &p = JobProgress[Job];
        percent = p.total > 0 ? int(std::clamp<qint64>(p.position * 100 / p.total, 0, 100)) : 0;
        break;
    }
    case site::Upload::Pausing: {
        // the bar counts the pause, as the upgrade dialog's does
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(d.pauseEnds - Now).count();
        const auto pause = std::max<int64_t>(1, Settings.retryPause.count());
        percent = int(std::clamp<int64_t>(100 - left * 100 / pause, 0, 100));
        break;
    }
    case site::Upload::Upgraded: percent = 100; break;
    default: break;
    }
    row->setData(ColProgress, ProgressRole, percent);
}

void TFleetUpgradeForm::ShowRunning(site::Time Now, bool PausesOnly)
{
    // the other rows change with their events
    for (size_t job = 0; job < JobRows.size(); ++job)
        if (!PausesOnly || Schedule->Device(job).upload == site::Upload::Pausing)
            ShowJob(job, Now);
    std::vector<std::string> names;
    for (const QTreeWidgetItem *row : JobRows)
        names.push_back(Label(row).toStdString());
    ui->Summary->setText(QString::fromStdString(site::SummaryText(*Schedule, names)));
}

void TFleetUpgradeForm::FinishRun()
{
    Tick->stop();
    ShowRunning(site::Clock::now());
    LogLine(ui->Summary->text());
    SetChecksEditable(true);
    UpdateState();
}

void TFleetUpgradeForm::CancelButtonClick()
{
    if (!IsRunning()) {
        QDialog::reject();
        return;
    }
    Schedule->Cancel();
    ShowRunning(site::Clock::now());
    Advance();
    UpdateState();
}

void TFleetUpgradeForm::reject()
{
    // Esc while devices are being upgraded cancels; the dialog stays until they end
    CancelButtonClick();
}

void TFleetUpgradeForm::closeEvent(QCloseEvent *event)
{
    if (IsRunning()) {
        event->ignore();
        CancelButtonClick();
        return;
    }
    QDialog::closeEvent(event);
}
