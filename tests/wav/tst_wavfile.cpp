#include "wav/format/header.h"
#include "wav/format/marker.h"
#include "wav/format/reading.h"
#include "wav/passes/wavfile.h"

#include "common/listenerrecorder.h"
#include "common/signals.h"
#include "common/testfiles.h"
#include "reference/literalanalysis.h"
#include "reference/literalfilter.h"
#include "wav/passes/commands.h"

#include <QBuffer>
#include <QProcess>
#include <QStandardPaths>
#include <QStorageInfo>
#include <QTemporaryDir>
#include <QtTest>

#include <array>
#include <utility>

using namespace testfiles;

namespace {

/// A device that claims to be longer than it is, as a file that shrank
/// after its size was taken.
class ShrunkDevice : public QBuffer
{
public:
    ShrunkDevice(const QByteArray &data, qint64 claimedSize) : claimed(claimedSize)
    {
        setData(data);
    }
    qint64 size() const override { return claimed; }

private:
    qint64 claimed;
};

/// A device that accepts `capacity` bytes and then refuses, as a full disk.
class FullDevice : public QBuffer
{
public:
    explicit FullDevice(qint64 capacity) : capacity(capacity) {}

protected:
    qint64 writeData(const char *data, qint64 length) override
    {
        if (buffer().size() + length > capacity) {
            setErrorString(QStringLiteral("No space left on device"));
            return -1;
        }
        return QBuffer::writeData(data, length);
    }

private:
    qint64 capacity;
};

using Recorder = recorders::Listener;

QByteArray extension(quint16 size, int extra = -1)
{
    QByteArray e;
    put16(e, size);
    e += QByteArray(extra < 0 ? size : extra, 'x');
    return e;
}

} // namespace

class TestWavFile : public QObject
{
    Q_OBJECT

private slots:
    void init();

    void parseHeader_data();
    void parseHeader();
    void openWriteEmptiesTheFile();
    void canonicalHeader();
    void readMarker_data();
    void readMarker();
    void markerBytesAreLittleEndianDoubles();

    void leadIn_data();
    void leadIn();
    void filterMatchesReference_data();
    void filterMatchesReference();
    void filterProgress();
    void progressPercent_data();
    void progressPercent();
    void filterReportsShortRead();
    void filterReportsFullDisk();

    void analysisMatchesReference();
    void analysisReportsFailures();
    void failedReadRefusesTheCommand_data();
    void failedReadRefusesTheCommand();
    void stereoBeyond4GiBIsRf64();
    void helperThreadChangesNothing();

private:
    QTemporaryDir dir;
    QString path(const QString &name) const { return dir.filePath(name); }
};

void TestWavFile::init()
{
    QVERIFY(dir.isValid());
}

