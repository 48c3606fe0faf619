// The batch picture's captions come from the fonts a platform finds. Where it
// finds none, a run with --png still writes its pictures, and says so once.

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

class TestPictureFont : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void warnsOnceWithoutFonts_data();
    void warnsOnceWithoutFonts();

private:
    QTemporaryDir work;
};

namespace {

const QByteArray kWarning = "no font draws the pictures' captions";

struct Run
{
    int exitCode = -1;
    QByteArray err;
};

/// Runs the batch program in `dir`; without `fonts` the platform's font
/// lookup sees an empty configuration and an empty folder.
Run runBatch(const QStringList &args, const QString &dir, bool fonts)
{
    QProcess process;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    if (!fonts) {
        env.insert("FONTCONFIG_FILE", dir + "/none/fonts.conf");
        env.insert("QT_QPA_FONTDIR", QDir::toNativeSeparators(dir + "/none"));
    }
    process.setProcessEnvironment(env);
    process.setWorkingDirectory(dir);
    process.start(QStringLiteral(QUORVANE_BATCH), args);
    if (!process.waitForFinished(-1) || process.exitStatus() != QProcess::NormalExit)
        return Run();
    return Run{process.exitCode(), process.readAllStandardError()};
}

} // namespace

void TestPictureFont::initTestCase()
{
    QVERIFY(work.isValid());
    QVERIFY(QDir(work.path()).mkpath("none"));
    QFile config(work.filePath("none/fonts.conf"));
    QVERIFY(config.open(QIODevice::WriteOnly));
    config.write("<?xml version=\"1.0\"?>\n<fontconfig></fontconfig>\n");
    config.close();
    QCOMPARE(runBatch({"--make-demo", "."}, work.path(), true).exitCode, 0);
    QVERIFY(QFile::copy(work.filePath("recording.wav"), work.filePath("second.wav")));
}

void TestPictureFont::warnsOnceWithoutFonts_data()
{
    QTest::addColumn<bool>("fonts");
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<int>("warnings");
    const QStringList two{"recording.wav", "second.wav"};
    QTest::newRow("fonts, pictures") << true << QStringList{"--draw", "--png"} + two << 0;
    QTest::newRow("no fonts, pictures") << false << QStringList{"--draw", "--png"} + two << 1;
    QTest::newRow("no fonts, no pictures") << false << QStringList{"--draw"} + two << 0;
}

void TestPictureFont::warnsOnceWithoutFonts()
{
    QFETCH(bool, fonts);
    QFETCH(QStringList, args);
    QFETCH(int, warnings);
    for (const QString name : {"recording_graph.png", "second_graph.png"})
        QFile::remove(work.filePath(name));
    const Run run = runBatch(args, work.path(), fonts);
    QCOMPARE(run.exitCode, 0);
    QCOMPARE(run.err.count(kWarning), warnings);
    const bool pictures = args.contains("--png");
    QCOMPARE(QFile::exists(work.filePath("recording_graph.png")), pictures);
    QCOMPARE(QFile::exists(work.filePath("second_graph.png")), pictures);
}

QTEST_GUILESS_MAIN(TestPictureFont)
#include "tst_picturefont.moc"
