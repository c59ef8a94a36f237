// SPDX-License-Identifier: MIT
#include "devices.h"
#include "ui_devices.h"

#include <algorithm>
#include <optional>

#include <QAbstractEventDispatcher>
#include <QActionEvent>
#include <QClipboard>
#include <QCloseEvent>
#include <QContextMenuEvent>
#include <QGuiApplication>
#include <QKeyEvent>
#include <QMenu>
#include <QFontMetrics>
#include <QHeaderView>
#include <QMessageBox>
#include <QPointer>
#include <QScreen>
#include <QShowEvent>
#include <QStyledItemDelegate>
#include <QTimer>
#include <QToolButton>

#include "accelerators.h"
#include "addresssweep.h"
#include "apptitle.h"
#include "findbar.h"
#include "fleetupgrade.h"
#include "keepscanning.h"
#include "networkdiagnosis.h"
#include "log.h"
#include "shell.h"
#include "svgimages.h"
#include "textfit.h"
#include "tvpinterface.h"

TDeviceForm *DeviceForm = nullptr;

// A reserved example domain: the program names no real third party's site.
const QString HomePageURL = QStringLiteral("http://www.example.com/");

const QCollator &DeviceNameCollator()
{
    static QLocale builtFor = QLocale::c();
    static std::optional<QCollator> collator;
    // The default locale is the system's unless someone set another.
    const QLocale locale;
    if (!collator || locale != builtFor) {
        builtFor = locale;
        // The C locale's collation is plain code-point order ("Zed" before
        // "alpha"); a word order is wanted under every locale.
        collator.emplace(locale.language() == QLocale::C ? QLocale(QLocale::English) : locale);
        collator->setCaseSensitivity(Qt::CaseSensitive);
    }
    return *collator;
}

namespace {

const char *const ImageFiles[TDeviceForm::ImageCount] = {
    ":/devices/0-scan.svg",   ":/devices/1-configure.svg",     ":/devices/2-upgrade.svg",
    ":/devices/3-web.svg",    ":/devices/4-not-reachable.svg", ":/devices/5-auto-ip.svg",
    ":/devices/6-telnet.svg", ":/devices/7-network-pc.svg",
};

const int ColumnWidths[] = {120, 170, 100, 120, 100};

const QString TelnetButtonHint = QStringLiteral("Load the Command-line Configuration Interface");

const QString SharedAddressFile = QStringLiteral(":/devices/shared-address.svg");

constexpr int ImageRole = Qt::UserRole;

// Rows order by Name alone, case-sensitive in the user's locale.
class TDeviceRow final : public QTreeWidgetItem
{
public:
    using QTreeWidgetItem::QTreeWidgetItem;

    bool operator<(const QTreeWidgetItem &other) const override
    {
        return DeviceNameCollator().compare(text(TDeviceForm::ColName), other.text(TDeviceForm::ColName)) < 0;
    }
};

// Only the Name is edited in place; the other columns are what the device said.
class TNameEditDelegate final : public QStyledItemDelegate
{
public:
    using QStyledItemDelegate::QStyledItemDelegate;

    QWidget *createEditor(QWidget *parent, const QStyleOptionViewItem &option, const QModelIndex &index) const override
    {
        if (index.column() != TDeviceForm::ColName)
            return nullptr;
        return QStyledItemDelegate::createEditor(parent, option, index);
    }
};

} // namespace

