#include "dsp/templateanalysis.h"

#include "dsp/conversions.h"
#include "dsp/widevectors.h"
#include "common/recorders.h"
#include "common/signals.h"
#include "reference/literalanalysis.h"

#include <QtTest>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <random>
#include <thread>
#include <utility>
#include <vector>

Q_DECLARE_METATYPE(std::vector<double>)

namespace {

constexpr std::int32_t kInvalid = std::numeric_limits<std::int32_t>::min();

/// Records every call of the fast analysis; the overview as rows.
struct Recorder : recorders::Core
{
    std::vector<dsp::DetectorBlock> blocks;
    void detectorBlock(const dsp::DetectorBlock &block) override { blocks.push_back(block); }
};

} // namespace

namespace dsp {
/// Same values, bit for bit (NaN included).
bool operator==(const DetectorBlock &a, const DetectorBlock &b)
{
    const auto same = [](double x, double y) { return std::memcmp(&x, &y, sizeof x) == 0; };
    return a.column == b.column && a.maximum == b.maximum && a.maximumStep == b.maximumStep
           && same(a.correlationAtMaximum, b.correlationAtMaximum)
           && same(a.peakCorrelation, b.peakCorrelation)
           && a.peakCorrelationStep == b.peakCorrelationStep
           && a.detectorAtPeakCorrelation == b.detectorAtPeakCorrelation;
}
} // namespace dsp

namespace {

/// How runFast() pushes the words; Together and Helper run both loops in
/// one pass, Helper with a thread of its own. Narrow pushes them whole, with
/// the wide vector forms turned off.
enum class Split { Whole, WordByWord, Uneven, Together, Helper, Narrow };

/// Runs the fast analysis over `fileWords` (lead-in included), pushing the
/// samples in the given split.
Recorder runFast(const std::vector<std::int32_t> &fileWords, const std::vector<double> &marker,
                 Split split, std::uint32_t seed = 1)
{
    Recorder rec;
    const auto count = static_cast<std::int64_t>(fileWords.size());
    dsp::TemplateAnalysis analysis(marker, count, rec, rec, split != Split::Narrow);
    if (split == Split::Together || split == Split::Helper)
        analysis.runLoopsTogether(split == Split::Helper);
    const std::int32_t *data = fileWords.data() + std::min<std::int64_t>(48, count);
    const auto n = static_cast<std::size_t>(analysis.sampleCount());
    auto pushAll = [&](auto push) {
        std::mt19937 rng(seed);
        std::uniform_int_distribution<std::size_t> chunk(0, 5000);
        std::size_t at = 0;
        while (at < n) {
            std::size_t take = n - at;
            if (split == Split::WordByWord)
                take = 1;
            else if (split != Split::Whole)
                take = std::min(take, chunk(rng));
            push(data + at, take);
            at += take;
        }
    };
    pushAll([&](const std::int32_t *p, std::size_t c) { analysis.pushFirst(p, c); });
    analysis.finishFirst();
    rec.peakBlock = analysis.peakBlock();
    pushAll([&](const std::int32_t *p, std::size_t c) { analysis.pushSecond(p, c); });
    analysis.finishSecond();
    rec.change = analysis.change();
    return rec;
}

using testsignals::recording;
using testsignals::shapedTemplate;

std::vector<double> templateNamed(const QByteArray &name)
{
    if (name == "missing")
        return {};
    if (name == "short")
        return shapedTemplate(300);
    if (name == "exact")
        return shapedTemplate(1006);
    if (name == "long") {
        std::vector<double> t = shapedTemplate(1006);
        std::vector<double> tail = shapedTemplate(494, 7e3);
        t.insert(t.end(), tail.begin(), tail.end());
        return t;
    }
    if (name == "constant")
        return std::vector<double>(1006, 1234.5);
    if (name == "nearlyConstant") {
        std::vector<double> t(1006, 1234.5);
        for (std::size_t i = 0; i < t.size(); i += 7)
            t[i] += 1e-9;
        return t;
    }
    if (name == "offset") {
        std::vector<double> t = shapedTemplate(1006);
        for (double &v : t)
            v += 3e4;
        return t;
    }
    if (name == "nan") {
        std::vector<double> t = shapedTemplate(1006);
        t[400] = std::nan("");
        return t;
    }
    if (name == "inf") {
        std::vector<double> t = shapedTemplate(1006);
        t[17] = std::numeric_limits<double>::infinity();
        return t;
    }
    if (name == "huge")
        return shapedTemplate(1006, 1e250);
    // Below 1e-290, after the division by 20000: normal, and subnormal.
    if (name == "tiny")
        return shapedTemplate(1006, 1e-290);
    if (name == "denormal")
        return shapedTemplate(1006, 1e-311);
    if (name == "zero mean") {
        const std::vector<double> s = shapedTemplate(1006);
        std::vector<double> t(s.size());
        for (std::size_t i = 0; i < t.size(); ++i)
            t[i] = s[i] - s[t.size() - 1 - i];
        return t;
    }
    qFatal("unknown template %s", name.constData());
    return {};
}

using testsignals::withinOne;

/// Checks the fast results against the literal ones within the accepted
/// tolerance: frames ±1 on at most one value in 100,000; columns ±1 in y;
/// peak block and change exact.
void verifyAgainstLiteral(const Recorder &fast, const reference::AnalysisRecord &lit,
                          const std::vector<std::int32_t> &fileWords)
{
    const std::size_t n = lit.seriesX.size();
    QCOMPARE(fast.samples.size(), n);
    QVERIFY(std::equal(fast.samples.begin(), fast.samples.end(), fileWords.begin() + 48));
    QCOMPARE(fast.frames.size(), lit.frames.size());
    const testsignals::Mismatch m = testsignals::compareWords(fast.frames, lit.frames);
    QVERIFY2(!m.beyondOne, "a frame differs by more than one");
    QVERIFY2(m.differing <= lit.frames.size() / 100000,
             qPrintable(
                 QString("%1 of %2 frame values differ").arg(m.differing).arg(lit.frames.size())));

    QCOMPARE(fast.detector.size(), lit.detectorCalls.size());
    for (std::size_t i = 0; i < lit.detectorCalls.size(); ++i) {
        QCOMPARE(fast.detector[i].first, lit.detectorCalls[i].first);
        QVERIFY2(withinOne(fast.detector[i].second, lit.detectorCalls[i].second),
                 qPrintable(QString("detector column %1: %2 vs %3")
                                .arg(i)
                                .arg(fast.detector[i].second)
                                .arg(lit.detectorCalls[i].second)));
    }
    QCOMPARE(fast.cumulative.size(), lit.graph2Calls.size());
    for (std::size_t i = 0; i < lit.graph2Calls.size(); ++i) {
        QCOMPARE(fast.cumulative[i][0], lit.graph2Calls[i][0]);
        QVERIFY2(withinOne(fast.cumulative[i][1], lit.graph2Calls[i][1])
                     && withinOne(fast.cumulative[i][2], lit.graph2Calls[i][2]),
                 qPrintable(QString("cumulative column %1: %2,%3 vs %4,%5")
                                .arg(i)
                                .arg(fast.cumulative[i][1])
                                .arg(fast.cumulative[i][2])
                                .arg(lit.graph2Calls[i][1])
                                .arg(lit.graph2Calls[i][2])));
    }
    QCOMPARE(fast.peakBlock, lit.peakBlock);
    QCOMPARE(fast.change, lit.change);
}

void verifyIdentical(const Recorder &a, const Recorder &b)
{
    QVERIFY(a.samples == b.samples);
    QVERIFY(a.frames == b.frames);
    QVERIFY(a.detector == b.detector);
    QVERIFY(a.cumulative == b.cumulative);
    QVERIFY(a.blocks == b.blocks);
    QCOMPARE(a.peakBlock, b.peakBlock);
    QCOMPARE(a.change, b.change);
}

} // namespace

