// SPDX-License-Identifier: MIT
#include "keepscanning.h"

#include <algorithm>

#include <QApplication>
#include <QDateTime>
#include <QEvent>
#include <QFont>
#include <QScrollBar>
#include <QTimer>
#include <QTreeWidget>

#include "devices.h"
#include "tvpinterface.h"

namespace {

QString Text(const std::string &s)
{
    return QString::fromStdString(s);
}

// One field of the watch's on a row. A Name the user gave in place stays;
// the reported one is kept beside it for the next comparison.
void SetField(QTreeWidgetItem *Row, const std::string &Field, const QString &After)
{
    if (Field == "name") {
        if (Row->text(TDeviceForm::ColName) ==
            Row->data(TDeviceForm::ColName, TDeviceForm::ReportedNameRole).toString())
            Row->setText(TDeviceForm::ColName, After);
        Row->setData(TDeviceForm::ColName, TDeviceForm::ReportedNameRole, After);
        return;
    }
    const int column = Field == "ip"          ? TDeviceForm::ColIPAddress
                       : Field == "type"      ? TDeviceForm::ColType
                       : Field == "interface" ? TDeviceForm::ColInterface
                                              : -1; // the mask: not a column
    if (column >= 0)
        Row->setText(column, After);
}

} // namespace

TKeepScanning::TKeepScanning(TDeviceForm *Form, QTreeWidget *List, TTVPInterface *Protocol)
    : QObject(Form),
      Form(Form),
      List(List),
      Protocol(Protocol),
      Now([] { return site::WallClock::now(); }),
      Beat(new QTimer(this)),
      BroadcastTimer(new QTimer(this))
{
    setObjectName(QStringLiteral("KeepScanning"));
    Beat->setInterval(IntervalMs);
    connect(Beat, &QTimer::timeout, this, [this] {
        EndNew(Now() - NewFor);
        Rescan();
    });
    BroadcastTimer->setInterval(BroadcastMs);
    BroadcastTimer->setTimerType(Qt::PreciseTimer);
    connect(BroadcastTimer, &QTimer::timeout, this, &TKeepScanning::BroadcastTick);
    connect(Protocol, &TTVPInterface::DeviceEvent, this, &TKeepScanning::DeviceEvent);
}

void TKeepScanning::SetClock(Clock Now)
{
    this->Now = std::move(Now);
}

void TKeepScanning::SetRunning(bool Running)
{
    if (Running == IsRunning())
        return;
    if (!Running) {
        Beat->stop();
        Drop();
        EndNew(site::WallClock::time_point::max());
        return;
    }
    Seed = true;
    Beat->start();
    Rescan();
}

bool TKeepScanning::IsRunning() const
{
    return Beat->isActive();
}

void TKeepScanning::ListCleared()
{
    Drop();
    EndNew(site::WallClock::time_point::max());
    Seed = true;
    // the next rescan a whole interval after the scan, not in the middle of it
    if (IsRunning())
        Beat->start();
}

bool TKeepScanning::Busy() const
{
    // Configure and the upgrade dialogs wait for a device's answers: no
    // rescan sends or shows anything meanwhile.
    if (QApplication::activeModalWidget())
        return true;
    // a Name being edited in place would lose its editor to a re-sort
    const QWidget *focus = QApplication::focusWidget();
    return focus && focus != List && focus != List->viewport() && List->viewport()->isAncestorOf(focus);
}

bool TKeepScanning::Rescan()
{
    // an address scan's answers are the main window's to list, as routed
    if (!IsRunning() || Gathering || Busy() || Protocol->DiscoveryTimer->isActive() || Form->Sweeping())
        return false;
    Found.clear();
    FoundIDs.clear();
    FoundRouted.clear();
    NoteRouted();
    Gathering = true;
    Sent = 1;
    Protocol->Discover();
    AskRouted();
    BroadcastTimer->start();
    // the next one a whole interval after this one
    Beat->start();
    return true;
}

void TKeepScanning::NoteRouted()
{
    RoutedIDs.clear();
    RoutedAddresses.clear();
    RoutedAsked = 0;
    std::set<QString> addresses;
    for (int i = 0; i < List->topLevelItemCount(); ++i) {
        const QTreeWidgetItem *row = List->topLevelItem(i);
        if (!TDeviceForm::Routed(row))
            continue;
        RoutedIDs.insert(row->text(TDeviceForm::ColID).toStdString());
        if (addresses.insert(row->text(TDeviceForm::ColIPAddress)).second)
            RoutedAddresses.push_back(row->text(TDeviceForm::ColIPAddress));
    }
}

