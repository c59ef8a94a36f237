// SPDX-License-Identifier: MIT
#include "upgrade.h"
#include "ui_upgrade.h"

#include <QAbstractEventDispatcher>
#include <QDir>
#include <QFile>
#include <QFileDialog>
#include <QMessageBox>
#include <QScreen>
#include <QThread>

#include <chrono>
#include <utility>

#include "log.h"
#include "tvp.h"
#include "tvpinterface.h"

TUpgradeForm *UpgradeForm = nullptr;

namespace {

constexpr uint32_t RetryPauseMs = 10000;
constexpr unsigned PauseStepMs = 100;

class LibrarySystem final : public TUpgradeSystem
{
public:
    int32_t UpgradeDevice(const char *Path, const char *Address) override { return TVPUpgradeDevice(Path, Address); }
    uint32_t TickCount() override
    {
        // A 32-bit millisecond counter that wraps, like the one the pause was made for.
        const auto now = std::chrono::steady_clock::now().time_since_epoch();
        return static_cast<uint32_t>(std::chrono::duration_cast<std::chrono::milliseconds>(now).count());
    }
    void Sleep(unsigned Milliseconds) override { QThread::msleep(Milliseconds); }
};

TUpgradeSystem &Library()
{
    static LibrarySystem library;
    return library;
}

} // namespace

TUpgradeForm::TUpgradeForm(QWidget *parent)
    : QDialog(parent),
      ui(new Ui::TUpgradeForm),
      System(&Library())
{
    ui->setupUi(this);
    setWindowFlags(Qt::Dialog | Qt::MSWindowsFixedSizeDialogHint | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                   Qt::WindowCloseButtonHint);
    // Labels are sized to their texts; a wider desktop font must not run
    // them into the fields beside them.
    for (auto [label, field] : {std::pair{ui->Label1, ui->FileName}, {ui->Label2, ui->IPAddress}}) {
        label->adjustSize();
        QFont font = label->font();
        while (label->x() + label->width() > field->x() - 2 && font.pointSizeF() > 6.5) {
            font.setPointSizeF(font.pointSizeF() - 0.5);
            label->setFont(font);
            label->adjustSize();
        }
    }
    // The button shows its command's caption and hint.
    ui->UpgradeButton->setText(ui->Upgrade->text());
    ui->UpgradeButton->setToolTip(ui->Upgrade->toolTip());

    // The enabling rule runs whenever the application goes idle.
    if (auto *dispatcher = QAbstractEventDispatcher::instance())
        connect(dispatcher, &QAbstractEventDispatcher::aboutToBlock, this, [this] {
            if (isVisible() && !Upgrading)
                UpgradeUpdate();
        });
}

TUpgradeForm::~TUpgradeForm()
{
    if (UpgradeForm == this)
        UpgradeForm = nullptr;
    delete ui;
}

void TUpgradeForm::SetSystem(TUpgradeSystem *Replacement)
{
    System = Replacement ? Replacement : &Library();
}

void TUpgradeForm::showEvent(QShowEvent *event)
{
    QDialog::showEvent(event);
    if (QScreen *s = screen()) {
        QRect frame = frameGeometry();
        frame.moveCenter(s->geometry().center());
        move(frame.topLeft());
    }
    UpgradeUpdate();
}

void TUpgradeForm::SetIPAddressText(const QString &DottedQuad)
{
    // The mask jumps to the next dot on a typed dot, so each group lands
    // left-aligned in its own slot.
    ui->IPAddress->setText(DottedQuad);
}

QString TUpgradeForm::IPAddressText() const
{
    return ui->IPAddress->displayText();
}

void TUpgradeForm::ChooseButtonClick()
{
    ChooseUpgradeFile(this, OpenDialog, ui->FileName);
}

void TUpgradeForm::CancelButtonClick()
{
    done(ModalCancel);
}

void TUpgradeForm::reject()
{
    done(ModalCancel);
}

void TUpgradeForm::UpgradeUpdate()
{
    // Blanks count as a file name; the address needs at least one digit.
    const bool ready = !ui->FileName->text().isEmpty() && !CompactAddressText(IPAddressText()).isEmpty();
    ui->UpgradeButton->setEnabled(ready);
}

void TUpgradeForm::UpgradeExecute()
{
    Upgrading = true;
    ui->CancelButton->setEnabled(false);
    ui->UpgradeButton->setEnabled(false);
    // The thread blocks from here on: show the disabled buttons now.
    ui->CancelButton->repaint();
    ui->UpgradeButton->repaint();

    const QString address = CompactAddressText(IPAddressText());
    const QString fileName = ui->FileName->text();
    if (RunUpgrade(fileName, address)) {
        QMessageBox::information(this, QStringLiteral("Information"), QStringLiteral("Upgrade succeeded"));
        done(Accepted);
    } else {
        QMessageBox::critical(this, QStringLiteral("Error"), QStringLiteral("Upgrade Failed"));
    }

    ui->CancelButton->setEnabled(true);
    ui->UpgradeButton->setEnabled(true);
    Upgrading = false;
}