class TestTemplateAnalysis : public QObject
{
    Q_OBJECT

private slots:
    void matchesLiteral_data();
    void matchesLiteral();
    void emptyTemplateComponents_data();
    void emptyTemplateComponents();
    void leadingFramesAreZero();
    void columnsAndPeakOnShortFiles_data();
    void columnsAndPeakOnShortFiles();
    void edgeSineRange_data();
    void edgeSineRange();
    void outOfRangeComponentIsInvalidWord();
    void peakFindsThePlacedEvent();
    void quietAndSilentStretches();
    void clicksAndStretches_data();
    void clicksAndStretches();
    void edgeSineWords_data();
    void edgeSineWords();
    void conversionLimits_data();
    void conversionLimits();
    void nonFiniteTemplate_data();
    void nonFiniteTemplate();
    void concurrentAnalysesAgree();
    void loopsTogether_data();
    void loopsTogether();
    void surplusAndMissingWords();
    void detectorBlockDetails_data();
    void detectorBlockDetails();
};

void TestTemplateAnalysis::matchesLiteral_data()
{
    QTest::addColumn<qint64>("count");
    QTest::addColumn<QByteArray>("marker");
    QTest::addColumn<uint>("seed");

    QTest::newRow("below lead-in") << qint64(30) << QByteArray("exact") << 1u;
    QTest::newRow("lead-in only") << qint64(48) << QByteArray("exact") << 1u;
    QTest::newRow("short file") << qint64(2900) << QByteArray("exact") << 2u;
    QTest::newRow("one block") << qint64(3700) << QByteArray("short") << 3u;
    QTest::newRow("two blocks, missing") << qint64(4100) << QByteArray("missing") << 4u;
    QTest::newRow("20000, exact") << qint64(20000) << QByteArray("exact") << 5u;
    QTest::newRow("20000, short") << qint64(20000) << QByteArray("short") << 6u;
    QTest::newRow("20000, long") << qint64(20000) << QByteArray("long") << 7u;
    QTest::newRow("20000, missing") << qint64(20000) << QByteArray("missing") << 8u;
    QTest::newRow("20000, constant") << qint64(20000) << QByteArray("constant") << 9u;
    QTest::newRow("20000, nearly constant") << qint64(20000) << QByteArray("nearlyConstant") << 10u;
    QTest::newRow("20000, offset") << qint64(20000) << QByteArray("offset") << 11u;
    QTest::newRow("6000, NaN") << qint64(6000) << QByteArray("nan") << 12u;
    QTest::newRow("6000, infinity") << qint64(6000) << QByteArray("inf") << 13u;
    QTest::newRow("6000, huge") << qint64(6000) << QByteArray("huge") << 14u;
    QTest::newRow("20000, tiny") << qint64(20000) << QByteArray("tiny") << 17u;
    QTest::newRow("20000, denormal") << qint64(20000) << QByteArray("denormal") << 18u;
    QTest::newRow("120000, exact") << qint64(120000) << QByteArray("exact") << 15u;
    QTest::newRow("120000, long") << qint64(120000) << QByteArray("long") << 16u;
}