void TestWavFile::parseHeader_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<bool>("accepted");
    QTest::addColumn<qint64>("headerBytes");
    QTest::addColumn<int>("sampleType");
    QTest::addColumn<int>("byteOrder");

    const int sign = QAudioFormat::SignedInt;
    const int little = QAudioFormat::LittleEndian;
    const QByteArray samples(16, '\1');

    HeaderFields plain;
    QTest::newRow("plain 44-byte header")
        << header(plain) + samples << true << qint64(44) << sign << little;

    HeaderFields ext18;
    ext18.fmtSize = 18;
    ext18.extension = extension(0);
    QTest::newRow("format chunk 18, extension 0")
        << header(ext18) + samples << true << qint64(46) << sign << little;

    HeaderFields ext40;
    ext40.fmtSize = 40;
    ext40.extension = extension(22);
    QTest::newRow("format chunk 40, extension 22")
        << header(ext40) + samples << true << qint64(68) << sign << little;

    HeaderFields rifx;
    rifx.riff = "RIFX";
    QTest::newRow("RIFX: little-endian numbers, big-endian order")
        << header(rifx) + samples << true << qint64(44) << sign << int(QAudioFormat::BigEndian);

    HeaderFields tag0;
    tag0.tag = 0;
    QTest::newRow("tag 0 accepted") << header(tag0) << true << qint64(44) << sign << little;

    HeaderFields eightBit;
    eightBit.bits = 8;
    QTest::newRow("8-bit is unsigned")
        << header(eightBit) << true << qint64(44) << int(QAudioFormat::UnSignedInt) << little;

    HeaderFields anyData;
    anyData.dataId = "LIST";
    QTest::newRow("data identifier not compared")
        << header(anyData) << true << qint64(44) << sign << little;

    HeaderFields tag3;
    tag3.tag = 3;
    QTest::newRow("tag 3 refused") << header(tag3) << false << qint64(36) << sign << little;

    HeaderFields tagExtensible;
    tagExtensible.tag = 0xFFFE;
    QTest::newRow("tag 0xFFFE refused")
        << header(tagExtensible) << false << qint64(36) << sign << little;

    HeaderFields lower;
    lower.riff = "riff";
    QTest::newRow("identifiers are case-sensitive")
        << header(lower) << false << qint64(36) << sign << little;

    HeaderFields noWave;
    noWave.wave = "AVI ";
    QTest::newRow("not WAVE") << header(noWave) << false << qint64(36) << sign << little;

    HeaderFields noFmt;
    noFmt.fmt = "fmt_";
    QTest::newRow("no format chunk") << header(noFmt) << false << qint64(36) << sign << little;

    // A parse that fails on a missing part of the header leaves the
    // recorded header size at its previous value.
    QTest::newRow("40 bytes fail at the data chunk header")
        << header(plain).left(40) << false << qint64(0) << sign << little;
    QTest::newRow("35 bytes") << header(plain).left(35) << false << qint64(35) << sign << little;
    QTest::newRow("empty file") << QByteArray() << false << qint64(0) << sign << little;

    HeaderFields noSizeField;
    noSizeField.fmtSize = 18;
    QTest::newRow("extension size missing")
        << header(noSizeField).left(36) << false << qint64(0) << sign << little;

    const quint64 fiveGiB = quint64(5) << 30;
    QTest::newRow("RF64") << rf64Header(plain, fiveGiB) + samples << true << qint64(80) << sign
                          << little;
    QTest::newRow("BW64, longer ds64 chunk, extension")
        << rf64Header(ext18, fiveGiB, 40, "BW64") + samples << true << qint64(94) << sign << little;
    QTest::newRow("RF64 without ds64 refused")
        << QByteArray("RF64") + header(plain).mid(4) << false << qint64(36) << sign << little;
    QTest::newRow("RF64 cut in the format chunk")
        << rf64Header(plain, fiveGiB).left(60) << false << qint64(0) << sign << little;

    HeaderFields longExtension;
    longExtension.fmtSize = 18;
    longExtension.extension = extension(60000, 10);
    QTest::newRow("extension larger than the file")
        << header(longExtension) << false << qint64(0) << sign << little;
}

void TestWavFile::parseHeader()
{
    QFETCH(QByteArray, bytes);
    QFETCH(bool, accepted);
    QFETCH(qint64, headerBytes);
    QFETCH(int, sampleType);
    QFETCH(int, byteOrder);

    QVERIFY(writeFile(path("in.wav"), bytes));
    WavFile file;
    QCOMPARE(file.openRead(path("in.wav")), accepted);
    QCOMPARE(file.headerSize(), headerBytes);
    if (accepted) {
        QCOMPARE(file.pos(), headerBytes);
        const QAudioFormat &format = file.audioFormat();
        QCOMPARE(format.sampleType(), QAudioFormat::SampleType(sampleType));
        QCOMPARE(format.byteOrder(), QAudioFormat::Endian(byteOrder));
        QCOMPARE(format.codec(), QStringLiteral("audio/pcm"));
        QCOMPARE(format.channelCount(), 1);
    }
}

void TestWavFile::openWriteEmptiesTheFile()
{
    QVERIFY(writeFile(path("out.wav"), "earlier content"));
    WavFile file;
    QVERIFY(file.openWrite(path("out.wav")));
    QCOMPARE(file.size(), qint64(0));
    QVERIFY(file.isReadable() && file.isWritable());

    QVERIFY(!file.openRead(path("missing.wav")));
}

