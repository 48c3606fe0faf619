// The result writer's all-or-nothing commit: every step made to fail in turn.

#include "wav/results/commitguard.h"
#include "wav/results/resultfile.h"

#include <QDir>
#include <QTemporaryDir>
#include <QtTest>

#include <memory>

class TestResultCommit : public QObject
{
    Q_OBJECT

private slots:
    void failingAnyStepKeepsOneSet_data();
    void failingAnyStepKeepsOneSet();
};

namespace {

QByteArray contents(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<missing>");
}

/// Commits `names` in `dir` with "new <name>" in each, failing step
/// `failAt` (0: none); answers the message.
QString commitSet(const QDir &dir, const QStringList &names, int failAt, int *steps = nullptr)
{
    std::vector<std::unique_ptr<resultfiles::ResultFile>> files;
    std::vector<resultfiles::ResultFile *> set;
    for (const QString &name : names) {
        files.push_back(std::make_unique<resultfiles::ResultFile>(dir.filePath(name)));
        if (!files.back()->start() || files.back()->write("new " + name.toUtf8()) <= 0)
            return QStringLiteral("could not start");
        set.push_back(files.back().get());
    }
    int count = 0;
    resultfiles::setFaultPlan([&](int step, const char *) {
        count = step;
        return step == failAt;
    });
    const QString message = resultfiles::commitAll(set);
    resultfiles::setFaultPlan({});
    if (steps)
        *steps = count;
    return message;
}

} // namespace

void TestResultCommit::failingAnyStepKeepsOneSet_data()
{
    QTest::addColumn<QStringList>("names");
    QTest::addColumn<QStringList>("earlier");
    QTest::addColumn<int>("failAt");
    const QStringList three{"a_output.wav", "a_stereo.wav", "a_blocks.csv"};
    const QStringList four = three + QStringList{"a_graph.png"};
    for (const auto &set : {std::make_pair(three, three), std::make_pair(four, three)}) {
        QTemporaryDir dir;
        for (const QString &name : set.second) {
            QFile file(QDir(dir.path()).filePath(name));
            QVERIFY(file.open(QIODevice::WriteOnly));
        }
        int steps = 0;
        QVERIFY(commitSet(QDir(dir.path()), set.first, 0, &steps).isEmpty());
        for (int n = 1; n <= steps; ++n)
            QTest::addRow("%d results, step %d", int(set.first.size()), n)
                << set.first << set.second << n;
    }
    // The second of two renames: both earlier results stay as they were.
    QTest::newRow("second rename of two") << QStringList{"b_output.wav", "b_stereo.wav"}
                                          << QStringList{"b_output.wav", "b_stereo.wav"} << 9;
}

void TestResultCommit::failingAnyStepKeepsOneSet()
{
    QFETCH(QStringList, names);
    QFETCH(QStringList, earlier);
    QFETCH(int, failAt);
    QTemporaryDir temporary;
    const QDir dir(temporary.path());
    for (const QString &name : earlier) {
        QFile file(dir.filePath(name));
        QVERIFY(file.open(QIODevice::WriteOnly) && file.write("old " + name.toUtf8()) > 0);
    }
    const QString message = commitSet(dir, names, failAt);
    QStringList paths;
    for (const QString &name : names)
        paths << dir.filePath(name);
    resultfiles::removeLeftovers(paths); // the next run of the same results

    const bool allNew = message.isEmpty();
    for (const QString &name : names) {
        const QByteArray expected = allNew ? "new " + name.toUtf8()
                                    : earlier.contains(name) ? "old " + name.toUtf8()
                                                             : QByteArray("<missing>");
        QCOMPARE(contents(dir.filePath(name)), expected);
    }
    QStringList present = dir.entryList(QDir::Files | QDir::Hidden);
    QStringList expectedNames = allNew ? names : earlier;
    present.sort();
    expectedNames.sort();
    QCOMPARE(present, expectedNames); // no leftovers
    if (!allNew)
        QVERIFY2(message.startsWith("Could not write " + QDir::toNativeSeparators(dir.path())), qPrintable(message));
}

QTEST_GUILESS_MAIN(TestResultCommit)
#include "tst_resultcommit.moc"
