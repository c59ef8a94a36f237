// SPDX-License-Identifier: MIT
#include "scanaddresses.h"
#include "ui_scanaddresses.h"

#include <QRegularExpression>

#include <cmath>

#include "sweep.h"

QString SweepDurationText(double seconds)
{
    if (seconds < 120)
        return QStringLiteral("%1 s").arg(std::max(1.0, std::ceil(seconds)));
    if (seconds < 120 * 60)
        return QStringLiteral("%1 min").arg(std::ceil(seconds / 60));
    return QStringLiteral("%1 h").arg(std::ceil(seconds / 3600));
}

TScanAddressesForm::TScanAddressesForm(QWidget *parent)
    : QDialog(parent),
      ui(new Ui::TScanAddressesForm)
{
    ui->setupUi(this);
    ui->Rate->setRange(int(site::kMinSweepRate), int(site::kMaxSweepRate));
    ui->Rate->setValue(int(site::kDefaultSweepRate));
    UpdateSummary();
}

TScanAddressesForm::~TScanAddressesForm()
{
    delete ui;
}

double TScanAddressesForm::Rate() const
{
    return ui->Rate->value();
}

std::optional<std::vector<site::Range>> TScanAddressesForm::ParseRanges(QString *error) const
{
    // spaces, commas or semicolons between them, as a user pastes a list
    const QStringList texts =
        ui->Ranges->text().split(QRegularExpression(QStringLiteral("[\\s,;]+")), Qt::SkipEmptyParts);
    if (texts.isEmpty()) {
        *error = QStringLiteral("Type the addresses to ask: one (10.3.0.7) or a range (10.2.0.0/24), "
                                "several apart by spaces.");
        return std::nullopt;
    }
    std::vector<std::string> list;
    for (const QString &t : texts)
        list.push_back(t.toStdString());
    std::string why;
    auto ranges = site::ParseTargets(list, &why);
    if (!ranges)
        *error = QString::fromStdString(why) + QStringLiteral(": type an address (10.3.0.7) or a range "
                                                              "(10.2.0.0/24).");
    return ranges;
}

void TScanAddressesForm::UpdateSummary()
{
    QString error;
    const auto ranges = ParseRanges(&error);
    if (!ranges) {
        // nothing typed yet is no error worth a word
        ui->Summary->setText(ui->Ranges->text().trimmed().isEmpty() ? QString() : error);
        return;
    }
    const uint64_t count = site::TotalSize(*ranges);
    ui->Summary->setText(QStringLiteral("%1 %2 asked directly, in about %3, after the usual scan.")
                             .arg(count)
                             .arg(count == 1 ? QStringLiteral("address") : QStringLiteral("addresses"))
                             .arg(SweepDurationText(double(count) / Rate())));
}

void TScanAddressesForm::ScanButtonClick()
{
    QString error;
    const auto ranges = ParseRanges(&error);
    if (!ranges) {
        // said where the user looks, and the text stays for mending
        ui->Summary->setText(error);
        ui->Ranges->setFocus();
        return;
    }
    Chosen = *ranges;
    accept();
}
