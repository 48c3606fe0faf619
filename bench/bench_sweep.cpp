// Awkward inputs against noise of the same length: a grid of clicks over
// quiet noise and over digital silence, bursts, square waves, saturated
// stretches, a DC offset, and templates of every odd kind. Each cell is
// timed twice, as CPU seconds (every thread of the process), best of
// three: the whole `--draw` job on a recording (filter and analysis, files
// read and written) and the analysis alone on a processed file. The
// figure is the cell's time over noise's; the worst cell of each kind is
// printed last. Then a case off the grid's points, 10 minutes of faint
// noise with a few hundred loud clicks, against 10 minutes of noise, as
// CPU and as wall time (so that a value tuned to the grid shows).
//
//   bench_sweep [seconds-per-cell [filter]]   default 120; `filter` keeps
//                                             the cells whose name holds it
//                                             ("held-out": that case alone)
//
// Click amplitudes are the words of the recording for the whole job and
// the words of the processed file for the analysis alone (which scales
// them by 1 / 20000): the same ranges, meant at the two places a user's
// data may have them. Click places are drawn at random, never evenly.

#include "common.h"
#include "drawstep.h"

#include "batch/batchjob.h"
#include "batch/demorecording.h"
#include "common/testfiles.h"
#include "wav/format/header.h"

#include <QCoreApplication>
#include <QLoggingCategory>
#include <QTemporaryDir>
#include <QtEndian>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include <fcntl.h>
#include <unistd.h>

namespace {

constexpr std::int64_t kRate = 16384;
constexpr std::int32_t kFullScale = std::numeric_limits<std::int32_t>::max();

/// CPU and wall seconds, each the best of its runs.
struct Times
{
    double cpu = 1e300;
    double wall = 1e300;
};

template <typename Run>
Times bestOf(int runs, Run &&run)
{
    Times best;
    for (int i = 0; i < runs; ++i) {
        const double start = bench::processSeconds();
        const double wall = bench::timed(run);
        best.cpu = std::min(best.cpu, bench::processSeconds() - start);
        best.wall = std::min(best.wall, wall);
    }
    return best;
}

std::int32_t clampWord(double v)
{
    return std::int32_t(std::clamp(v, -2147483648.0, 2147483647.0));
}

/// Uniform integer noise of magnitude up to `amplitude` (none at 0).
std::vector<std::int32_t> noiseWords(std::int64_t count, double amplitude, unsigned seed)
{
    std::vector<std::int32_t> w(static_cast<std::size_t>(count), 0);
    if (amplitude <= 0)
        return w;
    std::mt19937 rng(seed);
    std::uniform_real_distribution<double> u(-amplitude, amplitude);
    for (auto &v : w)
        v = clampWord(std::trunc(u(rng)));
    return w;
}

/// Gaussian noise of `rms`.
std::vector<std::int32_t> gaussianWords(std::int64_t count, double rms, unsigned seed)
{
    std::vector<std::int32_t> w(static_cast<std::size_t>(count));
    std::mt19937 rng(seed);
    std::normal_distribution<double> n(0.0, rms);
    for (auto &v : w)
        v = clampWord(n(rng));
    return w;
}

/// `clicks` single-word clicks of `amplitude`, of either sign, at random places.
void addClicks(std::vector<std::int32_t> &w, std::int64_t clicks, double amplitude, unsigned seed)
{
    std::mt19937 rng(seed);
    std::uniform_int_distribution<std::size_t> at(0, w.size() - 1);
    for (std::int64_t i = 0; i < clicks; ++i)
        w[at(rng)] = clampWord((i % 2 ? -1.0 : 1.0) * amplitude);
}

/// A processed file: the 192-byte lead-in, then the words.
QByteArray processedBytes(const std::vector<std::int32_t> &words)
{
    QByteArray head = wavformat::canonicalHeader(1, 16384, qint64(words.size()) * 4 + 148);
    head.append(QByteArray(192 - head.size(), '\0'));
    return head + testfiles::wordBytes(words);
}

enum class Mode { Whole, Analysis };

/// Noise of each mode: a recording of broadband noise whose processed
/// words stay well inside their range, and processed noise of 2e7 rms.
std::vector<std::int32_t> modeNoise(Mode mode, std::int64_t count, unsigned seed)
{
    return gaussianWords(count, mode == Mode::Whole ? 5e5 : 2e7, seed);
}

struct Cell
{
    std::string name;
    std::function<std::vector<std::int32_t>(Mode)> words;
    std::string marker = "demo";
};

struct Figure
{
    std::string name;
    double seconds = 0;
    double ratio = 0;
};

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QLoggingCategory::setFilterRules(QStringLiteral("quorvane.pass.clock.debug=false"));
    const std::int64_t seconds = argc > 1 ? std::max(10, std::atoi(argv[1])) : 120;
    const std::string filter = argc > 2 ? argv[2] : "";
    const std::int64_t count = seconds * kRate;

