// The pieces behind --list, --shard and --skip-done; the whole programs and
// the cluster scripts are run by tests/cluster.

#include "batch/recordinglist.h"

#include <QDateTime>
#include <QFile>
#include <QTemporaryDir>
#include <QtTest>

class TestRecordingList : public QObject
{
    Q_OBJECT

private slots:
    void parseShard_data();
    void parseShard();
    void upToDate_data();
    void upToDate();
};

void TestRecordingList::parseShard_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<int>("index"); // -1: refused
    QTest::addColumn<int>("count");
    QTest::newRow("first of one") << "0/1" << 0 << 1;
    QTest::newRow("last of a hundred") << "99/100" << 99 << 100;
    QTest::newRow("index equals count") << "3/3" << -1 << 0;
    QTest::newRow("no shards") << "0/0" << -1 << 0;
    QTest::newRow("negative") << "-1/4" << -1 << 0;
    QTest::newRow("signed") << "+1/4" << -1 << 0;
    QTest::newRow("blanks") << " 1/4" << -1 << 0;
    QTest::newRow("leading zero") << "01/4" << -1 << 0;
    QTest::newRow("leading zero of the count") << "1/04" << -1 << 0;
    QTest::newRow("no slash") << "14" << -1 << 0;
    QTest::newRow("two slashes") << "1/4/5" << -1 << 0;
    QTest::newRow("empty count") << "1/" << -1 << 0;
    QTest::newRow("beyond int") << "1/99999999999" << -1 << 0;
}

void TestRecordingList::parseShard()
{
    QFETCH(QString, text);
    QFETCH(int, index);
    QFETCH(int, count);
    Shard shard;
    QCOMPARE(::parseShard(text, shard), index >= 0);
    if (index >= 0) {
        QCOMPARE(shard.index, index);
        QCOMPARE(shard.count, count);
    }
}

void TestRecordingList::upToDate_data()
{
    QTest::addColumn<QString>("moved"); // its time set `seconds` from now
    QTest::addColumn<int>("seconds");
    QTest::addColumn<QString>("removed");
    QTest::addColumn<bool>("upToDate");
    const QString none;
    QTest::newRow("all newer") << none << 0 << none << true;
    QTest::newRow("stereo older") << QStringLiteral("r_stereo.wav") << -3600 << none << false;
    QTest::newRow("template changed") << QStringLiteral("marker.dat") << 60 << none << false;
    QTest::newRow("recording changed") << QStringLiteral("r.wav") << 60 << none << false;
    QTest::newRow("picture missing") << none << 0 << QStringLiteral("r_graph.png") << false;
    QTest::newRow("template missing") << none << 0 << QStringLiteral("marker.dat") << false;
    QTest::newRow("recording missing") << none << 0 << QStringLiteral("r.wav") << false;
}

void TestRecordingList::upToDate()
{
    QFETCH(QString, moved);
    QFETCH(int, seconds);
    QFETCH(QString, removed);
    QFETCH(bool, upToDate);
    QTemporaryDir dir;
    const QDateTime now = QDateTime::currentDateTime();
    BatchOptions options{true, true, true, dir.filePath(QStringLiteral("marker.dat"))};
    const QString recording = dir.filePath(QStringLiteral("r.wav"));
    for (const QString &file :
         QStringList{recording, options.marker} + batchResultNames(recording, options)) {
        QFile f(file);
        QVERIFY(f.open(QIODevice::WriteOnly));
        // Inputs a minute old, results new.
        const bool input = file == recording || file == options.marker;
        const int age = file == dir.filePath(moved) ? seconds : input ? -60 : 0;
        QVERIFY(f.setFileTime(now.addSecs(age), QFileDevice::FileModificationTime));
    }
    if (!removed.isEmpty())
        QVERIFY(QFile::remove(dir.filePath(removed)));
    QCOMPARE(resultsUpToDate(recording, options), upToDate);
}

QTEST_GUILESS_MAIN(TestRecordingList)
#include "tst_recordinglist.moc"
