#include "dsp/filtercascade.h"

#include "dsp/cascadekernels.h"
#include "dsp/fftwplanner.h"
#include "dsp/widevectors.h"
#include "reference/literalfilter.h"

#include <QtTest>

#include <algorithm>
#include <cmath>
#include <complex>
#include <cstdint>
#include <cstring>
#include <limits>
#include <map>
#include <mutex>
#include <random>
#include <thread>
#include <tuple>
#include <vector>

using Words = std::vector<std::int32_t>;

namespace {

constexpr double kRate = 16384.0;
constexpr double kTwoPi = 6.283185307179586;
constexpr std::int64_t kLeadIn = dsp::filter::kLeadInWords;

enum class Shape { Noise, Sine, Recording, Constant };
enum class Split { Whole, OneByOne, Uneven };

// A file of `length` words (lead-in included): seeded noise, a sine of
// `frequency` Hz, a recording-like mixture (offset, mains hum, tones in and
// out of band, noise and a burst), or a constant.
Words makeFile(Shape shape, int length, double amplitude, double frequency, unsigned seed)
{
    std::mt19937_64 rng(seed);
    std::uniform_real_distribution<double> noise(-1.0, 1.0);
    Words words(static_cast<std::size_t>(length));
    for (int i = 0; i < length; ++i) {
        const double t = i / kRate;
        double v = 0.0;
        switch (shape) {
        case Shape::Noise:
            v = amplitude * noise(rng);
            break;
        case Shape::Sine:
            v = amplitude * std::sin(kTwoPi * frequency * t);
            break;
        case Shape::Recording:
            v = amplitude
                * (0.3 + 0.2 * std::sin(kTwoPi * 50.0 * t)
                   + 0.25 * std::sin(kTwoPi * 117.0 * t + 0.4)
                   + 0.1 * std::sin(kTwoPi * 190.0 * t + 1.1) + 0.1 * std::sin(kTwoPi * 2000.0 * t)
                   + 0.15 * noise(rng));
            if (i % 20000 < 700)
                v += amplitude * 0.4 * noise(rng);
            break;
        case Shape::Constant:
            v = amplitude;
            break;
        }
        words[static_cast<std::size_t>(i)] = static_cast<std::int32_t>(std::lround(v));
    }
    return words;
}

// Runs the fast cascade over the sample words of `file` (index 48 on),
// pushed as `split` says and pulled after every push in seeded portions.
// Also checks that no more words wait than one push and one block (and the
// blocks a helper has under way). With `helper`, a second thread filters
// blocks too; `wide` false takes the narrow forms.
Words runCascade(const Words &file, Split split, unsigned seed = 7, bool helper = false,
                 bool wide = true)
{
    Words out;
    if (file.size() <= static_cast<std::size_t>(kLeadIn))
        return out;
    const std::size_t count = file.size() - kLeadIn;
    const std::int32_t *samples = file.data() + kLeadIn;
    std::mt19937 rng(seed);
    std::uniform_int_distribution<std::size_t> chunk(0, 40000);

    dsp::FilterCascade cascade(wide);
    cascade.setHelperThread(helper);
    Words portion(50000);
    const auto drain = [&](std::size_t pushed) {
        // With a helper, up to four blocks under way come out later.
        const std::size_t pending = cascade.available();
        QVERIFY2(pending <= pushed + (helper ? 5 : 1) * dsp::FilterCascade::blockWords(),
                 "words pile up");
        while (std::size_t n = cascade.pull(portion.data(), 1 + rng() % portion.size()))
            out.insert(out.end(), portion.begin(),
                       portion.begin() + static_cast<std::ptrdiff_t>(n));
    };
    for (std::size_t at = 0; at < count;) {
        std::size_t n = count - at;
        if (split == Split::OneByOne)
            n = 1;
        else if (split == Split::Uneven)
            n = std::min(n, chunk(rng));
        cascade.push(samples + at, n);
        at += n;
        drain(n);
    }
    cascade.finish();
    drain(0);
    return out;
}

} // namespace

Q_DECLARE_METATYPE(Shape)
Q_DECLARE_METATYPE(Words)

