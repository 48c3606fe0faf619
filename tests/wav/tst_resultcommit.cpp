// The result writer's all-or-nothing commit: every step made to fail in turn.

#include "wav/results/commitguard.h"
#include "wav/results/resultfile.h"
#ifdef Q_OS_LINUX
#include "common/addressspace.h"
#endif

#include <QDir>
#include <QDirIterator>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

#include <csignal>
#include <memory>

#ifdef Q_OS_LINUX
#include <pthread.h>
#include <sys/wait.h>
#endif

class TestResultCommit : public QObject
{
    Q_OBJECT

private slots:
    void failingAnyStepKeepsOneSet_data();
    void failingAnyStepKeepsOneSet();
    void interruptedAtAnyStep_data();
    void interruptedAtAnyStep();
    void removalsInBackground_data();
    void removalsInBackground();
    void noThreadToSpare();
};

namespace {

QByteArray contents(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<missing>");
}

/// Commits `names` in `dir` with "new <name>" in each, failing step
/// `failAt` (0: none); answers the message.
QString commitSet(const QDir &dir, const QStringList &names, int failAt, int *steps = nullptr,
                  resultfiles::Removal removal = resultfiles::Removal::Now)
{
    for (const QString &name : names)
        dir.mkpath(QFileInfo(dir.filePath(name)).path());
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
    const QString message = resultfiles::commitAll(set, removal);
    resultfiles::setFaultPlan({});
    if (steps)
        *steps = count;
    return message;
}

#ifdef COMMIT_PROBE
/// Every file under `dir`, by its path from there, sorted.
QStringList allFiles(const QDir &dir)
{
    QStringList found;
    QDirIterator it(dir.path(), QDir::Files | QDir::Hidden, QDirIterator::Subdirectories);
    while (it.hasNext())
        found << dir.relativeFilePath(it.next());
    found.sort();
    return found;
}

/// Checks that `dir` holds exactly one of the two sets, byte for byte, and
/// (`only`) nothing else; answers whether it is the new one.
bool oneSet(const QDir &dir, const QStringList &names, const QStringList &earlier, bool &ok,
            bool only = true)
{
    ok = false;
    const bool allNew = contents(dir.filePath(names.first())) == "new " + names.first().toUtf8();
    for (const QString &name : names) {
        const QByteArray expected = allNew ? "new " + name.toUtf8()
                                    : earlier.contains(name) ? "old " + name.toUtf8()
                                                             : QByteArray("<missing>");
        [&] { QCOMPARE(contents(dir.filePath(name)), expected); ok = true; }();
        if (!ok)
            return allNew;
        ok = false;
    }
    QStringList expectedNames = allNew ? names : earlier;
    expectedNames.sort();
    ok = !only;
    if (only)
        [&] { QCOMPARE(allFiles(dir), expectedNames); ok = true; }(); // no leftovers
    return allNew;
}

/// The exit status a shell shows for `process`: 128 and the signal for one
/// ended by a signal.
int shellStatus(const QProcess &process)
{
    return process.exitStatus() == QProcess::CrashExit ? 128 + process.exitCode()
                                                       : process.exitCode();
}
#endif

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

void TestResultCommit::removalsInBackground_data()
{
    QTest::addColumn<int>("failAt"); // of the second commit; 0: none
    QTest::newRow("both commit") << 0;
    QTest::newRow("the second fails at its second rename") << 9;
}

// Backups removed in the background: none is left once they are done, and
// a commit right after (which makes backups of the same names) still
// commits or keeps the set.
void TestResultCommit::removalsInBackground()
{
    QFETCH(int, failAt);
    QTemporaryDir temporary;
    const QDir dir(temporary.path());
    const QStringList names{"c_output.wav", "c_stereo.wav"};
    for (const QString &name : names) {
        QFile file(dir.filePath(name));
        QVERIFY(file.open(QIODevice::WriteOnly) && file.write("old") > 0);
    }
    const auto inBackground = resultfiles::Removal::InBackground;
    QVERIFY(commitSet(dir, names, 0, nullptr, inBackground).isEmpty());
    QCOMPARE(commitSet(dir, names, failAt, nullptr, inBackground).isEmpty(), failAt == 0);
    resultfiles::finishRemovals();
    for (const QString &name : names)
        QCOMPARE(contents(dir.filePath(name)), "new " + name.toUtf8());
    QStringList present = dir.entryList(QDir::Files | QDir::Hidden);
    present.sort();
    QCOMPARE(present, names); // no backups left
}

// Where no thread can be started (its stack cannot be had), a long result
// is still written and committed, put on the disk by the commit alone.
void TestResultCommit::noThreadToSpare()
{
#if !defined(Q_OS_LINUX) || defined(__SANITIZE_ADDRESS__)
    QSKIP("needs RLIMIT_AS, which AddressSanitizer's reservations exceed");
#else
    QTemporaryDir temporary;
    const QString path = QDir(temporary.path()).filePath("d_stereo.wav");
    const QByteArray piece(1 << 20, 'n');
    const pid_t child = fork();
    if (child == 0) {
        // Whatever happens, the child ends here, never back in the test.
        try {
            resultfiles::ResultFile file(path);
            // New threads ask for a stack larger than any the process keeps
            // from its threads before the fork, and larger than it may map.
            pthread_attr_t large;
            bool ok = pthread_attr_init(&large) == 0
                      && pthread_attr_setstacksize(&large, std::size_t(1) << 30) == 0
                      && pthread_setattr_default_np(&large) == 0;
            ok = ok && file.start() && testlimits::limitAddressSpace(rlim_t(1) << 20);
            for (int i = 0; i < 12; ++i)
                ok = ok && file.write(piece) == piece.size();
            ok = ok && resultfiles::commitAll({&file}).isEmpty();
            _exit(ok ? 0 : 1);
        } catch (...) {
            _exit(2);
        }
    }
    int status = 0;
    QCOMPARE(waitpid(child, &status, 0), child);
    QVERIFY(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    QCOMPARE(QFileInfo(path).size(), qint64(12) * piece.size());
#endif
}

void TestResultCommit::interruptedAtAnyStep_data()
{
    QTest::addColumn<QStringList>("names");
    QTest::addColumn<QStringList>("earlier");
    QTest::addColumn<int>("signalNumber");
    QTest::addColumn<int>("step");
    /// The results the next run is over (empty: all of them).
    QTest::addColumn<QStringList>("nextRun");
#ifdef COMMIT_PROBE
    const QStringList three{"a_output.wav", "a_stereo.wav", "a_blocks.csv"};
    const QStringList four = three + QStringList{"a_graph.png"};
    // A link can send a result into another folder; a later run over that
    // result alone still finds the set.
    const QStringList apart{"a_output.wav", "elsewhere/a_stereo.wav"};
    struct Set
    {
        QStringList names, earlier, nextRun;
        QList<int> signalNumbers;
    };
    const QList<Set> sets{{three, three, {}, {SIGKILL, SIGTERM, SIGINT}},
                          {four, three, {}, {SIGKILL, SIGTERM, SIGINT}},
                          {apart, apart, {apart.last()}, {SIGKILL}},
                          {apart, {apart.first()}, {apart.last()}, {SIGKILL}}};
    for (const Set &set : sets) {
        QTemporaryDir dir;
        int steps = 0;
        QVERIFY(commitSet(QDir(dir.path()), set.names, 0, &steps).isEmpty());
        for (const int signalNumber : set.signalNumbers)
            for (int n = 1; n <= steps; ++n)
                QTest::addRow("%d results, %d earlier, next run over %d, signal %d, step %d",
                              int(set.names.size()), int(set.earlier.size()),
                              int(set.nextRun.size()), signalNumber, n)
                    << set.names << set.earlier << signalNumber << n << set.nextRun;
    }
#endif
}

// The process gets a signal at one step of its commit. SIGKILL ends it
// there, and the next run puts back the earlier set unless the commit point
// had passed; SIGTERM and SIGINT wait for the commit's end and then end the
// program by that signal, with nothing left beside the new set.
void TestResultCommit::interruptedAtAnyStep()
{
#ifndef COMMIT_PROBE
    QSKIP("signals as sent here are POSIX only");
#else
    QFETCH(QStringList, names);
    QFETCH(QStringList, earlier);
    QFETCH(int, signalNumber);
    QFETCH(int, step);
    QFETCH(QStringList, nextRun);
    QTemporaryDir temporary;
    const QDir dir(temporary.path());
    for (const QString &name : earlier) {
        QVERIFY(dir.mkpath(QFileInfo(dir.filePath(name)).path()));
        QFile file(dir.filePath(name));
        QVERIFY(file.open(QIODevice::WriteOnly) && file.write("old " + name.toUtf8()) > 0);
    }
    QVERIFY(dir.mkpath("elsewhere"));

    QProcess probe;
    probe.start(COMMIT_PROBE,
                QStringList{dir.path(), QString::number(signalNumber), QString::number(step)}
                    + names);
    QVERIFY(probe.waitForFinished(20000));
    const QString kind = QString::fromLocal8Bit(probe.readAllStandardError()).trimmed();
    QCOMPARE(shellStatus(probe), 128 + signalNumber);

    bool ok = false;
    if (signalNumber != SIGKILL) {
        QVERIFY2(oneSet(dir, names, earlier, ok), qPrintable(kind));
        QVERIFY(ok);
    }
    const auto runNext = [&](const QStringList &over) {
        QProcess next;
        next.start(COMMIT_PROBE, QStringList{dir.path(), "recover"} + over);
        return next.waitForFinished(20000) && shellStatus(next) == 0;
    };
    QVERIFY(runNext(nextRun.isEmpty() ? names : nextRun));
    const bool allNew = oneSet(dir, names, earlier, ok, nextRun.isEmpty());
    QVERIFY(ok);
    if (signalNumber == SIGKILL)
        QCOMPARE(allNew, kind == "cleanup");
    if (!nextRun.isEmpty()) {
        // The rest of the set's leftovers go with a run over its own results.
        QVERIFY(runNext(names));
        QCOMPARE(oneSet(dir, names, earlier, ok), allNew);
        QVERIFY(ok);
    }
#endif
}

QTEST_GUILESS_MAIN(TestResultCommit)
#include "tst_resultcommit.moc"
