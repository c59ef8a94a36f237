// SPDX-License-Identifier: MIT
// Find, Export List and Keep Scanning: the main window's list in daily use.
#include "devices.h"
#include "ui_devices.h"

#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QMessageBox>
#include <QSaveFile>

#include <sstream>

#include "apptitle.h"
#include "device_list.h"
#include "findbar.h"
#include "keepscanning.h"

namespace {

const QString CsvFilter = QStringLiteral("CSV files (*.csv)");
const QString JsonFilter = QStringLiteral("JSON files (*.json)");

QStringList RowTexts(const QTreeWidgetItem *Row)
{
    QStringList texts;
    for (int c = TDeviceForm::ColName; c <= TDeviceForm::ColInterface; ++c)
        texts << Row->text(c);
    return texts;
}

// The file's extension decides; a name without a known one takes the
// type chosen in the dialog.
TDeviceForm::ListFormat FormatFor(const QString &FileName, const QString &ChosenFilter)
{
    const QString suffix = QFileInfo(FileName).suffix().toLower();
    if (suffix == QLatin1String("json"))
        return TDeviceForm::ListFormat::Json;
    if (suffix == QLatin1String("csv"))
        return TDeviceForm::ListFormat::Csv;
    return ChosenFilter == JsonFilter ? TDeviceForm::ListFormat::Json : TDeviceForm::ListFormat::Csv;
}

} // namespace

void TDeviceForm::FindExecute()
{
    FindBar->Open();
    FilterRows();
}

void TDeviceForm::FilterRow(QTreeWidgetItem *Row) const
{
    Row->setHidden(!FindBar->Matches(RowTexts(Row)));
}

void TDeviceForm::FilterRows()
{
    QTreeWidget *list = ui->DeviceList;
    for (int i = 0; i < list->topLevelItemCount(); ++i)
        FilterRow(list->topLevelItem(i));
    KeepSelectionShown();
    UpdateFindCount();
}

void TDeviceForm::KeepSelectionShown()
{
    // One selected row, and one the user can see: the commands act on it.
    QTreeWidgetItem *row = SelectedRow();
    if (row && !row->isHidden())
        return;
    QTreeWidget *list = ui->DeviceList;
    for (int i = 0; i < list->topLevelItemCount(); ++i) {
        if (!list->topLevelItem(i)->isHidden()) {
            list->setCurrentItem(list->topLevelItem(i));
            return;
        }
    }
    list->clearSelection();
    list->setCurrentItem(nullptr);
}

void TDeviceForm::UpdateFindCount()
{
    if (FindBar->isHidden())
        return;
    QTreeWidget *list = ui->DeviceList;
    int matching = 0;
    int notReachable = 0;
    for (int i = 0; i < list->topLevelItemCount(); ++i) {
        const QTreeWidgetItem *row = list->topLevelItem(i);
        if (row->isHidden())
            continue;
        ++matching;
        if (ImageIndex(row) == NotReachableImage)
            ++notReachable;
    }
    FindBar->ShowCounts(matching, list->topLevelItemCount(), notReachable);
}

void TDeviceForm::ExportListExecute()
{
    if (!ExportDialog) {
        ExportDialog = new QFileDialog(this, QStringLiteral("Export List"));
        ExportDialog->setObjectName(QStringLiteral("ExportDialog"));
        ExportDialog->setAcceptMode(QFileDialog::AcceptSave);
        ExportDialog->setNameFilters({CsvFilter, JsonFilter});
        ExportDialog->setDefaultSuffix(QStringLiteral("csv"));
        // a name typed without an extension takes the chosen type's
        connect(ExportDialog, &QFileDialog::filterSelected, ExportDialog, [this](const QString &filter) {
            ExportDialog->setDefaultSuffix(filter == JsonFilter ? QStringLiteral("json") : QStringLiteral("csv"));
        });
    }
    if (ExportDialog->exec() != QDialog::Accepted || ExportDialog->selectedFiles().isEmpty())
        return;
    const QString file = ExportDialog->selectedFiles().first();
    ExportList(file, FormatFor(file, ExportDialog->selectedNameFilter()));
}

std::string TDeviceForm::ListText(ListFormat Format) const
{
    // Conflicts are a fact of the whole scan, whatever the filter shows.
    std::vector<cli::FoundDevice> devices;
    std::vector<bool> shown;
    QTreeWidget *list = ui->DeviceList;
    for (int i = 0; i < list->topLevelItemCount(); ++i) {
        const QTreeWidgetItem *row = list->topLevelItem(i);
        devices.push_back({row->text(ColID).toStdString(),
                           row->text(ColInterface).toStdString(),
                           row->text(ColIPAddress).toStdString(),
                           row->text(ColName).toStdString(),
                           row->text(ColType).toStdString(),
                           ImageIndex(row) != NotReachableImage,
                           {}});
        shown.push_back(!row->isHidden());
    }
    cli::MarkSharedAddresses(devices);
    std::vector<cli::FoundDevice> exported;
    for (size_t i = 0; i < devices.size(); ++i)
        if (shown[i])
            exported.push_back(std::move(devices[i]));
    std::ostringstream out;
    cli::PrintDevices(out, exported, Format == ListFormat::Json ? cli::Format::Json : cli::Format::Csv);
    return out.str();
}

bool TDeviceForm::ExportList(const QString &FileName, ListFormat Format)
{
    const std::string text = ListText(Format);
    // a failed write leaves an older file as it was
    QSaveFile file(FileName);
    if (file.open(QIODevice::WriteOnly) && file.write(text.data(), qint64(text.size())) == qint64(text.size()) &&
        file.commit())
        return true;
    QMessageBox box(QMessageBox::Warning, ApplicationTitle,
                    QStringLiteral("The list could not be written to %1: %2.")
                        .arg(QDir::toNativeSeparators(FileName), file.errorString()),
                    QMessageBox::Ok, this);
    box.setTextFormat(Qt::PlainText);
    box.exec();
    return false;
}

void TDeviceForm::KeepScanningToggled(bool Checked)
{
    Rescanner->SetRunning(Checked);
}