class TestFilterCascade : public QObject
{
    Q_OBJECT

private slots:
    void matchesLiteral_data();
    void matchesLiteral();
    void startUp_data();
    void startUp();
    void toneResponse_data();
    void toneResponse();
    void outputWord_data();
    void outputWord();
    void response_data();
    void response();
    void combinedKernelExact();
    void wordLevel_data();
    void wordLevel();
    void literalLeadIn_data();
    void literalLeadIn();
    void streamEnds();
    void parallelObjects();
    void helperJoinsLater();
    void transformsWatched_data();
    void transformsWatched();
};

void TestFilterCascade::matchesLiteral_data()
{
    QTest::addColumn<Shape>("shape");
    QTest::addColumn<int>("length");
    QTest::addColumn<double>("amplitude");
    QTest::addColumn<double>("frequency");

    const int block =
        static_cast<int>(dsp::FilterCascade::firstBlockIndex() + dsp::FilterCascade::blockWords());
    QTest::newRow("shorter than the lead-in") << Shape::Noise << 30 << 1e5 << 0.0;
    QTest::newRow("one sample") << Shape::Noise << 49 << 1e5 << 0.0;
    QTest::newRow("noise 529") << Shape::Noise << 529 << 1e5 << 0.0;
    QTest::newRow("noise 3000") << Shape::Noise << 3000 << 1e6 << 0.0;
    QTest::newRow("noise 3100") << Shape::Noise << 3100 << 1e5 << 0.0;
    QTest::newRow("noise to first block") << Shape::Noise << 4096 << 1e5 << 0.0;
    QTest::newRow("noise 5000") << Shape::Noise << 5000 << 1e3 << 0.0;
    QTest::newRow("noise one block") << Shape::Noise << block << 1e5 << 0.0;
    QTest::newRow("noise one block and one") << Shape::Noise << block + 1 << 1e5 << 0.0;
    QTest::newRow("sine 150 Hz 100000") << Shape::Sine << 100003 << 1e5 << 150.0;
    QTest::newRow("sine 97 Hz 1e6") << Shape::Sine << 60000 << 1e6 << 97.0;
    QTest::newRow("sine 150 Hz clamped") << Shape::Sine << 40000 << 1e7 << 150.0;
    QTest::newRow("recording 1e6") << Shape::Recording << 300000 << 1e6 << 0.0;
    QTest::newRow("noise 1e6") << Shape::Noise << 250000 << 1e6 << 0.0;
}

// Every word equals the word-by-word pass's (±1 on at most one word in
// 100,000), the start-up is bit for bit the same, and the way the input is
// split into pushes, or a second thread, changes nothing.
void TestFilterCascade::matchesLiteral()
{
    QFETCH(Shape, shape);
    QFETCH(int, length);
    QFETCH(double, amplitude);
    QFETCH(double, frequency);

    const Words file = makeFile(shape, length, amplitude, frequency, 1234u + length);
    const Words literal = reference::literalFilter(file);
    const Words whole = runCascade(file, Split::Whole);
    QCOMPARE(whole.size(), literal.size() - kLeadIn);
    QCOMPARE(runCascade(file, Split::Uneven, 11), whole);
    QCOMPARE(runCascade(file, Split::Uneven, 12), whole);
    QCOMPARE(runCascade(file, Split::Uneven, 13, true), whole);
    QCOMPARE(runCascade(file, Split::Whole, 7, true), whole);
    if (length <= 120000)
        QCOMPARE(runCascade(file, Split::OneByOne), whole);

    std::size_t differing = 0;
    for (std::size_t i = 0; i < whole.size(); ++i) {
        const std::int64_t n = kLeadIn + static_cast<std::int64_t>(i);
        const std::int64_t expected = literal[static_cast<std::size_t>(n)];
        const std::int64_t got = whole[i];
        if (got == expected)
            continue;
        if (n < dsp::FilterCascade::firstBlockIndex() || std::llabs(got - expected) > 1)
            QFAIL(qPrintable(
                QStringLiteral("word %1: %2, expected %3").arg(n).arg(got).arg(expected)));
        ++differing;
    }
    QVERIFY2(differing * 100000 <= whole.size(), qPrintable(QString::number(differing)));
    if (!dsp::wideVectorsSupported())
        QSKIP("no wide form on this processor: the narrow one ran throughout");
    QCOMPARE(runCascade(file, Split::Whole, 7, false, false), whole);
}

