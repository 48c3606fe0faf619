#include "batch/batchjob.h"
#include "batch/demorecording.h"
#include "common/testfiles.h"
#include "dsp/matches.h"

#include <QTemporaryDir>
#include <QtTest>

#include <algorithm>
#include <cmath>
#include <random>

using namespace dsp::matches;

namespace {

/// Blocks with the given maxima, each peaking `offset` steps before its end.
BlockStore blocksOf(const std::vector<std::int32_t> &maxima, const std::vector<int> &offsets = {},
                    const std::vector<double> &correlations = {})
{
    BlockStore store;
    for (std::size_t i = 0; i < maxima.size(); ++i) {
        dsp::DetectorBlock b;
        b.column = int(i);
        b.maximum = maxima[i];
        const std::int64_t end = 3200 + 800 * std::int64_t(i);
        b.maximumStep = end - (i < offsets.size() ? offsets[i] : 400);
        b.peakCorrelation = i < correlations.size() ? correlations[i] : 0.0;
        b.peakCorrelationStep = b.maximumStep - 7;
        b.correlationAtMaximum = b.peakCorrelation / 2;
        b.detectorAtPeakCorrelation = maxima[i] / 2;
        store.add(b);
    }
    return store;
}

std::vector<std::int64_t> columnsOf(const std::vector<Match> &found)
{
    std::vector<std::int64_t> columns;
    for (const Match &m : found)
        columns.push_back(m.column);
    return columns;
}

constexpr double kRate = 16384.0;

/// The demo's ping: a 150 Hz tone with a 2 ms attack and a 20 ms decay.
double ping(double t)
{
    return t < 0 ? 0.0
                 : std::sin(2 * M_PI * 150.0 * t) * std::exp(-t / 0.02)
                       * (1.0 - std::exp(-t / 0.002));
}

/// Other shapes in the same band, 60 ms long: two tones beating (120 and
/// 190 Hz), and steady bursts of 100 and of 220 Hz.
double decoy(int kind, double t)
{
    if (t > 0.06)
        return 0.0;
    const double tone = kind == 0 ? (std::sin(2 * M_PI * 120.0 * t) + std::sin(2 * M_PI * 190.0 * t)) / 2
                                  : std::sin(2 * M_PI * (kind == 1 ? 100.0 : 220.0) * t);
    return tone * std::min(1.0, t / 0.005) * std::min(1.0, (0.06 - t) / 0.005);
}

struct Planted
{
    double seconds;
    double amplitude;
    int decoy; ///< -1 for a ping, else the decoy's kind
};

} // namespace

class TestMatches : public QObject
{
    Q_OBJECT

private slots:
    void level_data();
    void level();
    void find_data();
    void find();
    void parse_data();
    void parse();
    void storeKeepsEveryBlock_data();
    void storeKeepsEveryBlock();
    void rows();
    void plantedPings();

private:
    void checkPlanted(const BatchResult &result, const QByteArray &csv,
                      const std::vector<Planted> &planted, double noiseFrom, bool byCorrelation);
};

void TestMatches::level_data()
{
    QTest::addColumn<std::vector<std::int32_t>>("maxima");
    QTest::addColumn<double>("k");
    QTest::addColumn<double>("expected");
    QTest::newRow("odd count") << std::vector<std::int32_t>{1, 2, 3, 4, 100} << 8.0 << 3.0 + 8.0;
    // median 2.5; distances 1.5 0.5 0.5 1.5 -> MAD 1.
    QTest::newRow("even count") << std::vector<std::int32_t>{1, 2, 3, 4} << 2.0 << 4.5;
    // median 20; distances 10 10 0 10 20 -> MAD 10.
    QTest::newRow("wide") << std::vector<std::int32_t>{10, 30, 20, 10, 40} << 3.0 << 50.0;
    // A deviation below one unit is below the words' resolution.
    QTest::newRow("flat") << std::vector<std::int32_t>{7, 7, 7, 9000} << 8.0 << 15.0;
    QTest::newRow("none") << std::vector<std::int32_t>{} << 8.0 << qInf();
    // median -0.5; both distances 2^31 - 0.5.
    QTest::newRow("extremes") << std::vector<std::int32_t>{INT32_MIN, INT32_MAX} << 1.0
                              << 2147483647.0;
}

