#pragma once

#include "dsp/matches.h"

#include <QAbstractTableModel>
#include <QString>

#include <vector>

/// The matches of a Draw as a table: number, time (h:mm:ss.sss from the
/// recording's first sample), strength (the detector) and correlation (|r|).
/// Number is the place in time order and stays with its match whatever the
/// order shown; the rows start in time order.
class MatchesModel : public QAbstractTableModel
{
    Q_OBJECT

public:
    enum Column { Number, Time, Strength, Correlation, ColumnCount };

    explicit MatchesModel(QObject *parent = nullptr);

    /// Replaces the rows by `found` (in step order) placed by `placement`.
    void setMatches(std::vector<dsp::matches::Match> found,
                    const dsp::matches::Placement &placement);
    const dsp::matches::Match &matchAt(int row) const { return rows[std::size_t(row)].match; }
    int matchCount() const { return int(rows.size()); }

    int rowCount(const QModelIndex &parent = QModelIndex()) const override;
    int columnCount(const QModelIndex &parent = QModelIndex()) const override;
    QVariant data(const QModelIndex &index, int role = Qt::DisplayRole) const override;
    QVariant headerData(int section, Qt::Orientation orientation,
                        int role = Qt::DisplayRole) const override;
    /// By time (also for Number) or by strength or correlation; equal ones
    /// keep their time order.
    void sort(int column, Qt::SortOrder order = Qt::AscendingOrder) override;

    /// `seconds` as h:mm:ss.sss, rounded to the millisecond.
    static QString clockTime(double seconds);

private:
    struct Row
    {
        int number;
        double seconds;
        dsp::matches::Match match;
    };
    std::vector<Row> rows;
};