    QTemporaryDir dir;
    if (!dir.isValid())
        return 1;
    const DemoRecording demo = makeDemoRecording(60);
    // The templates, by name.
    std::vector<std::pair<std::string, std::vector<double>>> markers;
    markers.emplace_back("demo", demo.marker);
    markers.emplace_back("constant", std::vector<double>(1006, 3000.0));
    std::vector<double> impulse(1006, 0.0);
    impulse[517] = 20000.0;
    markers.emplace_back("impulse", impulse);
    const auto scaled = [&](double factor) {
        std::vector<double> v = demo.marker;
        for (double &x : v)
            x *= factor;
        return v;
    };
    markers.emplace_back("huge 1e150", scaled(1e150));
    markers.emplace_back("tiny 1e-150", scaled(1e-150));
    markers.emplace_back("denormal", scaled(1e-315));
    std::vector<double> nan = demo.marker;
    nan[300] = std::nan("");
    markers.emplace_back("NaN", nan);
    std::vector<double> inf = demo.marker;
    inf[700] = std::numeric_limits<double>::infinity();
    markers.emplace_back("infinity", inf);
    std::vector<double> square(1006);
    for (std::size_t i = 0; i < square.size(); ++i)
        square[i] = (i / 40) % 2 ? 20000.0 : -20000.0;
    markers.emplace_back("square", square);
    for (const auto &m : markers)
        testfiles::writeFile(dir.filePath(QString::fromStdString(m.first) + ".dat"),
                             testfiles::markerBytes(m.second));

    std::vector<Cell> cells;
    const auto per10 = [&](double n) {
        return std::max<std::int64_t>(1, std::llround(n * double(seconds) / 600.0));
    };
    const double amplitudes[] = {1e6, 1e7, 1e8, 1e9, 2147483647.0};
    const double densities[] = {1, 10, 100, 1000, 10000};
    const double quiet[] = {0, 1e3, 3e4, 1e5};
    unsigned seed = 11;
    for (const double q : quiet)
        for (const double a : amplitudes)
            for (const double d : densities) {
                char name[96];
                std::snprintf(name, sizeof name, "clicks %.0e x%-5.0f/10min over %s", a, d,
                              q == 0 ? "silence" : (std::to_string(int(q)) + " noise").c_str());
                const unsigned s = seed++;
                cells.push_back({name, [=](Mode) {
                                     std::vector<std::int32_t> w = noiseWords(count, q, s);
                                     addClicks(w, per10(d), a, s + 1000);
                                     return w;
                                 }});
            }
    cells.push_back({"one loud burst (0.5 s, full scale) in silence", [=](Mode) {
                         std::vector<std::int32_t> w(static_cast<std::size_t>(count), 0);
                         const std::vector<std::int32_t> b = noiseWords(kRate / 2, 2.1e9, 5);
                         std::copy(b.begin(), b.end(), w.begin() + std::ptrdiff_t(count / 2));
                         return w;
                     }});
    for (const int period : {2, 50, 1006, 16384}) {
        cells.push_back({"full-scale square wave, period " + std::to_string(period), [=](Mode) {
                             std::vector<std::int32_t> w(static_cast<std::size_t>(count));
                             for (std::int64_t i = 0; i < count; ++i)
                                 w[std::size_t(i)] = (i / (period / 2)) % 2 ? -kFullScale : kFullScale;
                             return w;
                         }});
    }
    cells.push_back({"saturated stretches (0.3 s each second) in noise 1e5", [=](Mode) {
                         std::vector<std::int32_t> w = noiseWords(count, 1e5, 6);
                         for (std::int64_t i = 0; i < count; ++i)
                             if (i % kRate < kRate * 3 / 10)
                                 w[std::size_t(i)] = (i / kRate) % 2 ? -kFullScale : kFullScale;
                         return w;
                     }});
    cells.push_back({"DC offset near full scale, noise 1e5", [=](Mode) {
                         std::vector<std::int32_t> w = noiseWords(count, 1e5, 7);
                         for (auto &v : w)
                             v = clampWord(2.1e9 + v);
                         return w;
                     }});
    cells.push_back({"DC offset near full scale, no noise", [=](Mode) {
                         return std::vector<std::int32_t>(std::size_t(count), 2100000000);
                     }});
    for (const auto &m : markers)
        if (m.first != "demo")
            cells.push_back({"template " + m.first + " over noise",
                             [=](Mode mode) { return modeNoise(mode, count, 8); }, m.first});

