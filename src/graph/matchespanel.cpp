#include "graph/matchespanel.h"

#include <QComboBox>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QItemSelectionModel>
#include <QLabel>
#include <QLineEdit>
#include <QTableView>
#include <QVBoxLayout>

#include <cmath>

namespace {

QString shownNumber(double value)
{
    return QString::number(value, 'g', 6);
}

} // namespace

MatchesPanel::MatchesPanel(QWidget *parent) : QWidget(parent), matches(new MatchesModel(this))
{
    header = new QLabel;
    header->setWordWrap(true);
    header->setTextInteractionFlags(Qt::TextSelectableByMouse);

    statistic = new QComboBox;
    statistic->addItem(QStringLiteral("Detector"));
    statistic->addItem(QStringLiteral("Correlation |r|"));
    rule = new QComboBox;
    rule->addItem(QStringLiteral("k x MAD above median"));
    rule->addItem(QStringLiteral("absolute value"));
    edit = new QLineEdit(shownNumber(current.value));
    edit->setToolTip(QStringLiteral("The threshold; press Enter to apply it"));
    message = new QLabel;
    message->setWordWrap(true);
    message->setStyleSheet(QStringLiteral("color: #b00000"));

    table = new QTableView;
    table->setModel(matches);
    table->setSelectionBehavior(QAbstractItemView::SelectRows);
    table->setSelectionMode(QAbstractItemView::SingleSelection);
    table->setEditTriggers(QAbstractItemView::NoEditTriggers);
    table->setSortingEnabled(true);
    table->sortByColumn(MatchesModel::Number, Qt::AscendingOrder);
    table->verticalHeader()->hide();
    table->horizontalHeader()->setStretchLastSection(true);

    // The graph keeps the keyboard unless the panel is clicked.
    for (QWidget *w : {static_cast<QWidget *>(statistic), static_cast<QWidget *>(rule),
                       static_cast<QWidget *>(edit), static_cast<QWidget *>(table)})
        w->setFocusPolicy(Qt::ClickFocus);

    auto *controls = new QHBoxLayout;
    controls->addWidget(statistic);
    controls->addWidget(rule);
    controls->addWidget(edit);
    auto *layout = new QVBoxLayout;
    layout->addWidget(header);
    layout->addLayout(controls);
    layout->addWidget(message);
    layout->addWidget(table, 1);
    setLayout(layout);

    connect(table->selectionModel(), SIGNAL(currentRowChanged(QModelIndex, QModelIndex)), this,
            SLOT(choose(QModelIndex)));
    connect(table, SIGNAL(activated(QModelIndex)), this, SLOT(choose(QModelIndex)));
    connect(table, SIGNAL(clicked(QModelIndex)), this, SLOT(choose(QModelIndex)));
    connect(statistic, SIGNAL(activated(int)), this, SLOT(statisticChosen()));
    connect(rule, SIGNAL(activated(int)), this, SLOT(statisticChosen()));
    connect(edit, SIGNAL(returnPressed()), this, SLOT(valueEntered()));
    refresh();
}

void MatchesPanel::setResult(const dsp::matches::BlockStore *kept,
                             const dsp::matches::Placement &where, const QString &path,
                             std::int64_t values)
{
    blocks = kept;
    placement = where;
    templatePath = path;
    templateValues = values;
    refresh();
}

void MatchesPanel::clearResult()
{
    blocks = nullptr;
    refresh();
}

dsp::matches::Threshold MatchesPanel::chosen() const
{
    dsp::matches::Threshold t;
    t.by = statistic->currentIndex() == 1 ? dsp::matches::Statistic::Correlation
                                          : dsp::matches::Statistic::Detector;
    t.absolute = t.by == dsp::matches::Statistic::Correlation || rule->currentIndex() == 1;
    t.value = t.by == dsp::matches::Statistic::Correlation ? lastCorrelation
              : t.absolute                                  ? lastAbsolute
                                                            : lastMultiple;
    return t;
}

bool MatchesPanel::applyThreshold(const QString &text)
{
    dsp::matches::Threshold wanted = chosen();
    const QString why = QString::fromStdString(
        dsp::matches::parseThreshold(text.toStdString(), wanted.by, wanted.value));
    if (!why.isEmpty()) {
        message->setText(QStringLiteral("Threshold not changed: ") + why);
        return false;
    }
    message->clear();
    current = wanted;
    (current.by == dsp::matches::Statistic::Correlation ? lastCorrelation
     : current.absolute                                  ? lastAbsolute
                                                         : lastMultiple) = current.value;
    refresh();
    return true;
}

void MatchesPanel::valueEntered()
{
    applyThreshold(edit->text());
}

void MatchesPanel::statisticChosen()
{
    // Each choice takes back the value it had; an absolute detector value
    // has none until one is entered, and the list keeps its threshold.
    rule->setEnabled(statistic->currentIndex() == 0);
    const dsp::matches::Threshold wanted = chosen();
    if (!(wanted.value > 0)) {
        edit->clear();
        message->setText(QStringLiteral("Enter the detector value a match must exceed."));
        return;
    }
    message->clear();
    edit->setText(shownNumber(wanted.value));
    current = wanted;
    refresh();
}

void MatchesPanel::choose(const QModelIndex &index)
{
    if (index.isValid() && index.row() < matches->matchCount())
        emit matchChosen(matches->matchAt(index.row()).column);
}

QString MatchesPanel::headerText() const
{
    return header->text();
}

QString MatchesPanel::messageText() const
{
    return message->text();
}

void MatchesPanel::refresh()
{
    if (!blocks) {
        matches->setMatches({}, placement);
        header->setText(QStringLiteral("No matches: there is no Draw yet."));
        emit matchesChanged();
        return;
    }
    std::vector<dsp::matches::Match> found = dsp::matches::find(*blocks, current);
    const double level = dsp::matches::level(*blocks, current);
    QString rule;
    if (current.by == dsp::matches::Statistic::Correlation)
        rule = QStringLiteral("by |r| above %1").arg(shownNumber(current.value));
    else if (current.absolute)
        rule = QStringLiteral("by the detector above %1").arg(shownNumber(current.value));
    else
        rule = QStringLiteral("by the detector above median + %1 x MAD = %2")
                   .arg(shownNumber(current.value),
                        std::isfinite(level) ? shownNumber(level) : QStringLiteral("-"));
    const QString count = found.empty()        ? QStringLiteral("No matches")
                          : found.size() == 1 ? QStringLiteral("1 match")
                                               : QStringLiteral("%1 matches").arg(found.size());
    header->setText(QStringLiteral("%1 %2; template %3 (%4 values)")
                        .arg(count, rule, templatePath)
                        .arg(templateValues));
    matches->setMatches(found, placement);
    const int sortColumn = table->horizontalHeader()->sortIndicatorSection();
    matches->sort(sortColumn, table->horizontalHeader()->sortIndicatorOrder());
    emit matchesChanged();
}