void TestWavFile::canonicalHeader()
{
    const QByteArray h = wavformat::canonicalHeader(2, 16384, 800);
    HeaderFields expected;
    expected.channels = 2;
    expected.dataSize = 800;
    QCOMPARE(h, header(expected));
    QCOMPARE(qFromLittleEndian<quint32>(h.constData() + 28), quint32(131072));
    QCOMPARE(qFromLittleEndian<quint16>(h.constData() + 32), quint16(8));

    // The plain form holds data up to 0xFFFFFFFF - 36 bytes; beyond that
    // the header is RF64 and parses back to the same 64-bit size.
    const qint64 largestPlain = 0xFFFFFFFFLL - 36;
    QCOMPARE(wavformat::canonicalHeader(2, 16384, largestPlain).size(), 44);
    for (const qint64 dataBytes : {largestPlain + 1, qint64(5) << 30}) {
        const QByteArray h64 = wavformat::canonicalHeader(2, 16384, dataBytes);
        HeaderFields stereo;
        stereo.channels = 2;
        QCOMPARE(h64, rf64Header(stereo, quint64(dataBytes)));
        QBuffer device;
        device.setData(h64);
        device.open(QIODevice::ReadOnly);
        QAudioFormat format;
        qint64 headerBytes = 0, parsedData = 0;
        QVERIFY(wavformat::parseHeader(device, format, headerBytes, &parsedData));
        QCOMPARE(headerBytes, wavformat::kRf64HeaderBytes);
        QCOMPARE(parsedData, dataBytes);
        QCOMPARE(format.channelCount(), 2);
    }

    QCOMPARE(wavformat::frameBytes(192 + 4 * 10), qint64(80));
    QCOMPARE(wavformat::frameBytes(100), qint64(0));
}

void TestWavFile::markerBytesAreLittleEndianDoubles()
{
    QCOMPARE(markerfile::bytes({1.0, -2.5}),
             QByteArray::fromHex("000000000000f03f00000000000004c0"));
}

void TestWavFile::readMarker_data()
{
    QTest::addColumn<int>("storedBytes");
    QTest::addColumn<int>("expectedValues");

    QTest::newRow("empty") << 0 << 0;
    QTest::newRow("7 bytes") << 7 << 0;
    QTest::newRow("1005 values and a loose byte") << 1005 * 8 + 1 << 1005;
    QTest::newRow("1006 values") << 1006 * 8 << 1006;
    QTest::newRow("2000 values: the first 1006") << 2000 * 8 << 1006;
}

void TestWavFile::readMarker()
{
    QFETCH(int, storedBytes);
    QFETCH(int, expectedValues);

    std::vector<double> values(std::size_t(storedBytes / 8 + 1));
    for (std::size_t i = 0; i < values.size(); ++i)
        values[i] = 0.25 * double(i) - 3.0;
    QVERIFY(writeFile(path("marker.dat"), markerBytes(values).left(storedBytes)));

    QFile marker(path("marker.dat"));
    QVERIFY(marker.open(QIODevice::ReadOnly));
    const std::vector<double> read = markerfile::read(&marker);
    QCOMPARE(int(read.size()), expectedValues);
    for (std::size_t i = 0; i < read.size(); ++i)
        QCOMPARE(read[i], values[i]);

    QFile missing(path("no-marker.dat"));
    QVERIFY(!missing.open(QIODevice::ReadOnly));
    QVERIFY(markerfile::read(&missing).empty());
}

void TestWavFile::leadIn_data()
{
    QTest::addColumn<QByteArray>("input");
    QTest::addColumn<QByteArray>("expected");

    const QByteArray h = header(HeaderFields());
    std::vector<std::int32_t> words(60);
    for (std::size_t i = 0; i < words.size(); ++i)
        words[i] = std::int32_t(1000 * i + 7);
    const QByteArray body = wordBytes(words);

    const QByteArray full = h + body;
    QTest::newRow("the first 192 bytes, unchanged") << full << full.left(192);

    // 44 header bytes and 10 words: 21 words in all, the last repeated.
    const QByteArray shortFile = h + body.left(40);
    QByteArray repeated = shortFile;
    for (int i = 21; i < 48; ++i)
        repeated += shortFile.right(4);
    QTest::newRow("short file repeats its last word") << shortFile << repeated;

    // A word cut short does not arrive: the last whole word is repeated.
    const QByteArray ragged = shortFile + QByteArray("\x55\x66", 2);
    QTest::newRow("a partial word counts as missing") << ragged << repeated;
}

