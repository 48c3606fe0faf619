// Batch benchmark: one quorvane-batch job with --draw (the processing pass
// and the analysis, each reading and writing its WAV file) against the
// literal reference of both passes (in memory, no files), against
// bench/scipy_form.py (both passes the numpy/scipy way, files read and
// written; needs Debian's python3-numpy and python3-scipy) and against its
// own FFT floor: the transforms the job executes (counted in one more run,
// by length, direction and thread) timed alone, with the same plans, on as
// many threads at once. On the generated demo recording (3 minutes unless
// told), in one run.
//
//   bench_batch [literal-seconds [recording-seconds]]
//
// By default the literal passes run over the whole recording (about half a
// minute). With literal-seconds they run over that many leading seconds
// only; their time is then scaled linearly to the whole recording (both cost
// the same per word), and the words are compared over that stretch.

#include "common.h"
#include "transformfloor.h"

#include "batch/batchjob.h"
#include "batch/demorecording.h"
#include "common/signals.h"
#include "common/testfiles.h"
#include "reference/literalanalysis.h"
#include "reference/literalfilter.h"

#include <QCoreApplication>
#include <QDir>
#include <QLoggingCategory>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <vector>

namespace {

int recordingSeconds = 180; // the demo recording's length
constexpr std::size_t kRate = 16384;
constexpr std::size_t kHeaderWords = 11; // the demo recording's 44-byte header

using bench::Clock;
const auto since = bench::secondsSince;

/// Compares the first `count` words of `fast` with `literal`.
testsignals::Mismatch compare(const std::vector<std::int32_t> &fast,
                              const std::vector<std::int32_t> &literal, std::size_t count)
{
    return testsignals::compareWords(
        std::vector<std::int32_t>(fast.begin(), fast.begin() + std::ptrdiff_t(count)), literal);
}

} // namespace