void TKeepScanning::AskRouted()
{
    if (RoutedAddresses.empty())
        return;
    // each address at most once per broadcast, so a lost request is asked
    // again, and no faster than the rate the user gave the address scan
    const size_t perBroadcast =
        std::min(RoutedAddresses.size(), std::max<size_t>(1, size_t(Form->SweepRequestRate() * BroadcastMs / 1000)));
    for (size_t i = 0; i < perBroadcast && RoutedAsked < RoutedAddresses.size() * Broadcasts; ++i, ++RoutedAsked)
        Protocol->DiscoverAddress(RoutedAddresses[RoutedNext++ % RoutedAddresses.size()]);
}

void TKeepScanning::Drop()
{
    if (!Gathering)
        return;
    BroadcastTimer->stop();
    Gathering = false;
    emit RescanEnded(false);
}

void TKeepScanning::DeviceEvent(uint32_t Code, const TDeviceInfo &Info)
{
    if (!Gathering || Code != TVPEventDeviceFound || !FoundIDs.insert(Info.ID.toStdString()).second)
        return;
    const std::string id = Info.ID.toStdString();
    const bool routed = RoutedIDs.count(id) || std::find(RoutedAddresses.begin(), RoutedAddresses.end(),
                                                         Info.IPAddress) != RoutedAddresses.end();
    if (routed)
        FoundRouted.insert(id);
    // the library probed the device before its answer arrived: no wait
    Found.push_back({id, Info.Name.toStdString(), Info.Type.toStdString(), Info.IPAddress.toStdString(), std::string(),
                     (routed ? TDeviceForm::RoutedInterfaceText(Info.Interface) : Info.Interface).toStdString(),
                     routed ? PingAddress(Info.IPAddress) : PingDevice(Info.IPAddress)});
}

void TKeepScanning::BroadcastTick()
{
    if (Busy()) {
        Drop();
        return;
    }
    if (Sent < Broadcasts) {
        ++Sent;
        Protocol->Discover();
        AskRouted();
        return;
    }
    BroadcastTimer->stop();
    Gathering = false;
    const auto at = Now();
    if (Seed) {
        Seed = false;
        Watch = site::Watch();
        Watch.Scan(Listed(), at);
    }
    Show(Watch.Scan(Found, at), at);
    emit RescanEnded(true);
}

std::vector<site::WatchDevice> TKeepScanning::Listed() const
{
    std::vector<site::WatchDevice> devices;
    for (int i = 0; i < List->topLevelItemCount(); ++i) {
        const QTreeWidgetItem *row = List->topLevelItem(i);
        // a greyed row's device is not known to be there
        if (row->data(TDeviceForm::ColName, MissingSinceRole).isValid())
            continue;
        const QVariant reported = row->data(TDeviceForm::ColName, TDeviceForm::ReportedNameRole);
        devices.push_back({row->text(TDeviceForm::ColID).toStdString(),
                           (reported.isValid() ? reported.toString() : row->text(TDeviceForm::ColName)).toStdString(),
                           row->text(TDeviceForm::ColType).toStdString(),
                           row->text(TDeviceForm::ColIPAddress).toStdString(), std::string(),
                           row->text(TDeviceForm::ColInterface).toStdString(),
                           TDeviceForm::ImageIndex(row) != TDeviceForm::NotReachableImage});
    }
    return devices;
}

void TKeepScanning::Show(const std::vector<site::WatchEvent> &Events, site::WallClock::time_point At)
{
    // the rows in view stay in view: one sorted in above them must not push them down
    QTreeWidgetItem *top = List->verticalScrollBar()->value() > 0 ? List->itemAt(0, 0) : nullptr;
    for (const site::WatchEvent &e : Events) {
        QTreeWidgetItem *row = Form->DeviceRow(Text(e.device.id));
        if (e.kind == site::WatchEventKind::Appeared)
            ShowAppeared(row, e.device, At);
        else if (!row)
            continue;
        else if (e.kind == site::WatchEventKind::Changed) {
            SetField(row, e.field, Text(e.after));
            if (e.field == "ip")
                Form->AddressChanged(row, Text(e.before));
        } else if (e.kind == site::WatchEventKind::Reachable || e.kind == site::WatchEventKind::Unreachable)
            Form->SetReachable(row, e.kind == site::WatchEventKind::Reachable);
        else if (e.kind == site::WatchEventKind::Disappeared)
            ShowMissing(row, e.device.id);
        // a conflict: both devices have their rows already
    }
    EndNew(At - NewFor);
    if (top)
        List->scrollToItem(top, QAbstractItemView::PositionAtTop);
}