void TestTemplateAnalysis::matchesLiteral()
{
    QFETCH(qint64, count);
    QFETCH(QByteArray, marker);
    QFETCH(uint, seed);

    const std::vector<std::int32_t> words = recording(count, seed, 1e8, int(count / 5000) + 1);
    const std::vector<double> values = templateNamed(marker);
    const reference::AnalysisRecord lit = reference::literalAnalysis(words, values);

    const Recorder whole = runFast(words, values, Split::Whole);
    verifyAgainstLiteral(whole, lit, words);

    const Recorder uneven = runFast(words, values, Split::Uneven, seed);
    verifyIdentical(uneven, whole);
    verifyIdentical(runFast(words, values, Split::Helper, seed), whole);
    if (count <= 20000) {
        const Recorder single = runFast(words, values, Split::WordByWord);
        verifyIdentical(single, whole);
    }
    if (!dsp::wideVectorsSupported())
        QSKIP("no wide form on this processor: the narrow one ran throughout");
    verifyIdentical(runFast(words, values, Split::Narrow), whole);
}

void TestTemplateAnalysis::emptyTemplateComponents_data()
{
    QTest::addColumn<std::vector<double>>("marker");
    QTest::newRow("no template") << std::vector<double>();
    // One value throughout is no shape either. In doubles the formula gives
    // such a template NaN (1234.5, -3) or rounding noise (7) instead of 0.
    QTest::newRow("1234.5 throughout") << std::vector<double>(1006, 1234.5);
    QTest::newRow("7 throughout") << std::vector<double>(1006, 7.0);
    QTest::newRow("-3 throughout") << std::vector<double>(1006, -3.0);
    QTest::newRow("20000 throughout") << std::vector<double>(1006, 20000.0);
}

void TestTemplateAnalysis::emptyTemplateComponents()
{
    // Without a template every correlation is 0: the asymmetrical component
    // stays 0 and the symmetrical one is the sample 503 steps earlier, from
    // step 3144 on (the delay line is fed from step 2641).
    QFETCH(std::vector<double>, marker);
    const std::int64_t count = 9000;
    const std::vector<std::int32_t> words = recording(count, 21);
    const Recorder rec = runFast(words, marker, Split::Whole);
    QCOMPARE(rec.frames.size(), std::size_t(2 * (count - 48)));
    for (std::int64_t step = 48; step < count; ++step) {
        const std::size_t i = static_cast<std::size_t>(step - 48);
        QCOMPARE(rec.frames[2 * i], 0);
        const std::int32_t expected =
            step > 3144 ? words[static_cast<std::size_t>(step - 1 - 503)] : 0;
        QCOMPARE(rec.frames[2 * i + 1], expected);
    }
    for (const auto &call : rec.detector)
        QCOMPARE(call.second, 600);
    for (const auto &call : rec.cumulative)
        QCOMPARE(call, (std::array<int, 3>{call[0], 800, 800}));
    // Every block maximum is 0: the second block wins and the equal later
    // ones do not replace it.
    QCOMPARE(rec.peakBlock, 2);
    QCOMPARE(rec.change, 0);
}

void TestTemplateAnalysis::leadingFramesAreZero()
{
    const std::vector<std::int32_t> words = recording(12000, 22, 1e9, 6);
    const Recorder rec = runFast(words, shapedTemplate(1006), Split::Whole);
    QVERIFY(std::all_of(rec.frames.begin(), rec.frames.begin() + 2 * 3097,
                        [](std::int32_t v) { return v == 0; }));
    QVERIFY(std::any_of(rec.frames.begin() + 2 * 3097, rec.frames.end(),
                        [](std::int32_t v) { return v != 0; }));
}

