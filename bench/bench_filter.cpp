// Filter cascade benchmark: the word-by-word pass against the fast cascade
// on a generated 10-minute recording, in one run.
//
//   bench_filter [literal-minutes]
//
// By default the word-by-word pass runs over the whole recording (about half
// a minute). With literal-minutes it runs over that many leading minutes
// only; its time is then scaled to the whole recording, and the words are
// compared over that stretch.

#include "dsp/filtercascade.h"

#include "common.h"
#include "reference/literalfilter.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <random>
#include <string>
#include <vector>

namespace {

constexpr double kRate = 16384.0;
constexpr double kTwoPi = 6.283185307179586;
constexpr std::size_t kLeadIn = static_cast<std::size_t>(dsp::filter::kLeadInWords);
constexpr std::size_t kChunk = 65536;

using bench::Clock;
using bench::resetPeak;
using bench::statusKiB;

double seconds(Clock::time_point from, Clock::time_point to)
{
    return std::chrono::duration<double>(to - from).count();
}

// A recording-like signal of about 1e5 amplitude: an offset, mains hum,
// tones in and out of the pass band with a slow swell, and seeded noise.
// The lead-in words are arbitrary header-like values.
std::vector<std::int32_t> makeRecording(std::size_t samples)
{
    std::vector<std::int32_t> file(kLeadIn + samples);
    for (std::size_t i = 0; i < kLeadIn; ++i)
        file[i] = static_cast<std::int32_t>(0x52494646u ^ (i * 2654435761u));
    std::mt19937_64 rng(20240611u);
    for (std::size_t i = 0; i < samples; ++i) {
        const double t = static_cast<double>(i) / kRate;
        const double noise = static_cast<double>(rng() >> 11) * 0x1.0p-52 - 1.0;
        const double swell = 0.75 + 0.25 * std::sin(kTwoPi * 0.05 * t);
        const double v = 1e4 + 1.5e4 * std::sin(kTwoPi * 50.0 * t)
                         + swell
                               * (4e4 * std::sin(kTwoPi * 110.0 * t)
                                  + 2.5e4 * std::sin(kTwoPi * 150.0 * t + 0.7))
                         + 1e4 * std::sin(kTwoPi * 1000.0 * t) + 3e4 * noise;
        file[kLeadIn + i] = static_cast<std::int32_t>(std::lround(v));
    }
    return file;
}

// Runs the fast cascade the way the processing pass drives it: 64 Ki-word
// pushes, everything available pulled after each one.
double runFast(const std::vector<std::int32_t> &file, std::vector<std::int32_t> &out)
{
    const auto start = Clock::now();
    dsp::FilterCascade cascade;
    const std::size_t samples = file.size() - kLeadIn;
    std::size_t written = 0;
    for (std::size_t at = 0; at < samples; at += kChunk) {
        cascade.push(file.data() + kLeadIn + at, std::min(kChunk, samples - at));
        written += cascade.pull(out.data() + written, out.size() - written);
    }
    cascade.finish();
    written += cascade.pull(out.data() + written, out.size() - written);
    const auto end = Clock::now();
    if (written != samples)
        std::printf("fast cascade gave %zu words for %zu samples\n", written, samples);
    return seconds(start, end);
}

} // namespace

int main(int argc, char **argv)
{
    const std::size_t samples = static_cast<std::size_t>(10 * 60 * kRate);
    double literalMinutes = 10.0;
    if (argc > 1)
        literalMinutes = std::clamp(std::atof(argv[1]), 0.01, 10.0);
    const std::size_t literalSamples =
        std::min(samples, static_cast<std::size_t>(literalMinutes * 60 * kRate));

    std::printf("recording: 10 min at 16384 Hz, %zu sample words\n", samples);
    const std::vector<std::int32_t> file = makeRecording(samples);

    // Every output buffer is allocated and touched before the fast cascade
    // runs, so that the peak RSS growth during the run is the cascade's own.
    std::vector<std::int32_t> fast(samples, 1);
    std::vector<std::int32_t> again(samples, 1);
    const bool peakReset = resetPeak();
    const long peakBefore = statusKiB("VmHWM");

    double fastBest = runFast(file, fast);
    const long peakAfter = statusKiB("VmHWM");
    const double fastFirst = fastBest;
    bool repeatable = true;
    for (int run = 1; run < 3; ++run) {
        fastBest = std::min(fastBest, runFast(file, again));
        repeatable = repeatable && again == fast;
    }

    const std::vector<std::int32_t> literalFile(
        file.begin(), file.begin() + static_cast<std::ptrdiff_t>(kLeadIn + literalSamples));
    const auto literalStart = Clock::now();
    const std::vector<std::int32_t> literal = reference::literalFilter(literalFile);
    const double literalTime = seconds(literalStart, Clock::now());
    const double literalScaled =
        literalTime * static_cast<double>(samples) / static_cast<double>(literalSamples);

    std::size_t differing = 0;
    std::size_t beyondOne = 0;
    for (std::size_t i = 0; i < literalSamples; ++i) {
        const long long diff = static_cast<long long>(fast[i]) - literal[kLeadIn + i];
        differing += diff != 0;
        beyondOne += diff > 1 || diff < -1;
    }

    std::printf("literal pass:  %.2f s over %zu words", literalTime, literalSamples);
    if (literalSamples < samples)
        std::printf(" (scaled to the whole recording: %.2f s)", literalScaled);
    std::printf(", %.1f ns/word\n", 1e9 * literalTime / static_cast<double>(literalSamples));
    std::printf("fast cascade:  %.3f s best of 3 (first run %.3f s, kernels built), %.1f ns/word\n",
                fastBest, fastFirst, 1e9 * fastBest / static_cast<double>(samples));
    std::printf("speed ratio:   %.0fx\n", literalScaled / fastBest);
    std::printf("mismatching words: %zu of %zu (%zu differ by more than 1)\n", differing,
                literalSamples, beyondOne);
    std::printf("fast output repeatable across runs: %s\n", repeatable ? "yes" : "NO");
    const std::size_t fftPoints =
        dsp::FilterCascade::blockWords() + dsp::FilterCascade::combinedTaps() - 1;
    if (peakBefore >= 0 && peakAfter >= 0) {
        std::printf("fast cascade peak extra memory: %ld KiB\n"
                    "  measured: VmHWM growth over the first run (%s);\n"
                    "  input and output buffers were allocated and touched before it; it\n"
                    "  includes the FFT library's pages and tables and the kernel tables\n",
                    peakAfter - peakBefore,
                    peakReset ? "peak reset through /proc/self/clear_refs"
                              : "peak not resettable, so a lower bound");
    }
    std::printf("  working buffers by size: FFT %zu KiB; start-up %zu KiB, released at\n"
                "  word %lld; words waiting to be pulled at most %zu KiB (64 Ki-word pushes)\n",
                4 * fftPoints * sizeof(double) / 1024,
                10 * static_cast<std::size_t>(dsp::FilterCascade::firstBlockIndex())
                    * sizeof(double) / 1024,
                static_cast<long long>(dsp::FilterCascade::firstBlockIndex()),
                (kChunk + dsp::FilterCascade::blockWords()) * sizeof(std::int32_t) / 1024);
    std::printf("fast cascade: FFT of %zu points, blocks of %zu words, %zu combined taps\n",
                fftPoints, dsp::FilterCascade::blockWords(), dsp::FilterCascade::combinedTaps());
    return differing * 100000 <= literalSamples && repeatable ? 0 : 1;
}