bool TUpgradeForm::RunUpgrade(const QString &FileName, const QString &Address)
{
    const QByteArray path = QFile::encodeName(FileName);
    const QByteArray address = Address.toUtf8();

    // This run's transfer events come to the one upgrade dialog.
    if (CurrentInterface)
        CurrentInterface->OnUpgradeEvent = [](TTVPInterface *, uint32_t Code, const void *Record) {
            HandleUpgradeEvent(Code, Record);
        };
    bool succeeded = false;
    const int32_t first = System->UpgradeDevice(path.constData(), address.constData());
    if (first == TVPUpgradeNoAnswer) {
        LogLine(QStringLiteral("First Upgrade Failed"));
        LogLine(QStringLiteral("Delay 10 seconds"));
        ui->Progress->setMaximum(100);
        ui->Progress->setValue(0);
        PauseBeforeRetry();
        LogLine(QStringLiteral("Attempting second upgrade"));
        succeeded = System->UpgradeDevice(path.constData(), address.constData()) == TVPUpgradeOK;
        LogLine(succeeded ? QStringLiteral("Second upgrade succeeded") : QStringLiteral("Second Upgrade Failed"));
    } else if (first == TVPUpgradeOK) {
        LogLine(QStringLiteral("Upgrade succeeded"));
        succeeded = true;
    } else {
        LogLine(QStringLiteral("Upgrade Failed"));
    }
    ui->Progress->hide();
    return succeeded;
}

void TUpgradeForm::PauseBeforeRetry()
{
    // Elapsed time as an unsigned difference: a wrap of the counter neither
    // ends nor prolongs the pause. No events are processed meanwhile; the
    // bar is painted directly so that it still moves.
    const uint32_t start = System->TickCount();
    while (static_cast<uint32_t>(System->TickCount() - start) < RetryPauseMs) {
        System->Sleep(PauseStepMs);
        ui->Progress->setValue(ui->Progress->value() + 1);
        ui->Progress->repaint();
    }
}

void TUpgradeForm::UpgradeStarted(int32_t Total)
{
    ui->Progress->show();
    ui->Progress->setMaximum(Total);
    ui->Progress->setValue(0);
    // Called from inside the blocking library call: paint now.
    ui->Progress->repaint();
}

void TUpgradeForm::UpgradeProgress(int32_t Position)
{
    ui->Progress->setValue(Position);
    ui->Progress->repaint();
}

void HandleUpgradeEvent(uint32_t Code, const void *Record)
{
    if (Code != TVPEventUpgrade || !Record || !UpgradeForm)
        return;
    const auto *event = static_cast<const TVPUpgradeRecord *>(Record);
    switch (event->Kind) {
    case TVPUpgradeStarted: UpgradeForm->UpgradeStarted(event->Value); break;
    case TVPUpgradeProgress: UpgradeForm->UpgradeProgress(event->Value); break;
    default: break;
    }
}

void ChooseUpgradeFile(QWidget *Parent, QFileDialog *&Dialog, QLineEdit *Field)
{
    if (!Dialog)
        Dialog = NewUpgradeFileDialog(Parent);
    if (Dialog->exec() != QDialog::Accepted)
        return;
    const QStringList files = Dialog->selectedFiles();
    if (!files.isEmpty())
        Field->setText(QDir::toNativeSeparators(files.first()));
}

QFileDialog *NewUpgradeFileDialog(QWidget *Parent)
{
    auto *dialog = new QFileDialog(Parent, QStringLiteral("Choose the Upgrade File"));
    dialog->setObjectName(QStringLiteral("OpenDialog"));
    dialog->setAcceptMode(QFileDialog::AcceptOpen);
    dialog->setFileMode(QFileDialog::ExistingFile);
#ifdef _WIN32
    const QString everyFile = QStringLiteral("All Files (*.*)");
#else
    // "*.*" would hide the files without a dot here
    const QString everyFile = QStringLiteral("All Files (*)");
#endif
    dialog->setNameFilters({QStringLiteral("Upgrade Files (*.bin)"), everyFile});
    dialog->setDefaultSuffix(QStringLiteral("bin"));
    return dialog;
}

QString CompactAddressText(const QString &Text)
{
    QString result;
    // Set while nothing has been kept yet or the last kept character is a dot.
    bool afterDot = true;
    for (const QChar c : Text) {
        if (c == u' ')
            continue;
        if (c == u'.') {
            if (!afterDot) {
                result += c;
                afterDot = true;
            }
            continue;
        }
        result += c;
        afterDot = false;
    }
    return result;
}
