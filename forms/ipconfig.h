// SPDX-License-Identifier: MIT
#pragma once

#include <QDialog>
#include <QString>

namespace Ui {
class TIPConfigForm;
}

class TTVPInterface;
struct TDeviceInfo;

// IP settings of one device: read on show, written by Apply.
class TIPConfigForm final : public QDialog
{
    Q_OBJECT

public:
    explicit TIPConfigForm(QWidget *parent = nullptr);
    ~TIPConfigForm() override;
    TIPConfigForm(const TIPConfigForm &) = delete;
    TIPConfigForm &operator=(const TIPConfigForm &) = delete;

    // The device list's ID text of the device this dialog addresses.
    QString DeviceID;
    // Where to ask it by unicast (a device behind a router); empty: by
    // broadcast. Set before each showing, forgotten when the dialog closes.
    QString DeviceAddress;
    // The static address Apply last sent; empty for DHCP.
    QString SentAddress;

    void GetIPReply(TTVPInterface *Sender, const TDeviceInfo *Info);
    void SetIPReply(TTVPInterface *Sender, const TDeviceInfo *Info);

public slots:
    void FormShow();
    void ActionList1Update();
    void ApplyExecute();
    void reject() override;

protected:
    void showEvent(QShowEvent *event) override;
    void hideEvent(QHideEvent *event) override;

private:
    bool IsFromThisDevice(const TDeviceInfo *Info) const;

    Ui::TIPConfigForm *ui;
};

extern TIPConfigForm *IPConfigForm;

// The text with every space removed; everything else is kept.
QString StripBlanks(const QString &Text);
