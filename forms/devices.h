// SPDX-License-Identifier: MIT
#pragma once

#include <QCollator>
#include <QIcon>
#include <QList>
#include <QMainWindow>
#include <QHash>
#include <QString>

namespace Ui {
class TDeviceForm;
}

class QAction;
class QFileDialog;
class QMenu;
class QTimer;
class QToolButton;
class QTreeWidgetItem;
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

    TTVPInterface *ProtocolInterface = nullptr;
    QString LastSelectedID;
    QTimer *ScanTimer = nullptr;
    // Shared by the commands, the tool bar and the rows.
    QList<QIcon> ImageList;

    void AddDevice(TTVPInterface *Sender, const TDeviceInfo *Info);

    // A row's image index: -1 none, NotReachableImage for the mark.
    static int ImageIndex(const QTreeWidgetItem *Row);
    void SetImageIndex(QTreeWidgetItem *Row, int Index) const;

    // The listed devices as their rows read, in list order.
    QList<TDeviceInfo> ListedDevices() const;

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
    // devices_upgradecommands.cpp
    void DoUpgradeExecute();
    void UpgradeAnyExecute();
    void AboutExecute();
    // Tools
    void UpgradeSeveralExecute();
    // devices_toolcommands.cpp
    void NetworkDiagnosisExecute();
    void CompareWithSavedExecute();

protected:
    void showEvent(QShowEvent *event) override;
    void closeEvent(QCloseEvent *event) override;
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    QTreeWidgetItem *SelectedRow() const;
    void FormShow();
    void InsertSorted(QTreeWidgetItem *Row);
    void ShowLegend(bool Visible);
    void ShowContextMenu(const QPoint &GlobalPos);
    void ShowContextMenuAtSelection();
    void ApplyButtonHint(QToolButton *Button);
    // The saved list at Path against the rows, once no scan is filling them.
    void CompareWithSaved(const QString &Path);

    Ui::TDeviceForm *ui;
    QMenu *ContextMenu = nullptr;
    QAction *CopyRow = nullptr;
    QFileDialog *SavedListDialog = nullptr;
    // Rows of this scan by ID, so that a repeated answer costs no list walk.
    QHash<QString, QTreeWidgetItem *> ListedRows;
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