void TestFilterCascade::startUp_data()
{
    QTest::addColumn<Shape>("shape");
    QTest::addColumn<double>("amplitude");
    QTest::addColumn<int>("zeroUntil");
    QTest::addColumn<int>("zeroFrom");

    // Nothing reaches the output up to index 528, whatever the input.
    QTest::newRow("full-scale noise") << Shape::Noise << 2147483647.0 << 528 << -1;
    // A constant cancels in every high-pass stage from index 3079 on.
    QTest::newRow("constant 1e6") << Shape::Constant << 1e6 << 528 << 3079;
    QTest::newRow("constant largest") << Shape::Constant << 2147483647.0 << 528 << 3079;
    QTest::newRow("constant smallest") << Shape::Constant << -2147483648.0 << 528 << 3079;
}

void TestFilterCascade::startUp()
{
    QFETCH(Shape, shape);
    QFETCH(double, amplitude);
    QFETCH(int, zeroUntil);
    QFETCH(int, zeroFrom);

    const Words out = runCascade(makeFile(shape, 40000, amplitude, 0.0, 5), Split::Uneven);
    for (std::size_t i = 0; i < out.size(); ++i) {
        const std::int64_t n = kLeadIn + static_cast<std::int64_t>(i);
        if (n <= zeroUntil || (zeroFrom >= 0 && n >= zeroFrom))
            QCOMPARE(out[i], 0);
    }
    QVERIFY(std::any_of(out.begin() + (zeroUntil + 1 - kLeadIn), out.end(),
                        [](std::int32_t w) { return w != 0; }));
}

void TestFilterCascade::toneResponse_data()
{
    QTest::addColumn<double>("frequency");
    QTest::addColumn<double>("amplitude");
    QTest::addColumn<double>("peakLow");
    QTest::addColumn<double>("peakHigh");
    QTest::addColumn<bool>("clamped");

    QTest::newRow("150 Hz in band") << 150.0 << 1e5 << 2.04e8 << 2.08e8 << false;
    QTest::newRow("105 Hz largest gain") << 105.0 << 1e5 << 2.53e8 << 2.56e8 << false;
    QTest::newRow("1000 Hz stopped") << 1000.0 << 1e5 << 0.0 << 200.0 << false;
    QTest::newRow("15 Hz stopped") << 15.0 << 1e5 << 0.0 << 1000.0 << false;
    QTest::newRow("150 Hz beyond the limit") << 150.0 << 1e7 << 1.9e9 << 2e9 << true;
}

// Gain, inversion and the group delay of the cascade on a pure tone,
// the words beyond 2e9 written as 0, and the damping that ends after 2999.
void TestFilterCascade::toneResponse()
{
    QFETCH(double, frequency);
    QFETCH(double, amplitude);
    QFETCH(double, peakLow);
    QFETCH(double, peakHigh);
    QFETCH(bool, clamped);

    const Words file = makeFile(Shape::Sine, 60000, amplitude, frequency, 0);
    const Words out = runCascade(file, Split::Uneven);
    const std::int64_t delay = dsp::FilterCascade::groupDelay();
    double peak = 0.0, cross = 0.0, own = 0.0, in = 0.0;
    int zeros = 0;
    for (std::size_t i = 6000 - kLeadIn; i < out.size(); ++i) {
        const double w = out[i];
        const double x = file[kLeadIn + i - delay];
        peak = std::max(peak, std::fabs(w));
        zeros += out[i] == 0 && std::fabs(x) > 0.99 * amplitude;
        cross += w * x;
        own += w * w;
        in += x * x;
    }
    QVERIFY2(peak >= peakLow && peak <= peakHigh, qPrintable(QString::number(peak)));
    if (clamped) {
        QVERIFY(zeros > 100);
    } else if (peakLow > 0.0) {
        QVERIFY2(cross / std::sqrt(own * in) < -0.99999,
                 "not inverted and groupDelay() words late");
        const auto largest = [&](std::int64_t from) {
            const auto first = out.begin() + (from - kLeadIn);
            const auto range = std::minmax_element(first, first + 100);
            return std::max(std::llabs(*range.first), std::llabs(*range.second));
        };
        QVERIFY(largest(2900) <= peakHigh / 100000 + 1);
        QVERIFY(largest(3000) >= 0.99 * peakLow);
    }
}