void TestMatches::level()
{
    QFETCH(std::vector<std::int32_t>, maxima);
    QFETCH(double, k);
    QFETCH(double, expected);
    Threshold t;
    t.value = k;
    QCOMPARE(dsp::matches::level(blocksOf(maxima), t), expected);
}

void TestMatches::find_data()
{
    QTest::addColumn<std::vector<std::int32_t>>("maxima");
    QTest::addColumn<std::vector<int>>("offsets");
    QTest::addColumn<int>("by");
    QTest::addColumn<double>("value");
    QTest::addColumn<std::vector<std::int64_t>>("columns");
    const std::vector<std::int32_t> quiet{10, 14, 9, 12, 11, 13, 10};
    // Blocks 2 and 3 peak 1005 steps apart, then 1006 apart.
    QTest::newRow("too close: the stronger")
        << std::vector<std::int32_t>{10, 10, 90, 100, 10, 10, 10}
        << std::vector<int>{400, 400, 695, 490, 400, 400, 400} << 0 << 8.0
        << std::vector<std::int64_t>{3};
    QTest::newRow("a template apart: both")
        << std::vector<std::int32_t>{10, 10, 90, 100, 10, 10, 10}
        << std::vector<int>{400, 400, 696, 490, 400, 400, 400} << 0 << 8.0
        << std::vector<std::int64_t>{2, 3};
    QTest::newRow("tie: the earlier")
        << std::vector<std::int32_t>{10, 10, 100, 100, 10, 10, 10} << std::vector<int>{} << 0
        << 8.0 << std::vector<std::int64_t>{2};
    QTest::newRow("chain: the weakest middle goes, both ends stay")
        << std::vector<std::int32_t>{10, 10, 100, 60, 80, 10, 10}
        << std::vector<int>{400, 400, 799, 0, 0, 400, 400} << 0 << 8.0
        << std::vector<std::int64_t>{2, 4};
    QTest::newRow("noise alone") << quiet << std::vector<int>{} << 0 << 8.0
                                 << std::vector<std::int64_t>{};
    QTest::newRow("absolute value") << quiet << std::vector<int>{} << 1 << 10.5
                                    << std::vector<std::int64_t>{1, 3, 5};
    QTest::newRow("correlation") << quiet << std::vector<int>{} << 2 << 0.7
                                 << std::vector<std::int64_t>{4};
}

void TestMatches::find()
{
    QFETCH(std::vector<std::int32_t>, maxima);
    QFETCH(std::vector<int>, offsets);
    QFETCH(int, by);
    QFETCH(double, value);
    QFETCH(std::vector<std::int64_t>, columns);
    const BlockStore store = blocksOf(maxima, offsets, {0.1, 0.2, 0.3, 0.6, 0.9, 0.5, 0.2});
    Threshold t;
    t.by = by == 2 ? Statistic::Correlation : Statistic::Detector;
    t.absolute = by != 0;
    t.value = value;
    const std::vector<Match> found = dsp::matches::find(store, t);
    QCOMPARE(columnsOf(found), columns);
    // By |r| the match is at the correlation's peak, with its detector word.
    if (by == 2 && !found.empty()) {
        QCOMPARE(found[0].step, store.at(4).peakCorrelationStep);
        QCOMPARE(found[0].strength, store.at(4).detectorAtPeakCorrelation);
    }
}

