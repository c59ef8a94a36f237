// SPDX-License-Identifier: MIT
#pragma once

#include <QAbstractTableModel>
#include <QString>

#include <optional>
#include <vector>

#include "plan.h"
#include "plan_apply.h"
#include "plan_check.h"

// The address plan dialog's table: one row per plan line with what the
// discovery found, the check's verdict and the apply's outcome as they come.
// A model rather than items: a thousand rows change at once.
class TPlanRows final : public QAbstractTableModel
{
    Q_OBJECT

public:
    enum Column { ColID, ColName, ColFoundOn, ColCurrent, ColPlanned, ColCheck, ColOutcome, ColumnCount };

    explicit TPlanRows(QObject *parent = nullptr);

    // A new plan: every row as yet unchecked.
    void SetLines(std::vector<site::PlanLine> Lines);
    const std::vector<site::PlanLine> &Lines() const { return PlanLines; }

    // Every row's check: "looking" while it runs, then its verdict.
    void SetChecking();
    void SetChecks(const std::vector<site::LineCheck> &Checks);
    // The outcome of a line left out of the apply, or of one device as the
    // apply goes on.
    void SetNotApplied(size_t Row, const QString &Why);
    void SetApplyState(size_t Row, const site::ApplyDevice &Device);

    // What Save Results writes: the last check's, or the apply's where
    // there is one, in plan order; empty before a check.
    std::vector<site::LineResult> Results() const;

    int rowCount(const QModelIndex &parent = {}) const override;
    int columnCount(const QModelIndex &parent = {}) const override;
    QVariant data(const QModelIndex &index, int role = Qt::DisplayRole) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role = Qt::DisplayRole) const override;

private:
    struct Row
    {
        QString Name, FoundOn, Current, Check, Outcome;
        std::optional<site::LineResult> Result;
    };
    QString Text(const Row &R, size_t Index, int Column) const;
    void RowsChanged(size_t First, size_t Last);

    std::vector<site::PlanLine> PlanLines;
    std::vector<Row> Rows;
};