void TestFilterCascade::outputWord_data()
{
    QTest::addColumn<double>("y");
    QTest::addColumn<qint64>("n");
    QTest::addColumn<int>("expected");

    const double nan = std::numeric_limits<double>::quiet_NaN();
    const double inf = std::numeric_limits<double>::infinity();
    QTest::newRow("damped at 2999") << 123456.0 << qint64(2999) << 2469;
    QTest::newRow("full gain at 3000") << 123456.0 << qint64(3000) << 246912000;
    QTest::newRow("truncated toward zero") << -1.0007 << qint64(5000) << -2001;
    QTest::newRow("exactly the limit") << 1e6 << qint64(5000) << 2000000000;
    QTest::newRow("just beyond the limit") << 1000000.001 << qint64(5000) << 0;
    QTest::newRow("negative beyond the limit") << -1000000.001 << qint64(5000) << 0;
    QTest::newRow("beyond 32 bits") << 1e9 << qint64(5000) << 0;
    QTest::newRow("damped beyond the limit") << 1e11 + 1e5 << qint64(100) << 0;
    QTest::newRow("nan") << nan << qint64(5000) << 0;
    QTest::newRow("infinity") << -inf << qint64(5000) << 0;
}

void TestFilterCascade::outputWord()
{
    QFETCH(double, y);
    QFETCH(qint64, n);
    QFETCH(int, expected);
    QCOMPARE(dsp::filter::outputWord(y, n), expected);
}

void TestFilterCascade::response_data()
{
    QTest::addColumn<double>("hz");
    QTest::addColumn<double>("lowDb");
    QTest::addColumn<double>("highDb");
    QTest::newRow("stop, 30 Hz") << 30.0 << -400.0 << -60.0;
    QTest::newRow("stop, 50 Hz") << 50.0 << -400.0 << -60.0;
    QTest::newRow("lower edge, 80 Hz") << 80.0 << -6.5 << -5.5;
    QTest::newRow("peak, 105 Hz") << 105.0 << 1.9 << 2.3;
    QTest::newRow("pass, 150 Hz") << 150.0 << -0.5 << 0.5;
    QTest::newRow("upper edge, 240 Hz") << 240.0 << -6.5 << -5.5;
    QTest::newRow("stop, 420 Hz") << 420.0 << -400.0 << -60.0;
    QTest::newRow("stop, 2000 Hz") << 2000.0 << -400.0 << -60.0;
}

// The band the combined kernel passes, before the gain, at 16384 Hz.
void TestFilterCascade::response()
{
    QFETCH(double, hz);
    QFETCH(double, lowDb);
    QFETCH(double, highDb);
    const std::vector<double> kernel = dsp::FilterCascade::combinedKernel();
    std::complex<double> sum = 0.0;
    for (std::size_t n = 0; n < kernel.size(); ++n)
        sum += kernel[n] * std::polar(1.0, -2 * M_PI * hz * double(n) / 16384.0);
    const double db = 20 * std::log10(std::abs(sum) + 1e-300);
    QVERIFY2(db >= lowDb && db <= highDb, qPrintable(QString::number(db)));
}

// The combined kernel: the stages convolved in extended precision, each tap
// summed alone in order of the first factor's index, zeros skipped, and
// rounded once. The kernel summed several taps side by side must be that,
// bit for bit, or every filtered word may move.
void TestFilterCascade::combinedKernelExact()
{
    using Taps = std::vector<long double>;
    const auto convolve = [](const Taps &a, const Taps &b) {
        Taps c(a.size() + b.size() - 1, 0.0L);
        for (std::size_t k = 0; k < c.size(); ++k)
            for (std::size_t i = k + 1 >= b.size() ? k + 1 - b.size() : 0;
                 i <= std::min(k, a.size() - 1); ++i)
                if (a[i] != 0.0L)
                    c[k] += a[i] * b[k - i];
        return c;
    };
    const dsp::cascade::Kernels &k = dsp::cascade::kernels();
    Taps high(k.longKernel.begin(), k.longKernel.end());
    high[dsp::cascade::kHighPassDelay] -= 1.0L;
    const Taps low(k.shortKernel.begin(), k.shortKernel.end());
    Taps total{1.0L};
    for (int i = 0; i < dsp::cascade::kHighPassStages; ++i)
        total = convolve(total, high);
    for (int i = 0; i < dsp::cascade::kLowPassStages; ++i)
        total = convolve(total, low);
    const std::vector<double> expected(total.begin(), total.end());
    QCOMPARE(k.combined.size(), expected.size());
    QVERIFY(std::memcmp(k.combined.data(), expected.data(), expected.size() * sizeof(double)) == 0);
}

