// SPDX-License-Identifier: MIT
#include "about.h"
#include "ui_about.h"

#include <QCoreApplication>
#include <QKeyEvent>

#include "apptitle.h"
#include "svgimages.h"
#include "versioninfo.h"
#include "versiontext.h"

TAboutForm *AboutForm = nullptr;

TAboutForm::TAboutForm(QWidget *parent)
    : QDialog(parent),
      ui(new Ui::TAboutForm)
{
    // The emblem's resource lives in a static library: link it in explicitly.
    Q_INIT_RESOURCE(about);
    ui->setupUi(this);
    // drawn by Qt SVG: no image plugin needed
    ui->BackgroundImage->setPixmap(
        RenderSvg(QStringLiteral(":/images/emblem.svg"), QSize(59, 30), devicePixelRatioF()));
    setWindowTitle(ApplicationTitle);
    ui->ProgramName->setText(ApplicationTitle);
    ui->Version->setText(QStringLiteral("Version: ") + VersionText());

    // The labels are sized to their texts, in their own fonts.
    for (QLabel *label : {ui->ProgramName, ui->Label1, ui->Version}) {
        label->ensurePolished();
        label->adjustSize();
    }
}

TAboutForm::~TAboutForm()
{
    if (AboutForm == this)
        AboutForm = nullptr;
    delete ui;
}

void TAboutForm::keyPressEvent(QKeyEvent *event)
{
    // No cancel button: Esc leaves the window open.
    if (event->matches(QKeySequence::Cancel))
        return;
    QDialog::keyPressEvent(event);
}

void TAboutForm::resizeEvent(QResizeEvent *event)
{
    // The emblem stays centred in the client area; the rest keeps its place.
    ui->BackgroundImage->setGeometry(rect());
    QDialog::resizeEvent(event);
}

QString FormatVersionText(const std::optional<std::array<uint16_t, 4>> &Version)
{
    if (!Version)
        return QString();
    return QString::fromStdString(AboutVersionText(*Version));
}

QString VersionText()
{
    return FormatVersionText(ReadFileVersion(QCoreApplication::applicationFilePath()));
}
