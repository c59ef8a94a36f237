#pragma once

#include <QMainWindow>
#include <QString>

namespace Ui {
class TDeviceForm;
}

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

    TTVPInterface *ProtocolInterface = nullptr;
    QString LastSelectedID;

    void AddDevice(TTVPInterface *Sender, const TDeviceInfo *Info);

public slots:
    void ScanExecute();
    void ScanTimerTimer();
    void ActionList1Update();
    void DeviceListDblClick();
    void ExitExecute();
    void WebserverExecute();
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

protected:
    void showEvent(QShowEvent *event) override;

private:
    QTreeWidgetItem *SelectedRow() const;

    Ui::TDeviceForm *ui;
};

extern TDeviceForm *DeviceForm;