void TestMatches::parse_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<bool>("correlation");
    QTest::addColumn<double>("value");
    QTest::newRow("whole") << "8" << false << 8.0;
    QTest::newRow("spaces, plus") << " +2.5 " << false << 2.5;
    QTest::newRow("exponent") << "1e6" << false << 1e6;
    QTest::newRow("correlation") << "0.75" << true << 0.75;
    QTest::newRow("zero") << "0" << false << -1.0;
    QTest::newRow("negative") << "-3" << false << -1.0;
    QTest::newRow("nan") << "nan" << false << -1.0;
    QTest::newRow("infinite") << "inf" << false << -1.0;
    QTest::newRow("text") << "eight" << false << -1.0;
    QTest::newRow("comma") << "2,5" << false << -1.0;
    QTest::newRow("empty") << "" << false << -1.0;
    QTest::newRow("correlation of 1") << "1" << true << -1.0;
}

void TestMatches::parse()
{
    QFETCH(QString, text);
    QFETCH(bool, correlation);
    QFETCH(double, value);
    double read = 42.0;
    const std::string error = parseThreshold(
        text.toStdString(), correlation ? Statistic::Correlation : Statistic::Detector, read);
    QCOMPARE(error.empty(), value > 0);
    QCOMPARE(read, value > 0 ? value : 42.0);
}

/// Chunks kept in memory, as a file would keep them; `failAt` makes the
/// write of that chunk fail.
struct MemorySpill : ChunkSpill
{
    std::vector<std::vector<char>> chunks;
    std::size_t failAt = SIZE_MAX;
    bool write(std::size_t index, const void *data, std::size_t bytes) override
    {
        const char *from = static_cast<const char *>(data);
        chunks.emplace_back(from, from + (index == failAt ? 0 : bytes));
        return index == chunks.size() - 1 && index != failAt;
    }
    bool read(std::size_t index, void *data, std::size_t bytes) override
    {
        if (index >= chunks.size() || chunks[index].size() != bytes)
            return false;
        std::copy(chunks[index].begin(), chunks[index].end(), static_cast<char *>(data));
        return true;
    }
};

void TestMatches::storeKeepsEveryBlock_data()
{
    QTest::addColumn<bool>("spilled");
    QTest::addColumn<int>("failAt");
    QTest::newRow("in memory") << false << -1;
    QTest::newRow("spilled") << true << -1;
    QTest::newRow("spill fails") << true << 1;
}

void TestMatches::storeKeepsEveryBlock()
{
    // Across chunk boundaries, every field comes back (|r| in single precision),
    // read in any order; a chunk the spill lost reads as zeros, and says so.
    QFETCH(bool, spilled);
    QFETCH(int, failAt);
    MemorySpill spill;
    spill.failAt = failAt < 0 ? SIZE_MAX : std::size_t(failAt);
    BlockStore store;
    if (spilled)
        store.spillTo(&spill);
    for (int i = 0; i < 9000; ++i) {
        dsp::DetectorBlock b;
        b.column = i;
        b.maximum = i * 7 - 3;
        b.maximumStep = 3200 + 800 * std::int64_t(i) - i % 800;
        b.correlationAtMaximum = 0.25;
        b.peakCorrelation = 0.5;
        b.peakCorrelationStep = b.maximumStep - 1;
        b.detectorAtPeakCorrelation = -i;
        store.add(b);
    }
    QCOMPARE(store.size(), std::size_t(9000));
    QCOMPARE(spill.chunks.size(), std::size_t(spilled ? 2 : 0));
    for (int i : {8999, 0, 4095, 4096, 8191, 8192, 1}) {
        const dsp::DetectorBlock b = store.at(std::size_t(i));
        QCOMPARE(b.column, i);
        if (failAt >= 0 && i / 4096 == failAt) {
            QCOMPARE(b.maximum, 0);
            continue;
        }
        QCOMPARE(b.maximum, i * 7 - 3);
        QCOMPARE(b.maximumStep, 3200 + 800 * std::int64_t(i) - i % 800);
        QCOMPARE(b.peakCorrelationStep, b.maximumStep - 1);
        QCOMPARE(b.correlationAtMaximum, 0.25);
        QCOMPARE(b.detectorAtPeakCorrelation, -i);
    }
    QCOMPARE(store.failed(), failAt >= 0);
    QCOMPARE(blockCount(3200), std::int64_t(0));
    QCOMPARE(blockCount(3201), std::int64_t(1));
    QCOMPARE(blockCount(4001), std::int64_t(2));
}

