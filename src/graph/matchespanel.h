#pragma once

#include "dsp/matches.h"
#include "graph/matchesmodel.h"

#include <QString>
#include <QWidget>

#include <cstdint>
#include <vector>

class QComboBox;
class QLabel;
class QLineEdit;
class QModelIndex;
class QTableView;

/// The Matches panel: a header line (how many matches, by which statistic
/// and threshold, from which template), the threshold controls and one row
/// per match. A changed threshold updates the list at once from the blocks
/// kept, with no new analysis; a refused one leaves everything as it was
/// and says why. Choosing a row (click, Up/Down, Enter) emits
/// matchChosen() with the match's overview column.
class MatchesPanel : public QWidget
{
    Q_OBJECT

public:
    explicit MatchesPanel(QWidget *parent = nullptr);

    /// The threshold the list and the next Draw's match file use.
    const dsp::matches::Threshold &threshold() const { return current; }

    /// Shows the matches of `blocks` (kept by the caller, which must call
    /// clearResult() before it changes them) from the template `templatePath`
    /// of `templateValues` values, placed by `placement`.
    void setResult(const dsp::matches::BlockStore *blocks,
                   const dsp::matches::Placement &placement, const QString &templatePath,
                   std::int64_t templateValues);
    /// Back to no Draw: an empty list that says so.
    void clearResult();

    /// Takes `text` as the threshold value for the statistic and rule the
    /// controls show; false (with the reason shown, nothing else changed)
    /// when it cannot be used.
    bool applyThreshold(const QString &text);

    QString headerText() const;
    QString messageText() const;
    MatchesModel *model() const { return matches; }
    QTableView *view() const { return table; }
    QLineEdit *valueEdit() const { return edit; }
    QComboBox *statisticBox() const { return statistic; }
    QComboBox *ruleBox() const { return rule; }

signals:
    /// The user chose the match of overview column `column`.
    void matchChosen(int column);
    /// The list changed; model() holds the matches now.
    void matchesChanged();

private slots:
    void choose(const QModelIndex &index);
    void statisticChosen();
    void valueEntered();

private:
    void refresh();
    /// The statistic and rule the controls show, with the value each last had.
    dsp::matches::Threshold chosen() const;

    dsp::matches::Threshold current;
    /// The value each choice of the controls last had (0: none yet).
    double lastMultiple = dsp::matches::Threshold::kDefaultMultiple;
    double lastAbsolute = 0.0;
    double lastCorrelation = dsp::matches::Threshold::kDefaultCorrelation;
    const dsp::matches::BlockStore *blocks = nullptr;
    dsp::matches::Placement placement;
    QString templatePath;
    std::int64_t templateValues = 0;

    QLabel *header;
    QComboBox *statistic;
    QComboBox *rule;
    QLineEdit *edit;
    QLabel *message;
    QTableView *table;
    MatchesModel *matches;
};