void TestTemplateAnalysis::columnsAndPeakOnShortFiles_data()
{
    QTest::addColumn<qint64>("count");
    QTest::addColumn<int>("columns");
    QTest::addColumn<bool>("peak");

    QTest::newRow("3200: no block ends") << qint64(3200) << 0 << false;
    QTest::newRow("3201: first block") << qint64(3201) << 1 << false;
    QTest::newRow("4000: still one") << qint64(4000) << 1 << false;
    QTest::newRow("4001: second block") << qint64(4001) << 2 << true;
    QTest::newRow("10000") << qint64(10000) << 9 << true;
}

void TestTemplateAnalysis::columnsAndPeakOnShortFiles()
{
    QFETCH(qint64, count);
    QFETCH(int, columns);
    QFETCH(bool, peak);

    const std::vector<std::int32_t> words = recording(count, 23);
    const Recorder rec = runFast(words, shapedTemplate(1006), Split::Whole);
    QCOMPARE(int(rec.detector.size()), columns);
    QCOMPARE(int(rec.cumulative.size()), columns);
    for (int i = 0; i < columns; ++i) {
        QCOMPARE(rec.detector[std::size_t(i)].first, i);
        QCOMPARE(rec.cumulative[std::size_t(i)][0], i);
    }
    QCOMPARE(rec.peakBlock >= 2, peak);
    if (!peak)
        QCOMPARE(rec.peakBlock, -1);
}

void TestTemplateAnalysis::edgeSineRange_data()
{
    QTest::addColumn<qint64>("step");
    QTest::addColumn<bool>("edge");
    // A file of 30000 words keeps steps 2000 to 27000 in the second loop.
    QTest::newRow("last edge step before") << qint64(1999) << true;
    QTest::newRow("first kept step") << qint64(2000) << false;
    QTest::newRow("last kept step") << qint64(27000) << false;
    QTest::newRow("first edge step after") << qint64(27001) << true;
}

// The second loop replaces an edge step's sample by the sine: a spike
// there leaves the cumulative sum alone, a spike in the kept range moves it.
// In silence and with a one-value template the spike gives the reversed
// correlation 1 when it is newest and the forward one 1005 steps later, so
// the sum is 2.5 lower in between.
void TestTemplateAnalysis::edgeSineRange()
{
    QFETCH(qint64, step);
    QFETCH(bool, edge);
    std::vector<std::int32_t> words(30000, 0);
    std::vector<double> marker(1006, 0.0);
    marker[0] = 1e4;
    const Recorder plain = runFast(words, marker, Split::Whole);
    words[std::size_t(step)] = 2000000000;
    const Recorder spiked = runFast(words, marker, Split::Whole);
    QCOMPARE(spiked.cumulativeValues == plain.cumulativeValues, edge);
}

void TestTemplateAnalysis::outOfRangeComponentIsInvalidWord()
{
    // The window ending at step 5000 is an exact scaled copy of the template
    // (|r| close to 1), and the sample 503 steps before step 5001 is 1.5e9:
    // the asymmetrical component 2 r^2 H is out of range.
    std::vector<double> marker(1006);
    for (int i = 0; i < 1006; ++i)
        marker[std::size_t(i)] = std::cos(0.05 * (i - 503)) * std::exp(-std::abs(i - 503) / 200.0);
    const std::int64_t end = 5000;
    std::vector<std::int32_t> words = recording(5200, 24, 1e7, 0);
    for (int i = 0; i < 1006; ++i)
        words[std::size_t(end - 1005 + i)] = dsp::toInt32(1.5e9 * marker[std::size_t(i)]);
    QCOMPARE(words[std::size_t(end + 1 - 503)], 1500000000);

    const Recorder rec = runFast(words, marker, Split::Whole);
    const std::size_t frame = std::size_t(end + 2 - 48);
    QCOMPARE(rec.frames[2 * frame], kInvalid);
    QVERIFY(rec.frames[2 * frame + 1] != kInvalid);
    const reference::AnalysisRecord lit = reference::literalAnalysis(words, marker);
    QCOMPARE(lit.frames[2 * frame], kInvalid);
    verifyAgainstLiteral(rec, lit, words);
}

void TestTemplateAnalysis::peakFindsThePlacedEvent()
{
    // One strong event ending at step 9300 in quiet noise: the detector
    // peaks in the block that holds that step, block 9600 / 800 - 3.
    const std::vector<double> marker = shapedTemplate(1006);
    std::vector<std::int32_t> words = recording(16000, 25, 5e7, 0);
    const std::int64_t end = 9300;
    for (int i = 0; i < 1006; ++i)
        words[std::size_t(end - 1005 + i)] += dsp::toInt32(1e5 * marker[std::size_t(i)]);
    const Recorder rec = runFast(words, marker, Split::Uneven, 3);
    QCOMPARE(rec.peakBlock, 9);
    const reference::AnalysisRecord lit = reference::literalAnalysis(words, marker);
    QCOMPARE(lit.peakBlock, 9);
}