TDeviceForm::TDeviceForm(QWidget *parent)
    : QMainWindow(parent),
      ui(new Ui::TDeviceForm)
{
    // The images live in a static library; nothing else would pull them in.
    Q_INIT_RESOURCE(devices);

    ui->setupUi(this);
    for (const char *file : ImageFiles)
        ImageList << SvgIcon(QString::fromLatin1(file));
    // The design names the same files; these pictures need no image plugin.
    const struct
    {
        QAction *action;
        int image;
    } commandImages[] = {
        {ui->Scan, 0},      {ui->SetIPConfig, 1}, {ui->DoUpgrade, 2}, {ui->Webserver, 3},
        {ui->AutoSetIP, 5}, {ui->Telnet, 6},      {ui->Network, 7},
    };
    for (const auto &c : commandImages)
        c.action->setIcon(ImageList[c.image]);

    QHeaderView *header = ui->DeviceList->header();
    for (int c = 0; c < int(std::size(ColumnWidths)); ++c)
        header->resizeSection(c, ColumnWidths[c]);
    header->setSectionsClickable(false);
    ui->DeviceList->setItemDelegate(new TNameEditDelegate(ui->DeviceList));

    SetUpToolButtons();

    SetUpLegends();

    // The selected row's commands, by mouse or keyboard.
    CopyRow = new QAction(QStringLiteral("Copy"), this);
    CopyRow->setObjectName(QStringLiteral("CopyRow"));
    CopyRow->setStatusTip(QStringLiteral("Copy the device's row"));
    connect(CopyRow, &QAction::triggered, this, &TDeviceForm::CopyRowExecute);
    ContextMenu = new QMenu(this);
    ContextMenu->setObjectName(QStringLiteral("DeviceListMenu"));
    ContextMenu->addActions({ui->SetIPConfig, ui->DoUpgrade, ui->Webserver, ui->Telnet, ui->AutoSetIP});
    ContextMenu->addSeparator();
    ContextMenu->addAction(CopyRow);
    ui->DeviceList->installEventFilter(this);
    ui->DeviceList->viewport()->installEventFilter(this);
    // Items without an "&" get a letter too, so that the keyboard reaches each.
    for (QWidget *menu : QList<QWidget *>{ui->MainMenu, ui->File1, ui->Edit1, ui->Tools1, ui->Help1, ContextMenu})
        AddAccelerators(menu);

    // Above the list, and hidden until Find: the window looks as ever.
    FindBar = new TFindBar(ui->centralwidget);
    FindBar->setObjectName(QStringLiteral("FindBar"));
    ui->CentralLayout->insertWidget(0, FindBar);
    connect(FindBar, &TFindBar::FilterChanged, this, &TDeviceForm::FilterRows);
    connect(FindBar, &TFindBar::Closed, this, &TDeviceForm::FilterRows);
    connect(FindBar, &TFindBar::GoToList, ui->DeviceList, [this] { ui->DeviceList->setFocus(); });

    ScanTimer = new QTimer(this);
    ScanTimer->setObjectName(QStringLiteral("ScanTimer"));
    ScanTimer->setInterval(125);
    connect(ScanTimer, &QTimer::timeout, this, &TDeviceForm::ScanTimerTimer);

    // Commands follow the selection whenever the application goes idle.
    connect(QAbstractEventDispatcher::instance(), &QAbstractEventDispatcher::aboutToBlock, this,
            &TDeviceForm::ActionList1Update);

    LastSelectedID.clear();
    ProtocolInterface = new TTVPInterface(this, DebugMode);
    // the library's own log lines join the program's in the log window
    ProtocolInterface->OnLogLine = [](TTVPInterface *, const QString &Text) { LogLine(Text); };
    Rescanner = new TKeepScanning(this, ui->DeviceList, ProtocolInterface);
    setWindowTitle(ApplicationTitle);
}

void TDeviceForm::SetUpToolButtons()
{
    const struct
    {
        QAction *action;
        const char *name;
    } buttons[] = {
        {ui->Scan, "ToolButton1"},      {ui->SetIPConfig, "ToolButton2"}, {ui->DoUpgrade, "ToolButton3"},
        {ui->Webserver, "ToolButton4"}, {ui->Telnet, "TelnetExcu"},       {ui->AutoSetIP, "ToolButton5"},
        {ui->Network, "ToolButton6"},
    };
    for (const auto &b : buttons) {
        QWidget *button = ui->ToolBar1->widgetForAction(b.action);
        button->setObjectName(QLatin1String(b.name));
        button->setFixedSize(61, 36);
        // reachable by Tab from the list, as the window's other controls
        button->setFocusPolicy(Qt::TabFocus);
        ApplyButtonHint(static_cast<QToolButton *>(button));
        button->installEventFilter(this);
    }
    QStringList captions;
    for (const auto &b : buttons)
        captions << b.action->text();
    ui->ToolBar1->setFont(FittingFont(ui->ToolBar1->font(), captions, 61 - 8));
}

void TDeviceForm::SetUpLegends()
{
    ui->ProblemImage->setPixmap(
        OutlinedSvg(QString::fromLatin1(ImageFiles[NotReachableImage]), QSize(16, 16), devicePixelRatioF()));
    SharedAddressIcon = SvgIcon(SharedAddressFile);
    ui->SharedImage->setPixmap(OutlinedSvg(SharedAddressFile, QSize(16, 16), devicePixelRatioF()));
    // The legend ends before the progress bar starts.
    const int legendWidth = ui->Progress->x() - ui->ProblemLabel->x() - 4;
    ui->ProblemLabel->setFont(FittingFont(ui->ProblemLabel->font(), {ui->ProblemLabel->text()}, legendWidth));
    ui->ProblemLabel->resize(legendWidth, ui->ProblemLabel->height());
    ui->Panel1->installEventFilter(this);
    PlaceSharedLegend();
}