    const QString recording = dir.filePath(QStringLiteral("recording.wav"));
    const QString processed = dir.filePath(QStringLiteral("processed.wav"));
    const QString stereo = dir.filePath(QStringLiteral("stereo.wav"));
    const auto markerPath = [&](const std::string &name) {
        return dir.filePath(QString::fromStdString(name) + ".dat");
    };
    const auto timeCell = [&](Mode mode, const std::vector<std::int32_t> &w,
                              const std::string &marker) {
        if (mode == Mode::Whole) {
            testfiles::writeFile(recording, testfiles::recording(w));
            BatchOptions options;
            options.draw = true;
            options.marker = markerPath(marker);
            return bestOf(3, [&] {
                // The job's warnings (input level) are not the figure.
                const int saved = dup(STDERR_FILENO);
                const int quiet = open("/dev/null", O_WRONLY);
                dup2(quiet, STDERR_FILENO);
                BatchResult result = runBatchJob(recording, options);
                dup2(saved, STDERR_FILENO);
                close(quiet);
                close(saved);
                if (!result.error.isEmpty()) {
                    std::fprintf(stderr, "job failed: %s\n", qPrintable(result.error));
                    std::exit(1);
                }
            });
        }
        testfiles::writeFile(processed, processedBytes(w));
        bench::NullListener none;
        return bestOf(3, [&] { bench::drawOrExit(processed, markerPath(marker), stereo, none); });
    };

    // Off the grid: amplitude, density and noise between its points.
    if (filter == "held-out") {
        const std::int64_t long10 = 600 * kRate;
        std::vector<std::int32_t> held = noiseWords(long10, 40, 97);
        addClicks(held, 370, 3.7e7, 98);
        std::printf("held out: 10 minutes of noise 40 with 370 clicks of 3.7e7, best of 3, "
                    "as a multiple of noise's\n");
        for (const Mode mode : {Mode::Whole, Mode::Analysis}) {
            const Times base = timeCell(mode, modeNoise(mode, long10, 3), "demo");
            const Times t = timeCell(mode, held, "demo");
            std::printf("%-14s CPU %6.3f s %5.2fx   wall %6.3f s %5.2fx\n",
                        mode == Mode::Whole ? "whole --draw" : "analysis alone", t.cpu,
                        t.cpu / base.cpu, t.wall, t.wall / base.wall);
        }
        return 0;
    }

    std::printf("%lld s per cell, CPU seconds best of 3, as a multiple of noise's\n",
                static_cast<long long>(seconds));
    Figure worst[2];
    double noise[2];
    noise[0] = timeCell(Mode::Whole, modeNoise(Mode::Whole, count, 3), "demo").cpu;
    noise[1] = timeCell(Mode::Analysis, modeNoise(Mode::Analysis, count, 3), "demo").cpu;
    std::printf("%-56s %8.3f s  %8.3f s\n", "noise", noise[0], noise[1]);
    std::printf("%-56s %10s  %10s\n", "", "whole", "analysis");
    std::fflush(stdout);
    for (const Cell &cell : cells) {
        if (cell.name.find(filter) == std::string::npos)
            continue;
        double ratio[2];
        for (int m = 0; m < 2; ++m) {
            const Mode mode = m == 0 ? Mode::Whole : Mode::Analysis;
            const double s = timeCell(mode, cell.words(mode), cell.marker).cpu;
            ratio[m] = s / noise[m];
            if (ratio[m] > worst[m].ratio)
                worst[m] = {cell.name, s, ratio[m]};
        }
        std::printf("%-56s %9.2fx  %9.2fx\n", cell.name.c_str(), ratio[0], ratio[1]);
        std::fflush(stdout);
    }
    std::printf("\nworst, whole --draw:   %.2fx noise (%.3f s): %s\n", worst[0].ratio,
                worst[0].seconds, worst[0].name.c_str());
    std::printf("worst, analysis alone: %.2fx noise (%.3f s): %s\n", worst[1].ratio,
                worst[1].seconds, worst[1].name.c_str());
    return 0;
}