void TestFilterCascade::wordLevel_data()
{
    QTest::addColumn<Words>("words");
    QTest::addColumn<qint64>("peak");
    QTest::addColumn<qint64>("atLeast");

    constexpr std::int32_t kMin = std::numeric_limits<std::int32_t>::min();
    constexpr std::int32_t kMax = std::numeric_limits<std::int32_t>::max();
    QTest::newRow("none") << Words{} << qint64(0) << qint64(0);
    QTest::newRow("silence") << Words(37, 0) << qint64(0) << qint64(0);
    QTest::newRow("below, either sign") << Words{999, -999, 5} << qint64(999) << qint64(0);
    QTest::newRow("at the level, either sign") << Words{1000, -1000, 3} << qint64(1000) << qint64(2);
    // The most negative word's magnitude is one beyond the int range.
    Words extremes(41, 7);
    extremes[3] = kMin;
    extremes[40] = kMax;
    QTest::newRow("both ends of the range") << extremes << qint64(2147483648) << qint64(2);
}

// The largest magnitude and the words near full scale, as the level warning
// counts them, past every vector lane and its remainder.
void TestFilterCascade::wordLevel()
{
    QFETCH(Words, words);
    QFETCH(qint64, peak);
    QFETCH(qint64, atLeast);
    const dsp::filter::WordLevel level = dsp::filter::wordLevel(words.data(), words.size(), 1000);
    QCOMPARE(qint64(level.peak), peak);
    QCOMPARE(qint64(level.atLeast), atLeast);
}

void TestFilterCascade::literalLeadIn_data()
{
    QTest::addColumn<Words>("file");
    QTest::addColumn<Words>("leadIn");

    Words counting(60);
    for (std::size_t i = 0; i < counting.size(); ++i)
        counting[i] = static_cast<std::int32_t>(i * 1000003);
    QTest::newRow("empty") << Words{} << Words(48, 0);
    QTest::newRow("three words") << Words{5, -7, 9} << [] {
        Words w(48, 9);
        w[0] = 5;
        w[1] = -7;
        return w;
    }();
    QTest::newRow("long file") << counting << Words(counting.begin(), counting.begin() + 48);
}

// The lead-in is copied; a file shorter than it repeats its last word.
void TestFilterCascade::literalLeadIn()
{
    QFETCH(Words, file);
    QFETCH(Words, leadIn);
    const Words out = reference::literalFilter(file);
    QCOMPARE(out.size(), std::max<std::size_t>(48, file.size()));
    QCOMPARE(Words(out.begin(), out.begin() + 48), leadIn);
}

void TestFilterCascade::streamEnds()
{
    dsp::FilterCascade empty;
    empty.push(nullptr, 0);
    empty.finish();
    empty.finish();
    std::int32_t word = 1;
    QCOMPARE(empty.available(), std::size_t(0));
    QCOMPARE(empty.pull(&word, 1), std::size_t(0));

    // Words pushed after the end are ignored.
    const Words file = makeFile(Shape::Noise, 5000, 1e5, 0.0, 3);
    dsp::FilterCascade cascade;
    cascade.push(file.data() + kLeadIn, file.size() - kLeadIn);
    cascade.finish();
    cascade.push(file.data(), 100);
    cascade.finish();
    QCOMPARE(cascade.available(), file.size() - kLeadIn);
    QCOMPARE(cascade.pull(&word, 0), std::size_t(0));
}