void TestWavFile::leadIn()
{
    QFETCH(QByteArray, input);
    QFETCH(QByteArray, expected);

    QVERIFY(writeFile(path("in.wav"), input));
    WavFile file;
    QVERIFY(file.openRead(path("in.wav")));
    QBuffer out;
    out.open(QIODevice::WriteOnly);
    file.prepareFilter(&file, &out);
    QCOMPARE(out.data(), expected);
    QCOMPARE(file.pos(), qint64(192));
}

void TestWavFile::filterMatchesReference_data()
{
    QTest::addColumn<int>("samples");
    QTest::addColumn<int>("looseBytes");

    QTest::newRow("192 bytes: copied") << 37 << 0;
    QTest::newRow("one sample") << 38 << 0;
    QTest::newRow("odd size loses 3 bytes") << 4000 << 3;
    QTest::newRow("odd size loses 1 byte") << 4000 << 1;
    QTest::newRow("several chunks") << 150000 << 2;
}

void TestWavFile::filterMatchesReference()
{
    QFETCH(int, samples);
    QFETCH(int, looseBytes);

    const QByteArray input =
        recording(bandSignal(std::size_t(samples), 1e5, 7)) + QByteArray(looseBytes, '\x7f');
    QVERIFY(writeFile(path("in.wav"), input));

    WavFile file;
    QVERIFY(file.openRead(path("in.wav")));
    QBuffer out;
    out.open(QIODevice::WriteOnly);
    file.prepareFilter(&file, &out);
    QVERIFY(file.filterSignal(&file, &out, [](int) {}));

    QCOMPARE(out.size(), qint64(input.size() - looseBytes));
    const std::vector<std::int32_t> expected = reference::literalFilter(bytesToWords(input));
    const std::vector<std::int32_t> got = bytesToWords(out.data());
    QCOMPARE(got.size(), expected.size());
    const testsignals::Mismatch m = testsignals::compareWords(got, expected);
    QCOMPARE(m.beyondOne, std::size_t(0));
    QVERIFY(int(m.differing) * 100000 <= int(got.size()) + 100000 - 1);
    if (samples == 37)
        QCOMPARE(out.data(), input);
}

void TestWavFile::filterProgress()
{
    QVERIFY(writeFile(path("in.wav"), recording(bandSignal(20000, 1e5))));
    WavFile file;
    QVERIFY(file.openRead(path("in.wav")));
    QBuffer out;
    out.open(QIODevice::WriteOnly);
    file.prepareFilter(&file, &out);

    // Every percentage from 0 to 99, each once and in order.
    QList<int> values;
    QVERIFY(file.filterSignal(&file, &out, [&](int percent) { values << percent; }));
    QCOMPARE(values.size(), 100);
    for (int i = 0; i < 100; ++i)
        QCOMPARE(values[i], i);

    // No samples: nothing to report.
    QVERIFY(writeFile(path("short.wav"), recording(std::vector<std::int32_t>(37, 1))));
    WavFile empty;
    QVERIFY(empty.openRead(path("short.wav")));
    QBuffer none;
    none.open(QIODevice::WriteOnly);
    empty.prepareFilter(&empty, &none);
    values.clear();
    QVERIFY(empty.filterSignal(&empty, &none, [&](int percent) { values << percent; }));
    QVERIFY(values.isEmpty());
}