TDeviceForm::~TDeviceForm()
{
    // its uploads end before the protocol object goes
    if (FleetUpgradeForm && FleetUpgradeForm->parent() == this)
        delete FleetUpgradeForm;
    // its readings' thread ends before the protocol object goes
    if (NetworkDiagnosisForm && NetworkDiagnosisForm->parent() == this)
        delete NetworkDiagnosisForm;
    delete ui;
}

QList<TDeviceInfo> TDeviceForm::ListedDevices() const
{
    QList<TDeviceInfo> devices;
    for (int i = 0; i < ui->DeviceList->topLevelItemCount(); ++i) {
        const QTreeWidgetItem *row = ui->DeviceList->topLevelItem(i);
        TDeviceInfo info;
        info.Name = row->text(ColName);
        info.Type = row->text(ColType);
        info.IPAddress = row->text(ColIPAddress);
        info.ID = row->text(ColID);
        info.Interface = row->text(ColInterface);
        devices << info;
    }
    return devices;
}

QTreeWidgetItem *TDeviceForm::SelectedRow() const
{
    const auto rows = ui->DeviceList->selectedItems();
    return rows.isEmpty() ? nullptr : rows.first();
}

int TDeviceForm::ImageIndex(const QTreeWidgetItem *Row)
{
    const QVariant index = Row->data(ColName, ImageRole);
    return index.isValid() ? index.toInt() : -1;
}

void TDeviceForm::SetImageIndex(QTreeWidgetItem *Row, int Index) const
{
    Row->setData(ColName, ImageRole, Index);
    Row->setIcon(ColName, Index >= 0 && Index < ImageList.size() ? ImageList[Index] : QIcon());
}

void TDeviceForm::showEvent(QShowEvent *event)
{
    QMainWindow::showEvent(event);
    // Restoring a minimised window is no new show.
    if (!event->spontaneous())
        FormShow();
}

void TDeviceForm::closeEvent(QCloseEvent *event)
{
    QMainWindow::closeEvent(event);
    // The program ends with its main window: an open log must not keep it running.
    if (event->isAccepted() && LogForm)
        LogForm->close();
}

void TDeviceForm::FormShow()
{
    if (!Centred) {
        Centred = true;
        if (QScreen *s = screen())
            move(s->availableGeometry().center() - rect().center());
    }
    ScanExecute();
}

bool TDeviceForm::eventFilter(QObject *watched, QEvent *event)
{
    const bool inList = watched == ui->DeviceList || watched == ui->DeviceList->viewport();
    if (inList && event->type() == QEvent::ContextMenu) {
        auto *request = static_cast<QContextMenuEvent *>(event);
        if (request->reason() == QContextMenuEvent::Mouse)
            ShowContextMenu(request->globalPos());
        else
            ShowContextMenuAtSelection();
        return true;
    }
    if (watched == ui->DeviceList && event->type() == QEvent::KeyPress) {
        // Shift+F10 is the other menu key; neither must wait for the platform.
        const auto *key = static_cast<QKeyEvent *>(event);
        if (key->key() == Qt::Key_Menu || (key->key() == Qt::Key_F10 && key->modifiers() == Qt::ShiftModifier)) {
            ShowContextMenuAtSelection();
            return true;
        }
    }
    if (watched == ui->Panel1 && event->type() == QEvent::Resize) {
        ui->Bevel1->setGeometry(0, 0, ui->Panel1->width(), ui->Bevel1->height());
        PlaceSharedLegend();
    } else if (event->type() == QEvent::ActionChanged && watched->parent() == ui->ToolBar1) {
        // The button would take its command's hint again, or its caption
        // where the command has none.
        auto *button = static_cast<QToolButton *>(watched);
        button->setDefaultAction(button->defaultAction());
        ApplyButtonHint(button);
        return true;
    }
    return QMainWindow::eventFilter(watched, event);
}

void TDeviceForm::ShowContextMenu(const QPoint &GlobalPos)
{
    // The platform may send a menu key of its own after ours.
    if (ContextMenu->isVisible())
        return;
    // the states of this moment, not of the last idle one
    ActionList1Update();
    ContextMenu->popup(GlobalPos);
}

