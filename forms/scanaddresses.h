// SPDX-License-Identifier: MIT
#pragma once

#include <QDialog>
#include <QString>

#include <optional>
#include <vector>

#include "ranges.h"

namespace Ui {
class TScanAddressesForm;
}

// Asks which addresses to ask directly, and how fast: devices behind a
// router answer no broadcast, only a request to their own address.
class TScanAddressesForm final : public QDialog
{
    Q_OBJECT

public:
    explicit TScanAddressesForm(QWidget *parent = nullptr);
    ~TScanAddressesForm() override;
    TScanAddressesForm(const TScanAddressesForm &) = delete;
    TScanAddressesForm &operator=(const TScanAddressesForm &) = delete;

    // What to ask once the dialog ended with Scan: merged ranges, and
    // requests per second.
    std::vector<site::Range> Targets() const { return Chosen; }
    double Rate() const;

public slots:
    void UpdateSummary();
    void ScanButtonClick();

private:
    // The ranges typed, merged; empty with the reason in *error.
    std::optional<std::vector<site::Range>> ParseRanges(QString *error) const;

    Ui::TScanAddressesForm *ui;
    std::vector<site::Range> Chosen;
};

// "40 s", "7 min", "3 h": how long a sweep of `count` addresses takes.
QString SweepDurationText(double seconds);