void TestWavFile::progressPercent_data()
{
    QTest::addColumn<qint64>("n");
    QTest::addColumn<qint64>("count");
    QTest::addColumn<int>("expected");

    QTest::newRow("first word") << qint64(48) << qint64(1000) << 0;
    QTest::newRow("halfway") << qint64(548) << qint64(1000) << 50;
    QTest::newRow("last word") << qint64(1047) << qint64(1000) << 99;
    QTest::newRow("single word") << qint64(48) << qint64(1) << 0;
    // (n - 48) * 100 exceeds 32 bits here.
    QTest::newRow("beyond 2^31 / 100") << qint64(48 + 25000000) << qint64(50000000) << 50;
    // Single precision rounds this last word's quotient up to 100.
    QTest::newRow("last of 30 M words") << qint64(48 + 29999999) << qint64(30000000) << 99;
    QTest::newRow("no samples") << qint64(48) << qint64(0) << 0;
}

void TestWavFile::progressPercent()
{
    QFETCH(qint64, n);
    QFETCH(qint64, count);
    QFETCH(int, expected);
    QCOMPARE(WavFile::progressPercent(n, count), expected);
}

void TestWavFile::filterReportsShortRead()
{
    const QByteArray input = recording(bandSignal(5000, 1e5));
    ShrunkDevice in(input, input.size() + 4000);
    in.open(QIODevice::ReadOnly);
    QBuffer out;
    out.open(QIODevice::WriteOnly);

    WavFile file;
    file.setFileName(QStringLiteral("night.wav"));
    file.prepareFilter(&in, &out);
    QVERIFY(!file.filterSignal(&in, &out, [](int) {}));
    QVERIFY(file.lastError().contains(QStringLiteral("Could not read")));
}

void TestWavFile::filterReportsFullDisk()
{
    const QByteArray input = recording(bandSignal(100000, 1e5));
    QBuffer in;
    in.setData(input);
    in.open(QIODevice::ReadOnly);
    FullDevice out(50000);
    out.open(QIODevice::WriteOnly);

    WavFile file;
    file.prepareFilter(&in, &out);
    QVERIFY(!file.filterSignal(&in, &out, [](int) {}));
    QVERIFY(file.lastError().contains(QStringLiteral("No space left on device")));
}

void TestWavFile::analysisMatchesReference()
{
    // A processed file: lead-in, then band-limited words of about 1e8.
    std::vector<std::int32_t> words(48 + 9000);
    const std::vector<std::int32_t> signal = bandSignal(words.size(), 4e8, 3);
    std::copy(signal.begin(), signal.end(), words.begin());
    std::vector<double> marker(1006);
    for (std::size_t k = 0; k < marker.size(); ++k)
        marker[k] = 3000.0 * std::sin(2 * M_PI * 150 * double(k) / 16384.0)
                    * std::sin(M_PI * double(k) / 1006);

    const QByteArray processed = header(HeaderFields()) + wordBytes(words).mid(44);
    QVERIFY(writeFile(path("x_output.wav"), processed));
    QVERIFY(writeFile(path("marker.dat"), markerBytes(marker)));

    WavFile source;
    QVERIFY(source.openRead(path("x_output.wav")));
    QFile markerFile(path("marker.dat"));
    QVERIFY(markerFile.open(QIODevice::ReadOnly));
    QBuffer frames;
    frames.open(QIODevice::WriteOnly);
    Recorder recorder;
    QVERIFY(source.analyse(&source, &frames, &markerFile, recorder));

    const reference::AnalysisRecord expected =
        reference::literalAnalysis(bytesToWords(processed), marker);
    const std::vector<std::int32_t> got = bytesToWords(frames.data());
    QCOMPARE(got.size(), expected.frames.size());
    QCOMPARE(testsignals::compareWords(got, expected.frames).beyondOne, std::size_t(0));
    QCOMPARE(recorder.samples, std::int64_t(expected.seriesX.size()));
    QCOMPARE(recorder.detector.size(), expected.detectorCalls.size());
    QCOMPARE(recorder.cumulative.size(), expected.graph2Calls.size());
    QCOMPARE(recorder.block, expected.peakBlock);
    QVERIFY(testsignals::withinOne(recorder.change, expected.change));
}