void TDeviceForm::ShowContextMenuAtSelection()
{
    QTreeWidget *list = ui->DeviceList;
    QPoint at(4, 4);
    if (QTreeWidgetItem *row = SelectedRow()) {
        list->scrollToItem(row);
        at = list->visualItemRect(row).bottomLeft() + QPoint(16, 0);
    }
    ShowContextMenu(list->viewport()->mapToGlobal(at));
}

void TDeviceForm::CopyRowExecute()
{
    QTreeWidgetItem *row = SelectedRow();
    if (!row)
        return;
    QStringList texts;
    for (int c = ColName; c <= ColInterface; ++c)
        texts << row->text(c);
    QGuiApplication::clipboard()->setText(texts.join(QLatin1Char('\t')));
}

void TDeviceForm::ApplyButtonHint(QToolButton *Button)
{
    // The hint is what the status bar shows: the command's status tip, or
    // the Telnet button's own. A command without one leaves its button
    // without a tooltip too.
    QAction *command = Button->defaultAction();
    const QString hint = command == ui->Telnet ? TelnetButtonHint : command->statusTip();
    Button->setToolTip(hint);
    Button->setStatusTip(hint);
}

void TDeviceForm::ShowLegend(bool Visible)
{
    ui->ProblemImage->setVisible(Visible);
    ui->ProblemLabel->setVisible(Visible);
}

void TDeviceForm::ScanExecute()
{
    // One line per scan at most, however many interfaces refused.
    const int scan = ++ScanCount;
    // The answer comes when the program has ended, perhaps after this window.
    CurrentShell().FlushArpCache(UsedInterfaces(), [self = QPointer(this), scan](const QString &reason) {
        if (!self || self->FlushFailureLogged == scan)
            return;
        self->FlushFailureLogged = scan;
        LogLine(reason);
    });

    QTreeWidgetItem *row = SelectedRow();
    LastSelectedID = row ? row->text(ColID) : QString();

    // a rescan under way would show what this scan is about to clear
    Rescanner->ListCleared();
    ui->DeviceList->clear();
    ListedRows.clear();
    IDsAt.clear();
    AnyShared = false;
    ShowSharedLegend();
    // a new scan ends the last one's sweep: its answers would join this list
    delete Sweep;
    UpdateFindCount();

    ProtocolInterface->OnDeviceFound = [this](TTVPInterface *Sender, const TDeviceInfo *Info) {
        AddDevice(Sender, Info);
    };

    ui->Progress->setValue(0);
    ui->Progress->show();
    // A running timer keeps its rhythm.
    if (!ScanTimer->isActive())
        ScanTimer->start();

    ShowLegend(false);
    ProtocolInterface->StartDiscovery();
}

void TDeviceForm::InsertSorted(QTreeWidgetItem *Row)
{
    // The list is always sorted, so a binary search finds the place; a
    // full re-sort per answer would cost too much on a large network.
    QTreeWidget *list = ui->DeviceList;
    int low = 0;
    int high = list->topLevelItemCount();
    while (low < high) {
        const int mid = low + (high - low) / 2;
        if (*Row < *list->topLevelItem(mid))
            high = mid;
        else
            low = mid + 1;
    }
    list->insertTopLevelItem(low, Row);
}

QTreeWidgetItem *TDeviceForm::DeviceRow(const QString &ID)
{
    // Rows cleared behind our back take their IDs with them.
    if (ui->DeviceList->topLevelItemCount() == 0) {
        ListedRows.clear();
        IDsAt.clear();
    }
    return ListedRows.value(ID);
}

QTreeWidgetItem *TDeviceForm::InsertDeviceRow(const TDeviceInfo &Info)
{
    auto *row = new TDeviceRow(QStringList{Info.Name, Info.Type, Info.IPAddress, Info.ID, Info.Interface});
    row->setData(ColName, ReportedNameRole, Info.Name);
    // the user may rename a row in place; only the shown text changes
    row->setFlags(row->flags() | Qt::ItemIsEditable);
    InsertSorted(row);
    ListedRows.insert(Info.ID, row);
    return row;
}

void TDeviceForm::SetReachable(QTreeWidgetItem *Row, bool Reachable)
{
    // an answer at a shared address may be the other device's
    if (!SharedWith(Row).isEmpty())
        return;
    SetImageIndex(Row, Reachable ? -1 : NotReachableImage);
    if (!Reachable)
        ShowLegend(true);
}

