#include "graph/matchesmodel.h"

#include <algorithm>
#include <cmath>
#include <cstdint>

MatchesModel::MatchesModel(QObject *parent) : QAbstractTableModel(parent) {}

void MatchesModel::setMatches(std::vector<dsp::matches::Match> found,
                              const dsp::matches::Placement &placement)
{
    beginResetModel();
    rows.clear();
    rows.reserve(found.size());
    for (std::size_t i = 0; i < found.size(); ++i)
        rows.push_back({int(i) + 1, placement.seconds(found[i].alignedStep), found[i]});
    endResetModel();
}

int MatchesModel::rowCount(const QModelIndex &parent) const
{
    return parent.isValid() ? 0 : int(rows.size());
}

int MatchesModel::columnCount(const QModelIndex &parent) const
{
    return parent.isValid() ? 0 : int(ColumnCount);
}

QVariant MatchesModel::data(const QModelIndex &index, int role) const
{
    if (!index.isValid() || index.row() >= int(rows.size()))
        return QVariant();
    const Row &row = rows[std::size_t(index.row())];
    if (role == Qt::TextAlignmentRole)
        return int(Qt::AlignRight | Qt::AlignVCenter);
    if (role != Qt::DisplayRole)
        return QVariant();
    switch (index.column()) {
    case Number:
        return row.number;
    case Time:
        return clockTime(row.seconds);
    case Strength:
        return row.match.strength;
    case Correlation:
        return QString::number(row.match.correlation, 'f', 3);
    default:
        return QVariant();
    }
}

QVariant MatchesModel::headerData(int section, Qt::Orientation orientation, int role) const
{
    if (orientation != Qt::Horizontal || role != Qt::DisplayRole)
        return QAbstractTableModel::headerData(section, orientation, role);
    switch (section) {
    case Number:
        return QStringLiteral("#");
    case Time:
        return QStringLiteral("Time");
    case Strength:
        return QStringLiteral("Strength");
    case Correlation:
        return QStringLiteral("Correlation");
    default:
        return QVariant();
    }
}

void MatchesModel::sort(int column, Qt::SortOrder order)
{
    const auto key = [column](const Row &row) {
        if (column == Strength)
            return double(row.match.strength);
        if (column == Correlation)
            return row.match.correlation;
        return double(row.number);
    };
    emit layoutAboutToBeChanged();
    // Selections and the current row follow their matches.
    const QModelIndexList before = persistentIndexList();
    std::vector<int> numbers;
    for (const QModelIndex &index : before)
        numbers.push_back(rows[std::size_t(index.row())].number);
    std::stable_sort(rows.begin(), rows.end(), [&](const Row &a, const Row &b) {
        if (key(a) != key(b))
            return order == Qt::AscendingOrder ? key(a) < key(b) : key(a) > key(b);
        return a.number < b.number;
    });
    std::vector<int> rowOfNumber(rows.size() + 1);
    for (std::size_t r = 0; r < rows.size(); ++r)
        rowOfNumber[std::size_t(rows[r].number)] = int(r);
    QModelIndexList after;
    for (int i = 0; i < before.size(); ++i)
        after << index(rowOfNumber[std::size_t(numbers[std::size_t(i)])], before[i].column());
    changePersistentIndexList(before, after);
    emit layoutChanged();
}

QString MatchesModel::clockTime(double seconds)
{
    if (!std::isfinite(seconds))
        return QStringLiteral("-");
    const std::int64_t total = std::llround(std::fabs(seconds) * 1000.0);
    const std::int64_t ms = total % 1000;
    const std::int64_t s = total / 1000 % 60;
    const std::int64_t m = total / 60000 % 60;
    const std::int64_t h = total / 3600000;
    return QStringLiteral("%1%2:%3:%4.%5")
        .arg(seconds < 0 && total > 0 ? QStringLiteral("-") : QString())
        .arg(h)
        .arg(m, 2, 10, QChar('0'))
        .arg(s, 2, 10, QChar('0'))
        .arg(ms, 3, 10, QChar('0'));
}