// Separate objects in separate threads (plans made and dropped while other
// objects filter) give the same words as one object alone.
void TestFilterCascade::parallelObjects()
{
    const Words file = makeFile(Shape::Recording, 60000, 1e5, 0.0, 9);
    const Words alone = runCascade(file, Split::Whole);
    std::vector<Words> results(4);
    std::vector<std::thread> threads;
    for (std::size_t t = 0; t < results.size(); ++t) {
        threads.emplace_back([&file, &results, t] {
            for (int round = 0; round < 3; ++round) {
                dsp::FilterCascade cascade;
                Words out(file.size() - kLeadIn);
                std::size_t got = 0;
                for (std::size_t at = kLeadIn; at < file.size(); at += 5000 + t) {
                    cascade.push(file.data() + at,
                                 std::min<std::size_t>(5000 + t, file.size() - at));
                    got += cascade.pull(out.data() + got, out.size() - got);
                }
                cascade.finish();
                got += cascade.pull(out.data() + got, out.size() - got);
                out.resize(got);
                results[t] = out;
            }
        });
    }
    for (auto &thread : threads)
        thread.join();
    for (const Words &out : results)
        QCOMPARE(out, alone);
}

// A helper asked for once blocks have run takes over the next block's
// history from the last one: the words stay the same.
void TestFilterCascade::helperJoinsLater()
{
    const Words file = makeFile(Shape::Recording, 120000, 1e5, 0.0, 5);
    const Words alone = runCascade(file, Split::Whole);
    dsp::FilterCascade cascade;
    const std::size_t half = 60000;
    cascade.push(file.data() + kLeadIn, half);
    cascade.setHelperThread(true);
    cascade.push(file.data() + kLeadIn + half, file.size() - kLeadIn - half);
    cascade.finish();
    Words out(cascade.available());
    QCOMPARE(cascade.pull(out.data(), out.size()), alone.size());
    QCOMPARE(out, alone);
}

namespace {

/// The transforms executed while it watches, by thread, length and direction.
struct Tally final : dsp::TransformWatch
{
    Tally() { dsp::watchTransforms(this); }
    ~Tally() { dsp::watchTransforms(nullptr); }
    void executed(int size, bool forward) override
    {
        const std::lock_guard<std::mutex> lock(mutex);
        ++counts[{std::this_thread::get_id() == owner, size, forward}];
    }
    int count(bool onOwner, int size, bool forward) { return counts[{onOwner, size, forward}]; }
    std::mutex mutex;
    const std::thread::id owner = std::this_thread::get_id();
    std::map<std::tuple<bool, int, bool>, int> counts;
};

} // namespace

void TestFilterCascade::transformsWatched_data()
{
    QTest::addColumn<int>("length");
    QTest::addColumn<bool>("helper");
    QTest::addColumn<int>("blocks");

    const int first = static_cast<int>(dsp::FilterCascade::firstBlockIndex());
    const int block = static_cast<int>(dsp::FilterCascade::blockWords());
    QTest::newRow("start-up only") << first << false << 0;
    QTest::newRow("one word past it") << first + 1 << false << 1;
    QTest::newRow("one block") << first + block << false << 1;
    QTest::newRow("ten blocks and one word") << first + 10 * block + 1 << false << 11;
    QTest::newRow("with a helper") << first + 10 * block + 1 << true << 11;
}

// Each block is one forward and one backward transform of the blocks'
// length; without a helper all on the pushing thread. Once the watch is
// gone nothing more is counted.
void TestFilterCascade::transformsWatched()
{
    QFETCH(int, length);
    QFETCH(bool, helper);
    QFETCH(int, blocks);
    const Words file = makeFile(Shape::Noise, length, 1e5, 0.0, 2);
    int forward = 0, backward = 0, elsewhere = 0;
    {
        Tally tally;
        const Words out = runCascade(file, Split::Uneven, 3, helper);
        QCOMPARE(out.size(), file.size() - kLeadIn);
        const int size = 16384;
        forward = tally.count(true, size, true) + tally.count(false, size, true);
        backward = tally.count(true, size, false) + tally.count(false, size, false);
        elsewhere = tally.count(false, size, true) + tally.count(false, size, false);
        // The object runCascade() made computed its kernel's spectrum.
        QCOMPARE(forward, blocks + 1);
        QCOMPARE(backward, blocks);
        if (!helper)
            QCOMPARE(elsewhere, 0);
    }
    Tally after;
    dsp::watchTransforms(nullptr);
    runCascade(file, Split::Whole);
    QVERIFY(after.counts.empty());
}

QTEST_APPLESS_MAIN(TestFilterCascade)
#include "tst_filtercascade.moc"