void TDeviceForm::AddDevice(TTVPInterface *, const TDeviceInfo *Info)
{
    // A rescan of Keep Scanning shows its answers itself, without moving the selection.
    if (Rescanner->Collecting())
        return;
    // The row that came first stays, whatever a later answer says.
    if (DeviceRow(Info->ID))
        return;
    // once the broadcasts' answers are in, a new ID answered only its own address
    const bool routed = Sweep && Sweep->Started();
    TDeviceInfo shown = *Info;
    if (routed)
        shown.Interface = RoutedInterfaceText(Info->Interface);
    QTreeWidgetItem *row = InsertDeviceRow(shown);
    row->setData(ColInterface, RoutedRole, routed);

    // The library has probed the device by the time its answer arrives, so
    // this returns at once. Where another device reports the address too,
    // an answer there may be the other's: no probe can say.
    bool reachable = false;
    try {
        reachable = routed ? PingAddress(Info->IPAddress) : PingDevice(Info->IPAddress);
    } catch (...) {
        // a failed probe is just an unreachable device
    }
    if (!NoteSharedAddress(row) && !reachable)
        SetReachable(row, false);

    // a row the filter hides is not the one the commands should act on
    FilterRow(row);
    if (!row->isHidden() && (Info->ID == LastSelectedID || !SelectedRow()))
        ui->DeviceList->setCurrentItem(row);
    UpdateFindCount();
}

void TDeviceForm::ScanTimerTimer()
{
    ui->Progress->setValue(ui->Progress->value() + 1);
    if (ui->Progress->value() == ui->Progress->maximum()) {
        ui->Progress->hide();
        ScanTimer->stop();
        ShowSharedLegend();
    }
}

void TDeviceForm::ActionList1Update()
{
    ui->Scan->setEnabled(true);
    ui->Exit->setEnabled(true);
    QTreeWidgetItem *row = SelectedRow();
    const bool selected = row != nullptr;
    for (QAction *command : {ui->SetIPConfig, ui->DoUpgrade, ui->Webserver, ui->Telnet})
        command->setEnabled(selected);
    ui->Network->setEnabled(true);
    // a routed row's Auto IP says why it can't help there
    ui->AutoSetIP->setEnabled(selected && (ImageIndex(row) == NotReachableImage || Routed(row)));
    CopyRow->setEnabled(selected);
}

void TDeviceForm::DeviceListDblClick()
{
    WebserverExecute();
}

void TDeviceForm::DeviceListEdited(QTreeWidgetItem *Row, int ColumnIndex)
{
    if (ColumnIndex != ColName || !Row)
        return;
    // a renamed row is filtered by its new name; a new mark is counted
    FilterRow(Row);
    if (Row->isHidden() && Row->isSelected())
        KeepSelectionShown();
    UpdateFindCount();
    QTreeWidget *list = ui->DeviceList;
    const int index = list->indexOfTopLevelItem(Row);
    if (index < 0)
        return;
    // The list is sorted but for this row: only a Name that moved it re-sorts
    // (an image change reports here too).
    QTreeWidgetItem *previous = index > 0 ? list->topLevelItem(index - 1) : nullptr;
    QTreeWidgetItem *next = list->topLevelItem(index + 1);
    if ((previous && *Row < *previous) || (next && *next < *Row))
        list->sortItems(ColName, Qt::AscendingOrder);
}

void TDeviceForm::ExitExecute()
{
    close();
}

void TDeviceForm::WebserverExecute()
{
    QTreeWidgetItem *row = SelectedRow();
    if (!row)
        return;
    OpenURL(QStringLiteral("http://") + row->text(ColIPAddress) + QStringLiteral("/"));
}

void TDeviceForm::TelnetExcute()
{
    QTreeWidgetItem *row = SelectedRow();
    if (!row)
        return;
    CurrentShell().StartTelnet(row->text(ColIPAddress));
}

void TDeviceForm::NetworkExcu()
{
    CurrentShell().OpenNetworkSettings();
}

void TDeviceForm::home()
{
    // Unlike Web, a failure here is not reported.
    CurrentShell().OpenURL(HomePageURL, nullptr);
}

void OpenURL(const QString &Text)
{
    // The answer may come later: the window stays usable meanwhile.
    CurrentShell().OpenURL(Text, [Text](bool opened) {
        if (opened)
            return;
        QMessageBox box(QMessageBox::NoIcon, ApplicationTitle,
                        QStringLiteral("An error occured. Please open ") + Text + QStringLiteral(" from your browser."),
                        QMessageBox::Ok);
        // The address comes from the network: never let it render as markup.
        box.setTextFormat(Qt::PlainText);
        box.exec();
    });
}
