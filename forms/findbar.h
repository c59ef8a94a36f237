// SPDX-License-Identifier: MIT
#pragma once

#include <QStringList>
#include <QWidget>

namespace Ui {
class TFindBar;
}

// The bar above the device list that filters its rows: hidden until Find
// opens it, closed again by Esc or its Close button.
class TFindBar final : public QWidget
{
    Q_OBJECT

public:
    explicit TFindBar(QWidget *parent = nullptr);
    ~TFindBar() override;
    TFindBar(const TFindBar &) = delete;
    TFindBar &operator=(const TFindBar &) = delete;

    // Shows the bar with the typed text selected, so that typing replaces it.
    void Open();
    // The text that filters, empty while the bar is closed.
    QString FilterText() const;
    // Whether a row's texts pass the filter: any of them holds the text,
    // whatever its case.
    bool Matches(const QStringList &Texts) const;
    void ShowCounts(int Matching, int Total, int NotReachable);

signals:
    void FilterChanged();
    // The bar closed; the list is to show every row again.
    void Closed();
    // Down or Enter in the text: the user goes on to the rows.
    void GoToList();

public slots:
    void CloseBar();

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;
    void keyPressEvent(QKeyEvent *event) override;

private:
    Ui::TFindBar *ui;
};

// "3 of 8 devices match, 1 not reachable"
QString FindCountText(int Matching, int Total, int NotReachable);