void TKeepScanning::ShowAppeared(QTreeWidgetItem *Row, const site::WatchDevice &Device, site::WallClock::time_point At)
{
    if (!Row) {
        TDeviceInfo info;
        info.Name = Text(Device.name);
        info.Type = Text(Device.type);
        info.IPAddress = Text(Device.ip);
        info.ID = Text(Device.id);
        info.Interface = Text(Device.interfaceText);
        Row = Form->InsertDeviceRow(info);
        Row->setData(TDeviceForm::ColInterface, TDeviceForm::RoutedRole, FoundRouted.count(Device.id) > 0);
        Form->SetReachable(Row, Device.reachable);
        // a newcomer at a listed device's address: both rows say so
        Form->NoteSharedAddress(Row);
    } else {
        // back after it went missing: as it answers now
        const QString before = Row->text(TDeviceForm::ColIPAddress);
        const std::pair<const char *, const std::string *> fields[] = {
            {"ip", &Device.ip}, {"type", &Device.type}, {"interface", &Device.interfaceText}, {"name", &Device.name}};
        for (const auto &[field, value] : fields)
            SetField(Row, field, Text(*value));
        Row->setData(TDeviceForm::ColName, MissingSinceRole, QVariant());
        for (int c = 0; c < List->columnCount(); ++c) {
            Row->setData(c, Qt::ForegroundRole, QVariant());
            Row->setToolTip(c, QString());
        }
        Form->SetReachable(Row, Device.reachable);
        if (Row->text(TDeviceForm::ColIPAddress) != before)
            Form->AddressChanged(Row, before);
    }
    MarkNew(Row, true);
    if (NewSince.empty())
        qApp->installEventFilter(this);
    NewSince[Device.id] = At;
}

void TKeepScanning::ShowMissing(QTreeWidgetItem *Row, const std::string &ID)
{
    const auto since = Watch.Devices().at(ID).lastSeen;
    const qint64 ms = std::chrono::duration_cast<std::chrono::milliseconds>(since.time_since_epoch()).count();
    const QString tip =
        QStringLiteral("missing since ") + QDateTime::fromMSecsSinceEpoch(ms).toString(QStringLiteral("HH:mm"));
    NewSince.erase(ID);
    MarkNew(Row, false);
    Row->setData(TDeviceForm::ColName, MissingSinceRole, QDateTime::fromMSecsSinceEpoch(ms));
    const QBrush grey = List->palette().brush(QPalette::Disabled, QPalette::Text);
    for (int c = 0; c < List->columnCount(); ++c) {
        Row->setForeground(c, grey);
        Row->setToolTip(c, tip);
    }
}

void TKeepScanning::MarkNew(QTreeWidgetItem *Row, bool New) const
{
    for (int c = 0; c < List->columnCount(); ++c) {
        QFont font = Row->font(c);
        if (font.bold() == New)
            continue;
        font.setBold(New);
        Row->setFont(c, font);
    }
}

void TKeepScanning::EndNew(site::WallClock::time_point Before)
{
    for (auto it = NewSince.begin(); it != NewSince.end();) {
        if (it->second > Before) {
            ++it;
            continue;
        }
        if (QTreeWidgetItem *row = Form->DeviceRow(Text(it->first)))
            MarkNew(row, false);
        it = NewSince.erase(it);
    }
    if (NewSince.empty())
        qApp->removeEventFilter(this);
}

bool TKeepScanning::eventFilter(QObject *Watched, QEvent *Event)
{
    // a key or a click in the main window is the user's next action
    const QEvent::Type type = Event->type();
    if ((type == QEvent::KeyPress || type == QEvent::MouseButtonPress) && Watched->isWidgetType() &&
        static_cast<QWidget *>(Watched)->window() == Form)
        EndNew(site::WallClock::time_point::max());
    return QObject::eventFilter(Watched, Event);
}
