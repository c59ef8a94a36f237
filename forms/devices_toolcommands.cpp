// SPDX-License-Identifier: MIT
// Tools > Network Diagnosis... and Tools > Compare With Saved List... of
// the main window.
#include "devices.h"

#include <QDir>
#include <QFile>
#include <QFileDialog>
#include <QMessageBox>
#include <QTimer>

#include <algorithm>
#include <optional>

#include "address.h"
#include "networkdiagnosis.h"
#include "tvpinterface.h"
#include "watch.h"

namespace {

// A saved list is netscry-cli's device list; far beyond any LAN's, a file
// this large is something else and is not read into memory.
constexpr qint64 MaxSavedListBytes = 64 << 20;
// More differences than this go behind the box's details.
constexpr int ShownDifferences = 20;

const QString CompareTitle = QStringLiteral("Compare With Saved List");

// The saved list's devices; none, with *Error naming the file and the
// fault, when it cannot be read or is no such list.
std::optional<std::vector<site::WatchDevice>> ReadSavedList(const QString &Path, QString *Error)
{
    const QString name = QDir::toNativeSeparators(Path);
    QFile file(Path);
    if (!file.open(QIODevice::ReadOnly)) {
        *Error = QStringLiteral("The saved list %1 cannot be read: %2.").arg(name, file.errorString());
        return std::nullopt;
    }
    if (file.size() > MaxSavedListBytes) {
        *Error = QStringLiteral("The saved list %1 is %2 MB, too large for a list of devices.")
                     .arg(name)
                     .arg(file.size() >> 20);
        return std::nullopt;
    }
    std::string why;
    auto devices = site::ParseSiteFile(file.readAll().toStdString(), &why);
    if (!devices)
        *Error = QStringLiteral("The saved list %1 cannot be compared: %2. Save a list with netscry-cli discover "
                                "--save.")
                     .arg(name, QString::fromStdString(why));
    return devices;
}

// The rows as a scan's devices; IDs in the form the saved list holds them.
std::vector<site::WatchDevice> ListedAsScan(const QList<TDeviceInfo> &Listed)
{
    std::vector<site::WatchDevice> scan;
    for (const TDeviceInfo &d : Listed) {
        site::WatchDevice w;
        tvp::wire::DeviceId id;
        w.id = tvp::wire::ParseMac(d.ID.toStdString(), &id) ? tvp::wire::FormatMac(id) : d.ID.toStdString();
        w.name = d.Name.toStdString();
        w.type = d.Type.toStdString();
        w.ip = d.IPAddress.toStdString();
        w.interfaceText = d.Interface.toStdString();
        scan.push_back(std::move(w));
    }
    return scan;
}

// "1 moved, 1 missing", in the order the kinds first occur.
QString Counts(const std::vector<site::WatchEvent> &Events)
{
    std::vector<std::pair<site::WatchEventKind, int>> counts;
    for (const auto &e : Events) {
        auto it = std::find_if(counts.begin(), counts.end(), [&](const auto &c) { return c.first == e.kind; });
        if (it == counts.end())
            counts.emplace_back(e.kind, 1);
        else
            ++it->second;
    }
    QStringList parts;
    for (const auto &[kind, n] : counts)
        parts << QStringLiteral("%1 %2").arg(n).arg(QString::fromUtf8(site::EventName(kind)));
    return parts.join(QStringLiteral(", "));
}

void ShowDifferences(QWidget *Parent, const QString &Path, int Listed, const std::vector<site::WatchEvent> &Events)
{
    const QString name = QDir::toNativeSeparators(Path);
    QMessageBox box(QMessageBox::Information, CompareTitle, QString(), QMessageBox::Ok, Parent);
    box.setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);
    if (Events.empty()) {
        box.setText(QStringLiteral("The %1 devices in the list match %2: nothing new, missing, moved or changed.")
                        .arg(Listed)
                        .arg(name));
        box.exec();
        return;
    }
    box.setText(QStringLiteral("The %1 devices in the list against %2: %3.").arg(Listed).arg(name, Counts(Events)));
    QStringList lines;
    for (const auto &e : Events)
        lines << QString::fromStdString(site::EventText(e));
    if (lines.size() > ShownDifferences) {
        box.setDetailedText(lines.join(QLatin1Char('\n')));
        const qsizetype more = lines.size() - ShownDifferences;
        lines = lines.mid(0, ShownDifferences);
        lines << QStringLiteral("and %1 more under Show Details.").arg(more);
    }
    box.setInformativeText(lines.join(QLatin1Char('\n')));
    box.exec();
}

} // namespace

void TDeviceForm::NetworkDiagnosisExecute()
{
    if (!NetworkDiagnosisForm)
        NetworkDiagnosisForm = new TNetworkDiagnosisForm(ProtocolInterface, this);
    // opened anew, it diagnoses anew; open, it comes to the front
    if (!NetworkDiagnosisForm->isVisible())
        NetworkDiagnosisForm->RunAgainButtonClick();
    NetworkDiagnosisForm->show();
    NetworkDiagnosisForm->raise();
    NetworkDiagnosisForm->activateWindow();
}

void TDeviceForm::CompareWithSavedExecute()
{
    if (!SavedListDialog) {
        SavedListDialog = new QFileDialog(this, CompareTitle);
        SavedListDialog->setObjectName(QStringLiteral("SavedListDialog"));
        SavedListDialog->setAcceptMode(QFileDialog::AcceptOpen);
        SavedListDialog->setFileMode(QFileDialog::ExistingFile);
        SavedListDialog->setNameFilters({QStringLiteral("Saved Lists (*.json)"), QStringLiteral("All Files (*)")});
    }
    if (SavedListDialog->exec() != QDialog::Accepted || SavedListDialog->selectedFiles().isEmpty())
        return;
    CompareWithSaved(SavedListDialog->selectedFiles().first());
}

void TDeviceForm::CompareWithSaved(const QString &Path)
{
    // a scan still filling the list would show its late rows as missing
    if (ProtocolInterface && ProtocolInterface->DiscoveryTimer->isActive()) {
        QTimer::singleShot(100, this, [this, Path] { CompareWithSaved(Path); });
        return;
    }
    QString error;
    const auto saved = ReadSavedList(Path, &error);
    if (!saved) {
        QMessageBox::warning(this, CompareTitle, error);
        return;
    }
    const QList<TDeviceInfo> listed = ListedDevices();
    ShowDifferences(this, Path, int(listed.size()),
                    site::CompareSite(*saved, ListedAsScan(listed), site::WallClock::now()));
}
