// SPDX-License-Identifier: MIT
#include "planrows.h"

#include "address.h"

namespace {

QString Q(const std::string &text)
{
    return QString::fromStdString(text);
}

const char *const Headers[TPlanRows::ColumnCount] = {
    "ID", "Name", "Found on", "Current address", "Planned address", "Check", "Outcome",
};

// What a device in the apply is doing, as its row says it.
QString PhaseText(const site::ApplyDevice &d)
{
    using site::ApplyPhase;
    const site::Settings &planned = d.target.planned;
    switch (d.phase) {
    case ApplyPhase::Queued: return QStringLiteral("waiting its turn");
    case ApplyPhase::Reading: return QStringLiteral("reading its settings");
    case ApplyPhase::Setting: return QStringLiteral("setting ") + Q(site::SettingsText(planned));
    case ApplyPhase::Verifying:
        return planned.dhcp ? QStringLiteral("looking for it (DHCP)")
                            : QStringLiteral("looking for it at ") + Q(tvp::wire::FormatDottedQuad(planned.ip));
    case ApplyPhase::RollingBack: return QStringLiteral("rolling back: ") + Q(d.message);
    case ApplyPhase::Returning: return QStringLiteral("looking for it at its previous address");
    case ApplyPhase::Done: break;
    }
    return Q(site::OutcomeText(d.outcome)) + QStringLiteral(": ") + Q(d.message);
}

} // namespace

TPlanRows::TPlanRows(QObject *parent)
    : QAbstractTableModel(parent)
{}

void TPlanRows::SetLines(std::vector<site::PlanLine> Lines)
{
    beginResetModel();
    PlanLines = std::move(Lines);
    Rows.assign(PlanLines.size(), Row{});
    for (size_t i = 0; i < PlanLines.size(); ++i)
        Rows[i].Name = Q(PlanLines[i].name);
    endResetModel();
}

void TPlanRows::SetChecking()
{
    for (Row &r : Rows) {
        r.Check = QStringLiteral("looking for it");
        r.Outcome.clear();
        r.Result.reset();
    }
    RowsChanged(0, Rows.size());
}

void TPlanRows::SetChecks(const std::vector<site::LineCheck> &Checks)
{
    const auto results = site::CheckResults(Checks);
    for (size_t i = 0; i < Checks.size() && i < Rows.size(); ++i) {
        Row &r = Rows[i];
        const auto &device = Checks[i].device;
        if (device) {
            if (!device->name.empty())
                r.Name = Q(device->name);
            r.FoundOn = Q(device->interfaceText) + (device->routed ? QStringLiteral(", behind a router") : QString());
            r.Current = Q(device->ip);
        } else {
            r.FoundOn = QStringLiteral("not found");
            r.Current.clear();
        }
        r.Check = Checks[i].Passed() ? QStringLiteral("ok") : Q(results[i].message);
        r.Outcome.clear();
        r.Result = results[i];
    }
    RowsChanged(0, Rows.size());
}

void TPlanRows::SetNotApplied(size_t Index, const QString &Why)
{
    if (Index >= Rows.size())
        return;
    Row &r = Rows[Index];
    r.Outcome = QStringLiteral("not applied: ") + Why;
    const site::PlanLine &line = PlanLines[Index];
    r.Result = site::LineResult{line.line, line.id, site::SettingsText(line.planned), "not applied", Why.toStdString()};
    RowsChanged(Index, Index + 1);
}

void TPlanRows::SetApplyState(size_t Index, const site::ApplyDevice &Device)
{
    if (Index >= Rows.size())
        return;
    Row &r = Rows[Index];
    r.Outcome = PhaseText(Device);
    if (Device.phase == site::ApplyPhase::Done)
        r.Result = site::ApplyResults({Device}).front();
    RowsChanged(Index, Index + 1);
}

std::vector<site::LineResult> TPlanRows::Results() const
{
    std::vector<site::LineResult> results;
    for (const Row &r : Rows)
        if (r.Result)
            results.push_back(*r.Result);
    return results;
}

void TPlanRows::RowsChanged(size_t First, size_t Last)
{
    if (First < Last)
        emit dataChanged(index(int(First), 0), index(int(Last) - 1, ColumnCount - 1));
}

int TPlanRows::rowCount(const QModelIndex &parent) const
{
    return parent.isValid() ? 0 : int(Rows.size());
}

int TPlanRows::columnCount(const QModelIndex &parent) const
{
    return parent.isValid() ? 0 : ColumnCount;
}

QString TPlanRows::Text(const Row &R, size_t Index, int Column) const
{
    const site::PlanLine &line = PlanLines[Index];
    switch (Column) {
    case ColID: return Q(line.id);
    case ColName: return R.Name;
    case ColFoundOn: return R.FoundOn;
    case ColCurrent: return R.Current;
    case ColPlanned: return Q(site::SettingsText(line.planned));
    case ColCheck: return R.Check;
    case ColOutcome: return R.Outcome;
    default: return {};
    }
}

QVariant TPlanRows::data(const QModelIndex &index, int role) const
{
    if (!index.isValid() || size_t(index.row()) >= Rows.size())
        return {};
    // the whole text of a long verdict in the tooltip
    if (role != Qt::DisplayRole && role != Qt::ToolTipRole)
        return {};
    return Text(Rows[size_t(index.row())], size_t(index.row()), index.column());
}

QVariant TPlanRows::headerData(int section, Qt::Orientation orientation, int role) const
{
    if (orientation == Qt::Horizontal && role == Qt::DisplayRole && section >= 0 && section < ColumnCount)
        return QString::fromLatin1(Headers[section]);
    if (orientation == Qt::Vertical && role == Qt::DisplayRole)
        return section >= 0 && size_t(section) < PlanLines.size() ? QVariant(PlanLines[size_t(section)].line)
                                                                  : QVariant();
    return {};
}