void TestWavFile::analysisReportsFailures()
{
    QFile noMarker(path("absent.dat"));
    // A disk that fills up in the frames' last piece, or in an earlier one
    // (they go out a megabyte at a time; with a spare core, in the
    // background).
    const std::pair<int, bool> runs[] = {{6000, false}, {400000, false}, {400000, true}};
    for (const auto &[samples, spareCore] : runs) {
        QVERIFY(writeFile(path("z_output.wav"), recording(bandSignal(samples, 1e8))));
        WavFile source;
        if (spareCore)
            source.setHelperCore([] { return std::make_shared<bool>(true); });
        QVERIFY(source.openRead(path("z_output.wav")));
        FullDevice full(samples > 6000 ? 1500000 : 1000);
        full.open(QIODevice::WriteOnly);
        Recorder recorder;
        QVERIFY(!source.analyse(&source, &full, &noMarker, recorder));
        QVERIFY(source.lastError().contains(QStringLiteral("No space left on device")));
        QVERIFY(recorder.samples > samples - 1000); // the analysis went on to the end
    }

    const QByteArray processed = recording(bandSignal(6000, 1e8));
    QVERIFY(writeFile(path("y_output.wav"), processed));
    WavFile source;
    QVERIFY(source.openRead(path("y_output.wav")));

    // A file that shrank after its size was taken.
    ShrunkDevice shrunk(processed, processed.size() + 800);
    shrunk.open(QIODevice::ReadOnly);
    QBuffer frames;
    frames.open(QIODevice::WriteOnly);
    Recorder second;
    QVERIFY(!source.analyse(&shrunk, &frames, &noMarker, second));
    QVERIFY(source.lastError().contains(QStringLiteral("Could not read")));
}

void TestWavFile::failedReadRefusesTheCommand_data()
{
    QTest::addColumn<bool>("draw");
    QTest::addColumn<QString>("failing"); ///< the file whose read fails
    QTest::addColumn<int>("nth");         ///< which of its reads, from 1
    // A canonical header takes two reads, the lead-in one a word.
    QTest::newRow("Open: header") << false << "night.wav" << 1;
    QTest::newRow("Open: lead-in") << false << "night.wav" << 3;
    QTest::newRow("Open: last lead-in word") << false << "night.wav" << 50;
    QTest::newRow("Open: samples") << false << "night.wav" << 51;
    QTest::newRow("Draw: header") << true << "night_output.wav" << 2;
    QTest::newRow("Draw: samples") << true << "night_output.wav" << 3;
    QTest::newRow("Draw: marker.dat") << true << "marker.dat" << 1;
}

// A read the system fails (an input/output error) refuses the command with
// the file and the reason, and no result is written.
void TestWavFile::failedReadRefusesTheCommand()
{
    QFETCH(bool, draw);
    QFETCH(QString, failing);
    QFETCH(int, nth);
    QTemporaryDir work;
    const QDir folder(work.path());
    const QByteArray input = recording(bandSignal(6000, 1e8));
    QVERIFY(writeFile(folder.filePath(draw ? "night_output.wav" : "night.wav"), input));
    QVERIFY(writeFile(folder.filePath("marker.dat"), markerBytes(std::vector<double>(1006, 1.0))));
    const QStringList before = folder.entryList(QDir::Files | QDir::Hidden);

    int reads = 0;
    wavformat::setReadFault([&](const QIODevice &device) {
        const auto *file = qobject_cast<const QFileDevice *>(&device);
        return file && QFileInfo(file->fileName()).fileName() == failing && ++reads == nth;
    });
    QString message;
    if (draw) {
        Recorder recorder;
        message = commands::draw(folder.filePath("night_output.wav"),
                                 folder.filePath("night_stereo.wav"),
                                 folder.filePath("marker.dat"), recorder)
                      .message;
    } else {
        message = commands::open(folder.filePath("night.wav"), folder.filePath("night_output.wav"),
                                 {});
    }
    wavformat::setReadFault({});
    QCOMPARE(reads, nth);
    QCOMPARE(message, "Could not read " + QDir::toNativeSeparators(folder.filePath(failing)) + ": "
                          + wavformat::systemReason(EIO));
    QCOMPARE(folder.entryList(QDir::Files | QDir::Hidden), before);
}