void TestTemplateAnalysis::quietAndSilentStretches()
{
    // Digital silence and near-silence (samples that scale to a few units)
    // between loud stretches, and clicks in near-silence: windows far
    // quieter than their neighbours must still match the direct sums.
    // A constant window makes the direct form's r pure rounding noise over
    // 1e-9 under the root; it has to be reproduced, not approximated.
    std::vector<std::int32_t> words = recording(30000, 26, 3e8, 6);
    std::mt19937 rng(26);
    std::uniform_int_distribution<std::int32_t> faint(-90000, 90000);
    for (std::size_t i = 9000; i < 14000; ++i)
        words[i] = 0;
    for (std::size_t i = 14000; i < 17500; ++i)
        words[i] = faint(rng);
    for (std::size_t i = 17500; i < 19600; ++i)
        words[i] = 20000 * 3;
    // Faint samples with loud clicks, which the transform leaves out and
    // adds as direct products, also in a block's history.
    for (std::size_t i = 19600; i < 29000; ++i)
        words[i] = i % 2900 == 0 ? 2000000000 - std::int32_t(i) : faint(rng) / 3;
    const std::vector<double> marker = shapedTemplate(1006);
    const reference::AnalysisRecord lit = reference::literalAnalysis(words, marker);
    const Recorder rec = runFast(words, marker, Split::Uneven, 9);
    verifyAgainstLiteral(rec, lit, words);
    if (!dsp::wideVectorsSupported())
        QSKIP("no wide form on this processor: the narrow one ran throughout");
    verifyIdentical(runFast(words, marker, Split::Narrow), rec);
}

void TestTemplateAnalysis::clicksAndStretches_data()
{
    QTest::addColumn<double>("quiet");
    QTest::addColumn<double>("click");
    QTest::addColumn<int>("clicks");
    QTest::addColumn<int>("ringing");
    QTest::addColumn<QByteArray>("stretch");
    QTest::addColumn<QByteArray>("marker");

    // Single-word clicks over faint noise and over silence, sparse and dense.
    QTest::newRow("few full-scale clicks, faint noise")
        << 1e5 << 2.1e9 << 4 << 0 << QByteArray() << QByteArray("exact");
    QTest::newRow("many clicks of 1e7, silence")
        << 0.0 << 1e7 << 60 << 0 << QByteArray() << QByteArray("exact");
    QTest::newRow("clicks of 1e6, noise of 3e4")
        << 3e4 << 1e6 << 12 << 0 << QByteArray() << QByteArray("exact");
    // Clicks as the filter leaves them: ringing that decays over hundreds
    // of words, its loudest words beyond the output limit and so zero.
    QTest::newRow("ringing clicks, faint noise")
        << 6e5 << 5e9 << 6 << 300 << QByteArray() << QByteArray("exact");
    QTest::newRow("ringing clicks, silence")
        << 0.0 << 3e9 << 9 << 120 << QByteArray() << QByteArray("exact");
    QTest::newRow("dense ringing clicks, silence")
        << 0.0 << 1e9 << 40 << 200 << QByteArray() << QByteArray("exact");
    // Windows of one value throughout, several values, beside noise.
    QTest::newRow("saturated stretches")
        << 1e5 << 0.0 << 0 << 0 << QByteArray("saturated") << QByteArray("exact");
    QTest::newRow("constant offset")
        << 0.0 << 0.0 << 0 << 0 << QByteArray("offset") << QByteArray("exact");
    // A template of subnormal values; an offset near full scale with noise
    // on it (taken from the block before its transform); full-scale square
    // waves.
    QTest::newRow("denormal template, clicks")
        << 1e5 << 2.1e9 << 4 << 0 << QByteArray() << QByteArray("denormal");
    QTest::newRow("offset with noise")
        << 1e5 << 0.0 << 0 << 0 << QByteArray("offset noise") << QByteArray("exact");
    QTest::newRow("offset with noise, template of zero mean")
        << 1e5 << 0.0 << 0 << 0 << QByteArray("offset noise") << QByteArray("zero mean");
    QTest::newRow("offset with noise, denormal template")
        << 1e5 << 0.0 << 0 << 0 << QByteArray("offset noise") << QByteArray("denormal");
    QTest::newRow("square waves") << 0.0 << 0.0 << 0 << 0 << QByteArray("square")
                                  << QByteArray("exact");
}