void TestMatches::rows()
{
    // Step 10000 of a 44-byte-header recording: word 10000 - 1005 - 1520 - 11.
    Match m;
    m.step = 9990;
    m.alignedStep = 10000;
    m.column = 8;
    m.strength = 1234;
    m.correlation = 0.87654321;
    Placement mono;
    QCOMPARE(csv({m}, mono), std::string("time_s,sample,block,strength,correlation\n"
                                         "0.455566,7464,8,1234,0.876543\n"));
    QCOMPARE(labels({m, m}, mono), std::string("0.455566\t0.516968\tmatch 1\n"
                                               "0.455566\t0.516968\tmatch 2\n"));
    Placement stereo;
    stereo.headerBytes = 80;
    stereo.channels = 2;
    QCOMPARE(csv({m}, stereo).substr(41), std::string("0.227509,7455,8,1234,0.876543\n"));
    QCOMPARE(csv({}, mono), std::string("time_s,sample,block,strength,correlation\n"));
}

// Strong and weak pings, decoys of other shapes and a long stretch of noise
// alone: by either statistic every strong ping is found within 2 ms of its
// start; by the detector nothing in the noise, and each weak ping as its
// block maximum against the threshold says.
void TestMatches::plantedPings()
{
    const std::vector<Planted> planted{
        {5.0, 6e5, -1},   {11.3, 5e5, -1},  {17.61, 6e5, -1}, {24.0, 4.5e5, -1},
        {30.17, 6e5, -1}, {36.4, 5e5, -1},  {42.0, 0.3e5, -1}, {47.0, 0.6e5, -1},
        {52.0, 0.9e5, -1}, {57.0, 1.4e5, -1}, {62.0, 3e5, 0},  {66.5, 3e5, 1},
        {71.0, 3e5, 2}};
    const double noiseFrom = 75.0;
    const int seconds = 110;
    const std::size_t count = std::size_t(seconds * kRate);
    std::mt19937 generator(7);
    std::normal_distribution<double> noise(0.0, 6e4);
    std::vector<std::int32_t> samples(count);
    for (std::size_t i = 0; i < count; ++i) {
        const double t = double(i) / kRate;
        double v = 3e5 * std::sin(2 * M_PI * 50.0 * t) + noise(generator);
        for (const Planted &p : planted) {
            const double local = t - std::round(p.seconds * kRate) / kRate;
            if (local >= 0 && local < 0.3)
                v += p.amplitude * (p.decoy >= 0 ? decoy(p.decoy, local) : ping(local));
        }
        samples[i] = std::int32_t(v);
    }

    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString path = dir.filePath("planted.wav");
    QVERIFY(testfiles::writeFile(path, testfiles::recording(samples)));
    QVERIFY(testfiles::writeFile(dir.filePath("marker.dat"),
                                 testfiles::markerBytes(makeDemoRecording(1).marker)));
    for (const bool byCorrelation : {false, true}) {
        BatchOptions options;
        options.draw = true;
        options.blocks = true;
        options.matches = true;
        options.marker = dir.filePath("marker.dat");
        if (byCorrelation) {
            options.threshold.by = Statistic::Correlation;
            options.threshold.absolute = true;
            options.threshold.value = Threshold::kDefaultCorrelation;
        }
        BatchResult result = runBatchJob(path, options);
        QCOMPARE(commitBatchResults(result), QString());
        checkPlanted(result, testfiles::readFile(dir.filePath("planted_matches.csv")), planted,
                     noiseFrom, byCorrelation);
        if (QTest::currentTestFailed())
            return;
    }
}