// A processed file (sparse, all zeros) long enough for a stereo result past
// 4 GiB: the result is RF64, and another program reads its frame count.
void TestWavFile::stereoBeyond4GiBIsRf64()
{
#ifdef __SANITIZE_ADDRESS__
    QSKIP("half a thousand million analysis steps take too long in the sanitizer build");
#endif
    const QString sndfileInfo = QStandardPaths::findExecutable(QStringLiteral("sndfile-info"));
    if (sndfileInfo.isEmpty())
        QSKIP("sndfile-info (Debian package sndfile-programs) is not installed");
    const qint64 frames = (qint64(1) << 29) + 5; // 8 bytes each: just past 4 GiB
    if (QStorageInfo(dir.path()).bytesAvailable() < frames * 8 + (qint64(1) << 30))
        QSKIP("needs about 5 GB of free disk space");

    QFile processed(path("long_output.wav"));
    QVERIFY(processed.open(QIODevice::WriteOnly));
    QVERIFY(processed.write(wavformat::canonicalHeader(1, 16384, (frames + 37) * 4)) == 44);
    QVERIFY(processed.resize(192 + frames * 4));
    processed.close();

    struct : AnalysisListener
    {
        void detectorColumn(int, int) override {}
        void cumulativeColumn(int, int, int) override {}
        void finished(std::int64_t, int, int) override {}
    } ignore;
    WavFile source;
    QVERIFY(source.openRead(processed.fileName()));
    QCOMPARE(commands::analyseInto(source, path("long_stereo.wav"), nullptr, ignore), QString());
    source.close();
    QFile::remove(processed.fileName());

    QFile result(path("long_stereo.wav"));
    QCOMPARE(result.size(), wavformat::kRf64HeaderBytes + frames * 8);
    QVERIFY(result.open(QIODevice::ReadOnly));
    QCOMPARE(result.read(4), QByteArray("RF64"));
    result.close();

    QProcess info;
    info.start(sndfileInfo, {result.fileName()});
    QVERIFY(info.waitForFinished(300000));
    const QString report = QString::fromLocal8Bit(info.readAllStandardOutput());
    QFile::remove(result.fileName());
    QVERIFY2(
        report.contains(QRegularExpression(QStringLiteral("\\nFrames\\s*:\\s*%1\\n").arg(frames))),
        qPrintable(report));
    QVERIFY2(report.contains(QRegularExpression(QStringLiteral("\\nChannels\\s*:\\s*2\\n"))),
             qPrintable(report));
}

// The second loop on a helper thread (a spare core) writes the same frames
// and makes the same calls as both loops on this thread (no core spare).
void TestWavFile::helperThreadChangesNothing()
{
    const QByteArray processed = recording(bandSignal(400000, 4e8, 9));
    QVERIFY(writeFile(path("h_output.wav"), processed));
    std::vector<double> marker(1006);
    for (std::size_t k = 0; k < marker.size(); ++k)
        marker[k] = 3000.0 * std::sin(2 * M_PI * 150 * double(k) / 16384.0);
    QBuffer markerFile;
    markerFile.setData(markerBytes(marker));
    markerFile.open(QIODevice::ReadOnly);

    const auto analyse = [&](QByteArray &frames, Recorder &recorder, bool helper) {
        WavFile source;
        if (helper)
            source.setHelperCore([] { return std::make_shared<bool>(true); });
        QBuffer out(&frames);
        return source.openRead(path("h_output.wav")) && out.open(QIODevice::WriteOnly)
               && source.analyse(&source, &out, &markerFile, recorder);
    };
    QByteArray helped, alone;
    Recorder withHelper, withoutHelper;
    QVERIFY(analyse(helped, withHelper, true));
    QVERIFY(analyse(alone, withoutHelper, false));
    QCOMPARE(helped.size(), wavformat::frameBytes(processed.size()));
    QVERIFY(helped == alone);
    QVERIFY(withHelper.detectorValues == withoutHelper.detectorValues);
    QVERIFY(withHelper.cumulativeValues == withoutHelper.cumulativeValues);
    QCOMPARE(withHelper.block, withoutHelper.block);
    QCOMPARE(withHelper.change, withoutHelper.change);
}

QTEST_MAIN(TestWavFile)
#include "tst_wavfile.moc"
