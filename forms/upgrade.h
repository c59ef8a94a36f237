// SPDX-License-Identifier: MIT
#pragma once

#include <QDialog>
#include <QString>

#include <cstdint>

namespace Ui {
class TUpgradeForm;
}

class QFileDialog;
class QLineEdit;

// What an upgrade run needs from outside the dialog: the library's transfer
// and the clock of the retry pause. Tests give their own answers and time.
class TUpgradeSystem
{
public:
    virtual ~TUpgradeSystem() = default;
    virtual int32_t UpgradeDevice(const char *Path, const char *Address) = 0;
    // A millisecond count that wraps at 32 bits.
    virtual uint32_t TickCount() = 0;
    virtual void Sleep(unsigned Milliseconds) = 0;
};

// The flash upgrade dialog: sends a firmware image to one device, with one
// automatic retry after a pause.
class TUpgradeForm final : public QDialog
{
    Q_OBJECT

public:
    explicit TUpgradeForm(QWidget *parent = nullptr);
    ~TUpgradeForm() override;
    TUpgradeForm(const TUpgradeForm &) = delete;
    TUpgradeForm &operator=(const TUpgradeForm &) = delete;

    // Modal result of the Cancel button and of Esc.
    static constexpr int ModalCancel = 2;

    // The library itself and the system clock unless a test installs its
    // own (nullptr: those again); not owned.
    void SetSystem(TUpgradeSystem *Replacement);

    // Lays a dotted quad into the address field, each group left-aligned in
    // its slot; an empty text gives the empty template.
    void SetIPAddressText(const QString &DottedQuad);
    // The address field's full text: always 15 characters.
    QString IPAddressText() const;

    bool RunUpgrade(const QString &FileName, const QString &Address);
    void UpgradeStarted(int32_t Total);
    void UpgradeProgress(int32_t Position);

public slots:
    void ChooseButtonClick();
    void CancelButtonClick();
    void UpgradeUpdate();
    void UpgradeExecute();
    void reject() override;

protected:
    void showEvent(QShowEvent *event) override;

private:
    void PauseBeforeRetry();

    Ui::TUpgradeForm *ui;
    TUpgradeSystem *System;
    QFileDialog *OpenDialog = nullptr;
    bool Upgrading = false;
};

extern TUpgradeForm *UpgradeForm;

// Routes the library's upgrade events (code 4) to the one upgrade dialog.
void HandleUpgradeEvent(uint32_t Code, const void *Record);

// The file-open dialog for firmware images (title, filters, default
// extension), owned by Parent; every dialog that takes an image uses it.
QFileDialog *NewUpgradeFileDialog(QWidget *Parent);
// Shows Dialog (made by NewUpgradeFileDialog on first use) and puts the
// chosen image's path into Field; Field stays as it is on Cancel.
void ChooseUpgradeFile(QWidget *Parent, QFileDialog *&Dialog, QLineEdit *Field);

// Drops blanks, leading dots and repeated dots from a masked address text.
QString CompactAddressText(const QString &Text);