void TestMatches::checkPlanted(const BatchResult &result, const QByteArray &csv,
                               const std::vector<Planted> &planted, double noiseFrom,
                               bool byCorrelation)
{
    // The rule, from the block maxima of the blocks file.
    std::vector<double> maxima;
    const QString blocksName = result.path.chopped(4) + QStringLiteral("_blocks.csv");
    const QList<QByteArray> rows = testfiles::readFile(blocksName).split('\n');
    for (int i = 1; i < rows.size(); ++i)
        if (!rows[i].isEmpty())
            maxima.push_back(rows[i].split(',').value(1).toDouble());
    QVERIFY(!maxima.empty());
    std::vector<double> sorted = maxima;
    std::sort(sorted.begin(), sorted.end());
    const auto medianOf = [](const std::vector<double> &v) {
        return v.size() % 2 ? v[v.size() / 2] : (v[v.size() / 2 - 1] + v[v.size() / 2]) / 2;
    };
    const double median = medianOf(sorted);
    std::vector<double> distances;
    for (double v : maxima)
        distances.push_back(std::fabs(v - median));
    std::sort(distances.begin(), distances.end());
    const double level = median + 8 * std::max(medianOf(distances), 1.0);

    QList<QByteArray> lines = csv.split('\n');
    QCOMPARE(lines.takeFirst(), QByteArray("time_s,sample,block,strength,correlation"));
    QCOMPARE(lines.takeLast(), QByteArray());
    QCOMPARE(lines.size(), result.matchCount);
    std::vector<double> times;
    for (const QByteArray &line : lines)
        times.push_back(line.split(',')[0].toDouble());

    int found = 0, missed = 0, decoys = 0;
    double worstError = 0;
    std::vector<bool> claimed(times.size(), false);
    for (const Planted &p : planted) {
        const double start = std::round(p.seconds * kRate) / kRate;
        int hit = -1;
        for (std::size_t i = 0; i < times.size(); ++i)
            if (times[i] - start >= (p.decoy >= 0 ? -0.03 : -0.002)
                && times[i] - start <= (p.decoy >= 0 ? 0.09 : 0.002))
                hit = int(i);
        if (hit >= 0)
            claimed[std::size_t(hit)] = true;
        if (p.decoy >= 0) {
            // The detector weighs |r| by energy: a loud decoy may pass it.
            decoys += hit >= 0 ? 1 : 0;
            continue;
        }
        // The blocks about the step where this ping's window ends.
        const std::int64_t step = std::llround(start * kRate) + 11 + 1520 + 1005;
        const std::int64_t column = (step + 799) / 800 - 4;
        double around = 0;
        for (std::int64_t c = std::max<std::int64_t>(column - 1, 0);
             c <= column + 1 && c < std::int64_t(maxima.size()); ++c)
            around = std::max(around, maxima[std::size_t(c)]);
        const bool strong = p.amplitude >= 4e5;
        if (strong || !byCorrelation)
            QVERIFY2((hit >= 0) == (strong || around > level),
                     qPrintable(QStringLiteral("ping at %1 s: block maximum %2, level %3")
                                    .arg(p.seconds)
                                    .arg(around)
                                    .arg(level)));
        if (hit >= 0) {
            worstError = std::max(worstError, std::fabs(times[std::size_t(hit)] - start));
            ++found;
        } else {
            ++missed;
        }
    }
    // Band-limited noise reaches |r| 0.85 now and then: by |r| alone the
    // noise holds matches, which are counted, not refused.
    int falseMatches = 0;
    for (std::size_t i = 0; i < times.size(); ++i) {
        QVERIFY2(byCorrelation || times[i] < noiseFrom,
                 qPrintable(QStringLiteral("a match in the noise at %1 s").arg(times[i])));
        falseMatches += claimed[i] ? 0 : 1;
    }
    QVERIFY(byCorrelation || falseMatches == 0);
    qInfo("by %s: %d pings found, %d weak ones missed, %d decoys matched, %d other matches; "
          "worst time error %.3f ms; level %.2f",
          byCorrelation ? "|r|" : "the detector", found, missed, decoys, falseMatches,
          worstError * 1000, byCorrelation ? 0.7 : level);
}

QTEST_MAIN(TestMatches)
#include "tst_matches.moc"