// Quiet windows in blocks with loud words, and windows of one value, must
// still give the literal form's results, however the words are pushed.
void TestTemplateAnalysis::clicksAndStretches()
{
    QFETCH(double, quiet);
    QFETCH(double, click);
    QFETCH(int, clicks);
    QFETCH(int, ringing);
    QFETCH(QByteArray, stretch);
    QFETCH(QByteArray, marker);
    const std::int64_t count = 40000;
    std::mt19937 rng(41);
    std::uniform_real_distribution<double> noise(-quiet, quiet);
    std::vector<std::int32_t> words(std::size_t(count), 0);
    for (std::size_t i = 48; i < words.size(); ++i)
        words[i] = quiet > 0 ? dsp::toInt32(noise(rng)) : 0;
    std::uniform_int_distribution<std::int64_t> at(3000, count - 3000);
    for (int c = 0; c < clicks; ++c) {
        const std::int64_t p = at(rng);
        const double sign = c % 2 ? -1.0 : 1.0;
        if (ringing == 0) {
            words[std::size_t(p)] = dsp::toInt32(sign * click);
            continue;
        }
        for (std::int64_t i = -8 * ringing; i <= 8 * ringing; ++i) {
            const double v = sign * click * std::exp(-std::fabs(double(i)) / ringing)
                             * std::cos(0.23 * double(i));
            std::int32_t &w = words[std::size_t(p + i)];
            w = std::fabs(w + v) > 2e9 ? 0 : dsp::toInt32(w + v);
        }
    }
    if (stretch == "saturated") {
        for (std::int64_t i = 5000; i + 6000 < count; i += 9000)
            for (std::int64_t k = i; k < i + 4000; ++k)
                words[std::size_t(k)] = (i / 9000) % 2 ? -2147483647 : 2147483647;
    } else if (stretch == "offset") {
        for (std::size_t i = 48; i < words.size(); ++i)
            words[i] = i < 20000 ? 2100000000 : -2000000000 + std::int32_t(i / 7000);
    } else if (stretch == "offset noise") {
        for (std::size_t i = 48; i < words.size(); ++i)
            words[i] = dsp::toInt32((i < 25000 ? 2.1e9 : -1.9e9) + words[i]);
    } else if (stretch == "square") {
        // Half periods of 25 words, then of 8000.
        for (std::int64_t i = 48; i < count; ++i)
            words[std::size_t(i)] = (i < 20000 ? i / 25 : i / 8000) % 2 ? -2147483647 : 2147483647;
    }
    const std::vector<double> values = templateNamed(marker);
    const reference::AnalysisRecord lit = reference::literalAnalysis(words, values);
    const Recorder whole = runFast(words, values, Split::Whole);
    verifyAgainstLiteral(whole, lit, words);
    verifyIdentical(runFast(words, values, Split::Uneven, 3), whole);
    verifyIdentical(runFast(words, values, Split::Helper, 4), whole);
    if (dsp::wideVectorsSupported())
        verifyIdentical(runFast(words, values, Split::Narrow), whole);
}

void TestTemplateAnalysis::edgeSineWords_data()
{
    QTest::addColumn<qint64>("first");
    QTest::addColumn<int>("count");
    QTest::newRow("the first 10 minutes") << qint64(0) << 10 * 60 * 16384;
    QTest::newRow("a night in") << qint64(8) * 3600 * 16384 << 500000;
    QTest::newRow("where the library takes over") << qint64(1602000000) << 4000000;
    QTest::newRow("far beyond") << (qint64(1) << 52) << 5000;
}

void TestTemplateAnalysis::edgeSineWords()
{
    // The faster form must give the library's word; where a word could go
    // either way it defers to the library. glibc's sine is within an ulp at
    // any argument. Others (MinGW's) lose digits at millions of periods,
    // where the faster form's word can be the right one and theirs one off.
#ifdef __GLIBC__
    const std::int64_t slack = 0;
#else
    const std::int64_t slack = 1;
#endif
    QFETCH(qint64, first);
    QFETCH(int, count);
    std::vector<std::int32_t> words(static_cast<std::size_t>(count));
    dsp::analysis::edgeSineWords(first, count, words.data());
    for (int i = 0; i < count; ++i) {
        const std::int64_t expected = dsp::analysis::edgeSineWord(first + i);
        if (std::llabs(words[std::size_t(i)] - expected) > slack)
            QFAIL(qPrintable(QStringLiteral("step %1: %2, expected %3")
                                 .arg(first + i)
                                 .arg(words[std::size_t(i)])
                                 .arg(expected)));
    }
}

void TestTemplateAnalysis::conversionLimits_data()
{
    QTest::addColumn<double>("value");
    QTest::addColumn<int>("word");
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const double infinity = std::numeric_limits<double>::infinity();
    QTest::newRow("-0.9") << -0.9 << 0;
    QTest::newRow("just below the top") << 2147483647.99 << 2147483647;
    QTest::newRow("the top") << 2147483648.0 << kInvalid;
    QTest::newRow("just above the bottom") << -2147483648.99 << kInvalid;
    QTest::newRow("the bottom") << -2147483649.0 << kInvalid;
    QTest::newRow("+inf") << infinity << kInvalid;
    QTest::newRow("-inf") << -infinity << kInvalid;
    QTest::newRow("NaN") << nan << kInvalid;
}

