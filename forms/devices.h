// SPDX-License-Identifier: MIT
#pragma once

#include <QCollator>
#include <QIcon>
#include <QList>
#include <QMainWindow>
#include <QHash>
#include <QPointer>
#include <QString>
#include <QStringList>

#include <vector>

#include "ranges.h"

#include <string>

namespace Ui {
class TDeviceForm;
}

class QAction;
class QFileDialog;
class QMenu;
class QTimer;
class QToolButton;
class QTreeWidgetItem;
class TAddressSweep;
class TScanAddressesForm;
class TFindBar;
class TKeepScanning;
class TTVPInterface;
struct TDeviceInfo;

// The main window: the device list, the scan and the commands.
class TDeviceForm final : public QMainWindow
{
    Q_OBJECT

public:
    explicit TDeviceForm(QWidget *parent = nullptr);
    ~TDeviceForm() override;
    TDeviceForm(const TDeviceForm &) = delete;
    TDeviceForm &operator=(const TDeviceForm &) = delete;

    // Columns of a device row.
    enum Column { ColName = 0, ColType, ColIPAddress, ColID, ColInterface };
    static constexpr int NotReachableImage = 4;
    static constexpr int ImageCount = 8;
    // The Name the device reported, which an edit in place leaves as it was.
    static constexpr int ReportedNameRole = Qt::UserRole + 1;
    // Two more: the other IDs at a row's address (on ID), and reached
    // through a router (on Interface).
    // (Keep Scanning's own is Qt::UserRole + 2.)
    static constexpr int SharedRole = Qt::UserRole + 3;
    static constexpr int RoutedRole = Qt::UserRole + 4;

    TTVPInterface *ProtocolInterface = nullptr;
    QString LastSelectedID;
    QTimer *ScanTimer = nullptr;
    // Shared by the commands, the tool bar and the rows.
    QList<QIcon> ImageList;
    // Tools > Keep Scanning.
    TKeepScanning *Rescanner = nullptr;

    void AddDevice(TTVPInterface *Sender, const TDeviceInfo *Info);
    // A listed device's row by its ID; nullptr when none.
    QTreeWidgetItem *DeviceRow(const QString &ID);
    // A new row in its sorted place, neither probed nor selected.
    QTreeWidgetItem *InsertDeviceRow(const TDeviceInfo &Info);
    // The not-reachable mark on or off, the legend with it.
    void SetReachable(QTreeWidgetItem *Row, bool Reachable);

    // Writes the rows the list shows, with netscry-cli discover's fields;
    // false, after telling the user why, when the file cannot be written.
    enum class ListFormat { Csv, Json };
    bool ExportList(const QString &FileName, ListFormat Format);

    // A row's image index: -1 none, NotReachableImage for the mark.
    static int ImageIndex(const QTreeWidgetItem *Row);
    void SetImageIndex(QTreeWidgetItem *Row, int Index) const;

    // The listed devices as their rows read, in list order.
    QList<TDeviceInfo> ListedDevices() const;
    // The other IDs that reported a row's address in this scan; empty
    // when it has the address to itself.
    static QStringList SharedWith(const QTreeWidgetItem *Row);
    // Whether a row's device answered only a request to its own address:
    // it is behind a router.
    static bool Routed(const QTreeWidgetItem *Row);
    // The Interface column of such a row.
    static QString RoutedInterfaceText(const QString &Interface);
    // The mark of a row whose address another device reports too.
    QIcon SharedAddressIcon;

    // The usual scan, then each address of `Targets` asked directly at
    // `Rate` requests per second; what answers only then is listed as
    // behind a router.
    void ScanAddresses(std::vector<site::Range> Targets, double Rate);
    // Whether the last Scan Addresses is still asking its addresses.
    bool Sweeping() const;
    // The rate the user chose for it: what a link to a routed site bears.
    double SweepRequestRate() const { return SweepRate; }
    // A row new to the list is marked, with the rows it shares its address
    // with, when another device reports that address too.
    bool NoteSharedAddress(QTreeWidgetItem *Row);
    // A listed row's device answered at a new address: it no longer counts
    // at `Before`, and is marked where it shares the new one.
    void AddressChanged(QTreeWidgetItem *Row, const QString &Before);

public slots:
    void ScanExecute();
    void ScanTimerTimer();
    void ActionList1Update();
    void DeviceListDblClick();
    void DeviceListEdited(QTreeWidgetItem *Row, int ColumnIndex);
    void ExitExecute();
    void CopyRowExecute();
    void WebserverExecute();
    // devices.ui binds these three by name, odd spellings and all.
    void TelnetExcute();
    void NetworkExcu();
    void home();
    // devices_ipcommands.cpp
    void SetIPConfigExecute();
    void AutoSetIPExecute();
    void AddressPlanExecute();
    // devices_upgradecommands.cpp
    void DoUpgradeExecute();
    void UpgradeAnyExecute();
    void AboutExecute();
    // Tools: devices_upgradecommands.cpp
    void UpgradeSeveralExecute();
    // devices_listcommands.cpp
    void FindExecute();
    void ExportListExecute();
    void KeepScanningToggled(bool Checked);
    // devices_sitecommands.cpp
    void ScanAddressesExecute();
    // devices_toolcommands.cpp
    void NetworkDiagnosisExecute();
    void CompareWithSavedExecute();

protected:
    void showEvent(QShowEvent *event) override;
    void closeEvent(QCloseEvent *event) override;
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    QTreeWidgetItem *SelectedRow() const;
    void SetUpToolButtons();
    void SetUpLegends();
    void FormShow();
    void InsertSorted(QTreeWidgetItem *Row);
    void ShowLegend(bool Visible);
    void ShowContextMenu(const QPoint &GlobalPos);
    void ShowContextMenuAtSelection();
    void ApplyButtonHint(QToolButton *Button);
    // devices_listcommands.cpp
    void FilterRow(QTreeWidgetItem *Row) const;
    void FilterRows();
    void KeepSelectionShown();
    void UpdateFindCount();
    std::string ListText(ListFormat Format) const;
    // devices_sitecommands.cpp
    void MarkShared(QTreeWidgetItem *Row, const QStringList &Others);
    void ShowSharedLegend();
    void PlaceSharedLegend();
    void SweepFinished();
    // The saved list at Path against the rows, once no scan is filling them.
    void CompareWithSaved(const QString &Path);

    Ui::TDeviceForm *ui;
    QMenu *ContextMenu = nullptr;
    QAction *CopyRow = nullptr;
    TFindBar *FindBar = nullptr;
    QFileDialog *ExportDialog = nullptr;
    QFileDialog *SavedListDialog = nullptr;
    // Rows of this scan by ID, so that a repeated answer costs no list walk.
    QHash<QString, QTreeWidgetItem *> ListedRows;
    // The IDs that reported each address in this scan.
    QHash<QString, QStringList> IDsAt;
    bool AnyShared = false;
    // The addresses of the last Scan Addresses, asked again after a routed
    // device was given new settings (no broadcast finds it again).
    QPointer<TAddressSweep> Sweep;
    std::vector<site::Range> SweepTargets;
    double SweepRate = 0;
    TScanAddressesForm *ScanAddressesDialog = nullptr;
    bool Centred = false;
    int ScanCount = 0;
    int FlushFailureLogged = 0;
};

extern TDeviceForm *DeviceForm;

// The order of device names: the default locale's, case-sensitive, and a
// word order even where that locale is C.
const QCollator &DeviceNameCollator();

// The maker's home page, opened by Homepages.
extern const QString HomePageURL;

// Opens a URL in the user's browser and tells the user when that failed.
void OpenURL(const QString &Text);
