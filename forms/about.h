// SPDX-License-Identifier: MIT
#pragma once

#include <QDialog>
#include <QString>

#include <array>
#include <cstdint>
#include <optional>

namespace Ui {
class TAboutForm;
}

// The About window: program name, copyright, version and emblem.
class TAboutForm final : public QDialog
{
    Q_OBJECT

public:
    explicit TAboutForm(QWidget *parent = nullptr);
    ~TAboutForm() override;
    TAboutForm(const TAboutForm &) = delete;
    TAboutForm &operator=(const TAboutForm &) = delete;

protected:
    void keyPressEvent(QKeyEvent *event) override;
    void resizeEvent(QResizeEvent *event) override;

private:
    Ui::TAboutForm *ui;
};

extern TAboutForm *AboutForm;

// The running program file's version as "%d.4.%d build %d"; empty when the
// file carries no version record.
QString VersionText();

// The formatting part of VersionText: the second number is never shown.
QString FormatVersionText(const std::optional<std::array<uint16_t, 4>> &Version);