void TestTemplateAnalysis::conversionLimits()
{
    // One value alone and in a loop the compiler vectorises.
    QFETCH(double, value);
    QFETCH(int, word);
    QCOMPARE(dsp::toInt32(value), word);
    std::array<double, 64> values;
    values.fill(value);
    std::array<std::int32_t, 64> words;
    std::transform(values.begin(), values.end(), words.begin(), dsp::toInt32);
    QVERIFY(std::all_of(words.begin(), words.end(), [word](std::int32_t w) { return w == word; }));
}

void TestTemplateAnalysis::nonFiniteTemplate_data()
{
    QTest::addColumn<QByteArray>("marker");
    QTest::newRow("NaN") << QByteArray("nan");
    QTest::newRow("infinity") << QByteArray("inf");
}

void TestTemplateAnalysis::nonFiniteTemplate()
{
    // The template's term under the root is NaN, so is every correlation:
    // components are the invalid word from the frame of step 2643 on, block
    // values too, and the rows saturate instead of overflowing.
    QFETCH(QByteArray, marker);
    const std::int64_t count = 8000;
    const std::vector<std::int32_t> words = recording(count, 29);
    const Recorder rec = runFast(words, templateNamed(marker), Split::Uneven, 5);
    const std::size_t first = std::size_t(2643 - 48);
    QCOMPARE(rec.frames[2 * first - 2], 0);
    QVERIFY(std::all_of(rec.frames.begin() + std::ptrdiff_t(2 * first), rec.frames.end(),
                        [](std::int32_t v) { return v == kInvalid; }));
    QCOMPARE(rec.detector.size(), std::size_t(6));
    QCOMPARE(rec.detector[0].second, 600); // entries 1 .. 240 still hold 0
    for (std::size_t i = 1; i < rec.detector.size(); ++i)
        QCOMPARE(rec.detector[i].second, std::numeric_limits<int>::max());
    QCOMPARE(rec.peakBlock, -1);
    QCOMPARE(rec.cumulative.back()[2], std::numeric_limits<int>::max());
    QCOMPARE(rec.change, 0);
}

void TestTemplateAnalysis::loopsTogether_data()
{
    QTest::addColumn<qint64>("count");
    QTest::addColumn<QByteArray>("marker");
    QTest::newRow("no block ends") << qint64(3100) << QByteArray("exact");
    QTest::newRow("one block: the first is the last") << qint64(3300) << QByteArray("exact");
    QTest::newRow("eight blocks, all near the end") << qint64(7000) << QByteArray("exact");
    QTest::newRow("20000, short template") << qint64(20000) << QByteArray("short");
    QTest::newRow("120000, huge template") << qint64(120000) << QByteArray("huge");
    QTest::newRow("400000, offset template") << qint64(400000) << QByteArray("offset");
}

// Both loops in one pass, alone or with a helper thread, give every call
// and result of the loops one after the other; the rows' blocks lie near the
// edges, all inside the edge sine, or both.
void TestTemplateAnalysis::loopsTogether()
{
    QFETCH(qint64, count);
    QFETCH(QByteArray, marker);
    const std::vector<std::int32_t> words = recording(count, 31, 1e8, int(count / 5000) + 1);
    const std::vector<double> values = templateNamed(marker);
    const Recorder apart = runFast(words, values, Split::Whole);
    verifyIdentical(runFast(words, values, Split::Together, 3), apart);
    verifyIdentical(runFast(words, values, Split::Helper, 4), apart);
}

void TestTemplateAnalysis::concurrentAnalysesAgree()
{
    // Analyses in threads plan their transforms concurrently; each must give
    // what a lone run gives.
    const std::vector<std::int32_t> words = recording(20000, 27);
    const std::vector<double> marker = shapedTemplate(1006);
    const Recorder alone = runFast(words, marker, Split::Whole);
    std::vector<Recorder> results(4);
    std::vector<std::thread> threads;
    for (std::size_t i = 0; i < results.size(); ++i)
        threads.emplace_back(
            [&, i] { results[i] = runFast(words, marker, Split::Uneven, std::uint32_t(i)); });
    for (std::thread &t : threads)
        t.join();
    for (const Recorder &r : results)
        verifyIdentical(r, alone);
}