/// Seconds of both passes of bench/scipy_form.py on `recording`, as it
/// reports them; 0 when it cannot run.
double scipyFormSeconds(const QString &recording, const QString &marker)
{
    QProcess form;
    form.start(QStringLiteral(QUORVANE_SCIPY_FORM), {recording, marker});
    if (!form.waitForFinished(600000) || form.exitStatus() != QProcess::NormalExit
        || form.exitCode() != 0)
        return 0;
    const QRegularExpressionMatch both =
        QRegularExpression(QStringLiteral("both ([0-9.]+) s")).match(form.readAllStandardOutput());
    return both.hasMatch() ? both.captured(1).toDouble() : 0;
}

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    // The passes' time-of-day debug lines are for the application's log.
    QLoggingCategory::setFilterRules(QStringLiteral("quorvane.pass.clock.debug=false"));
    if (argc > 2)
        recordingSeconds = std::max(60, std::atoi(argv[2]));
    const int literalSeconds =
        argc > 1 ? std::clamp(std::atoi(argv[1]), 1, recordingSeconds) : recordingSeconds;

    QTemporaryDir dir;
    if (!dir.isValid()) {
        std::fprintf(stderr, "no temporary folder\n");
        return 1;
    }
    const DemoRecording demo = makeDemoRecording(recordingSeconds);
    const QByteArray input = testfiles::recording(demo.samples);
    const QString path = dir.filePath(QStringLiteral("demo.wav"));
    const QString markerPath = dir.filePath(QStringLiteral("marker.dat"));
    if (!testfiles::writeFile(path, input)
        || !testfiles::writeFile(markerPath, testfiles::markerBytes(demo.marker))) {
        std::fprintf(stderr, "could not write the demo recording\n");
        return 1;
    }
    std::printf("recording: %d min demo at 16384 Hz, %zu sample words, %zu events, template of "
                "%zu values\n",
                recordingSeconds / 60, demo.samples.size(), demo.eventStarts.size(),
                demo.marker.size());

    // The batch job, as quorvane-batch --draw runs it, and between its
    // first runs the scipy form. The machine may be shared: the best run
    // counts, the median is shown beside it; the first also builds the plans.
    BatchOptions options;
    options.draw = true;
    options.marker = markerPath;
    double batchFirst = 0;
    std::vector<double> batchTimes;
    double batchCpu = 1e300;
    std::vector<double> commitTimes;
    double passesBest = 1e300; // a run's time before its commit
    double scipyBest = 1e300;
    BatchResult result;
    for (int run = 0; run < 7; ++run) {
        const double cpuStart = bench::processSeconds();
        const Clock::time_point start = Clock::now();
        result = runBatchJob(path, options);
        const Clock::time_point commitStart = Clock::now();
        commitBatchResults(result);
        const double seconds = since(start);
        commitTimes.push_back(since(commitStart));
        passesBest = std::min(passesBest, seconds - commitTimes.back());
        batchCpu = std::min(batchCpu, bench::processSeconds() - cpuStart);
        if (!result.error.isEmpty()) {
            std::fprintf(stderr, "batch job failed: %s\n", qPrintable(result.error));
            return 1;
        }
        batchFirst = run == 0 ? seconds : batchFirst;
        batchTimes.push_back(seconds);
        if (run < 3) {
            const double scipy = scipyFormSeconds(path, markerPath);
            if (scipy > 0)
                scipyBest = std::min(scipyBest, scipy);
        }
    }
    std::sort(batchTimes.begin(), batchTimes.end());

    // One more job, untimed, counts its transforms; then those alone.
    bench::TransformTally tally;
    const Clock::time_point countedStart = Clock::now();
    tally.start();
    BatchResult counted = runBatchJob(path, options);
    const double countedPasses = since(countedStart);
    commitBatchResults(counted);
    tally.stop();
    const double countedSeconds = since(countedStart);
    const std::vector<bench::TransformRun> transforms = tally.counted();
    const std::vector<std::vector<bench::TransformRun>> phases = bench::phases(transforms);
    // The best of 7 by phase, and of the whole.
    std::vector<bench::FloorTime> phaseFloor(phases.size(), {1e300, 1e300});
    bench::FloorTime floor{1e300, 1e300};
    for (int run = 0; run < 7; ++run) {
        const std::vector<bench::FloorTime> replay = bench::replayTransforms(transforms);
        for (std::size_t i = 0; i < replay.size(); ++i) {
            phaseFloor[i].wall = std::min(phaseFloor[i].wall, replay[i].wall);
            phaseFloor[i].cpu = std::min(phaseFloor[i].cpu, replay[i].cpu);
        }
        floor.wall = std::min(floor.wall, bench::total(replay).wall);
        floor.cpu = std::min(floor.cpu, bench::total(replay).cpu);
    }

    const double batchBest = batchTimes.front();
    const double batchMedian = batchTimes[batchTimes.size() / 2];
    const std::vector<std::int32_t> batchOutput = testfiles::bytesToWords(
        testfiles::readFile(dir.filePath(QStringLiteral("demo_output.wav"))));
    const std::vector<std::int32_t> batchFrames = testfiles::bytesToWords(
        testfiles::readFile(dir.filePath(QStringLiteral("demo_stereo.wav"))).mid(44));

    // The literal passes over the whole file or its leading stretch: header
    // words included, as the processing pass reads them.
    const std::vector<std::int32_t> fileWords = testfiles::bytesToWords(input);
    const std::size_t words =
        std::min(fileWords.size(), kHeaderWords + std::size_t(literalSeconds) * kRate);
    const std::vector<std::int32_t> stretch(fileWords.begin(), fileWords.begin() + words);
    Clock::time_point start = Clock::now();
    const std::vector<std::int32_t> literalOutput = reference::literalFilter(stretch);
    const double literalFilterTime = since(start);
    start = Clock::now();
    const reference::AnalysisRecord literal =
        reference::literalAnalysis(literalOutput, demo.marker);
    const double literalAnalysisTime = since(start);
    const double scale = double(fileWords.size()) / double(words);
    const double literalTotal = (literalFilterTime + literalAnalysisTime) * scale;

    std::printf("batch job (both passes, files read and written): %.3f s best of 7, "
                "median %.3f s (first run %.3f s); CPU %.3f s best of 7\n",
                batchBest, batchMedian, batchFirst, batchCpu);
    std::printf("transforms of one job (thread 0 the job's own, the others helpers of its "
                "passes), phase by phase; when each phase ran in that job (counted, so a little "
                "slower; seconds from its start) and how long its transforms take alone:\n");
    double spans = 0;
    for (std::size_t i = 0; i < phases.size(); ++i) {
        double began = 1e300, ended = 0;
        for (const bench::TransformRun &run : phases[i]) {
            std::printf("  phase %zu, thread %d: %5d-point forward %6lld, backward %6lld\n", i + 1,
                        run.thread, run.size, static_cast<long long>(run.forward),
                        static_cast<long long>(run.backward));
            began = std::min(began, run.began);
            ended = std::max(ended, run.ended);
        }
        spans += ended - began;
        std::printf("  phase %zu: %.4f to %.4f s, %.4f s in the job; %.4f s alone (CPU %.4f s)\n",
                    i + 1, began, ended, ended - began, phaseFloor[i].wall, phaseFloor[i].cpu);
    }
    std::printf("  the passes end at %.4f s, the commit (results synced to the disk, renamed) at "
                "%.4f s; outside the phases %.4f s. The commit alone: %.4f s, the shortest of "
                "7\n",
                countedPasses, countedSeconds, countedSeconds - spans,
                *std::min_element(commitTimes.begin(), commitTimes.end()));
    std::printf("FFT floor (those transforms alone, same plans and threads): %.4f s best of 7, "
                "CPU %.4f s\n",
                floor.wall, floor.cpu);
    std::printf("literal filter:   %7.2f s over %d s of recording\n", literalFilterTime,
                literalSeconds);
    std::printf("literal analysis: %7.2f s over %d s of recording\n", literalAnalysisTime,
                literalSeconds);
    if (words < fileWords.size())
        std::printf("literal, both:    %7.1f s scaled linearly to the whole %d min (not run)\n",
                    literalTotal, recordingSeconds / 60);
    else
        std::printf("literal, both:    %7.1f s\n", literalTotal);
    std::printf("speed ratio:      %7.0fx\n", literalTotal / batchBest);
    if (scipyBest < 1e300)
        std::printf("scipy form, both: %7.3f s best of 3; ratio %.1fx\n", scipyBest,
                    scipyBest / batchBest);
    else
        std::printf("scipy form: not run (needs python3-numpy and python3-scipy)\n");
    std::printf("job %.4f s, FFT floor %.4f s: job/floor %.2fx (CPU %.4f / %.4f s: %.2fx); "
                "literal %.0fx, scipy %s\n",
                batchBest, floor.wall, batchBest / floor.wall, batchCpu, floor.cpu,
                batchCpu / floor.cpu, literalTotal / batchBest,
                scipyBest < 1e300 ? qPrintable(QString::asprintf("%.1fx", scipyBest / batchBest))
                                  : "not run");
    std::printf("the passes alone, before the commit: %.4f s best of 7, %.2fx the FFT floor\n",
                passesBest, passesBest / floor.wall);

    const testsignals::Mismatch output = compare(batchOutput, literalOutput, literalOutput.size());
    const testsignals::Mismatch frames =
        compare(batchFrames, literal.frames, literal.frames.size());
    std::printf("mismatches over the literal stretch: output words %zu of %zu (beyond +-1: %zu), "
                "frame words %zu of %zu (beyond +-1: %zu)\n",
                output.differing, literalOutput.size(), output.beyondOne, frames.differing,
                literal.frames.size(), frames.beyondOne);
    if (words == fileWords.size())
        std::printf("peak block %d/%d, change %d/%d (batch/literal)\n", result.peakBlock,
                    literal.peakBlock, result.change, literal.change);
    else
        std::printf("batch: peak block %d, change %d (the literal stretch is a shorter file)\n",
                    result.peakBlock, result.change);
    return 0;
}