void TestTemplateAnalysis::surplusAndMissingWords()
{
    // Words beyond the file's count are ignored; words never pushed count as
    // zero words, as if the file held zeros there.
    const std::int64_t count = 9000;
    std::vector<std::int32_t> words = recording(count + 500, 28);
    const std::vector<double> marker = shapedTemplate(1006);
    Recorder surplus;
    {
        dsp::TemplateAnalysis analysis(marker, count, surplus, surplus);
        analysis.pushFirst(words.data() + 48, words.size() - 48);
        analysis.finishFirst();
        analysis.pushSecond(words.data() + 48, words.size() - 48);
        analysis.finishSecond();
    }
    words.resize(std::size_t(count));
    const Recorder exact = runFast(words, marker, Split::Whole);
    QVERIFY(surplus.frames == exact.frames);
    QVERIFY(surplus.cumulative == exact.cumulative);

    Recorder missing;
    {
        dsp::TemplateAnalysis analysis(marker, count, missing, missing);
        analysis.pushFirst(words.data() + 48, 6000);
        analysis.pushSecond(words.data() + 48, 6000); // ends the first loop
        analysis.finishSecond();
    }
    std::fill(words.begin() + 48 + 6000, words.end(), 0);
    const Recorder zeros = runFast(words, marker, Split::Whole);
    QVERIFY(missing.samples == zeros.samples);
    QVERIFY(missing.frames == zeros.frames);
    QVERIFY(missing.detector == zeros.detector);
    QVERIFY(missing.cumulative == zeros.cumulative);
}

void TestTemplateAnalysis::detectorBlockDetails_data()
{
    QTest::addColumn<QByteArray>("marker");
    QTest::addColumn<double>("eventGain");
    QTest::newRow("placed events") << QByteArray("exact") << 2e4;
    // Coefficients of 1e-300 and less: the largest must still be found
    // where the direct form finds it, and its value to its last digits.
    QTest::newRow("tiny template") << QByteArray("tiny") << 2e4;
    QTest::newRow("denormal template") << QByteArray("denormal") << 2e4;
    // Every word and r 0: ties throughout, the first step of each block wins.
    QTest::newRow("no template") << QByteArray("missing") << 0.0;
    // Every r NaN: the block's first step, NaN there.
    QTest::newRow("NaN template") << QByteArray("nan") << 2e4;
}

void TestTemplateAnalysis::detectorBlockDetails()
{
    QFETCH(QByteArray, marker);
    QFETCH(double, eventGain);
    const std::vector<double> values = templateNamed(marker);
    const std::vector<double> shape = shapedTemplate(1006);
    std::vector<std::int32_t> words = recording(12000, 31, 5e7, 0);
    for (std::int64_t end = 3000; end + 1 < 12000; end += 611) {
        for (int i = 0; i < 1006; ++i) {
            std::int32_t &w = words[std::size_t(end - 1005 + i)];
            w = dsp::toInt32(w + eventGain * double(1 + end % 7) * shape[std::size_t(i)]);
        }
    }
    const reference::AnalysisRecord lit = reference::literalAnalysis(words, values);
    const Recorder rec = runFast(words, values, Split::Uneven, 5);
    QCOMPARE(rec.blocks.size(), rec.detectorValues.size());
    QCOMPARE(rec.blocks.size(), std::size_t((12000 - 1) / 800 - 3));
    for (std::size_t c = 0; c < rec.blocks.size(); ++c) {
        const dsp::DetectorBlock &b = rec.blocks[c];
        QCOMPARE(b.column, int(c));
        QCOMPARE(b.maximum, rec.detectorValues[c].second);
        // The block's steps past 2640, first maximum of each kind.
        const std::int64_t end = 800 * (std::int64_t(c) + 4);
        std::int64_t maxStep = -1;
        std::int64_t peakStep = -1;
        for (std::int64_t s = std::max<std::int64_t>(2641, end - 799); s <= end; ++s) {
            const auto i = std::size_t(s - 48);
            if (maxStep < 0 || lit.detectorWords[i] > lit.detectorWords[std::size_t(maxStep - 48)])
                maxStep = s;
            const double r = std::fabs(lit.correlations[i]);
            const double best =
                peakStep < 0 ? 0.0 : std::fabs(lit.correlations[std::size_t(peakStep - 48)]);
            if (peakStep < 0 || r > best || (std::isnan(best) && !std::isnan(r)))
                peakStep = s;
        }
        QCOMPARE(b.maximumStep, maxStep);
        QCOMPARE(b.peakCorrelationStep, peakStep);
        const auto at = [](std::int64_t s) { return std::size_t(s - 48); };
        const auto close = [](double x, double y) {
            return (std::isnan(x) && std::isnan(y))
                   || std::fabs(x - std::fabs(y))
                          <= 1e-12 * (std::fabs(y) < 1e-100 ? std::fabs(y) : 1.0);
        };
        QVERIFY(close(b.correlationAtMaximum, lit.correlations[at(maxStep)]));
        QVERIFY(close(b.peakCorrelation, lit.correlations[at(peakStep)]));
        QVERIFY(withinOne(b.detectorAtPeakCorrelation, lit.detectorWords[at(peakStep)]));
        // The first block's maximum may be the zero of its unwritten slots.
        const std::int32_t word = lit.detectorWords[at(maxStep)];
        QVERIFY(withinOne(b.maximum, word) || (c == 0 && b.maximum == 0 && word < 0));
    }
    verifyIdentical(runFast(words, values, Split::Helper, 5), rec);
}

QTEST_APPLESS_MAIN(TestTemplateAnalysis)
#include "tst_templateanalysis.moc"
