#include "literalfilter.h"

// The reference library does not link the numeric core; it shares only
// the self-contained conversion header.
#include "dsp/conversions.h"

#include <cmath>
#include <cstddef>

namespace reference {

namespace {

// The working state of the pass, one member per ring and sum, laid out as
// the pass keeps it. Every ring is addressed by the word index modulo its
// length; a slot not yet written in this run holds 0.
struct FilterState
{
    std::int32_t sampleWord = 0;
    double pi = 3.14159265356;
    double longKernel[528];
    double shortKernel[100];
    double kernelSum = 0.0;

    double convRing1[528], delayRing1[528];
    double convRing2[528], delayRing2[528];
    double convRing3[528], delayRing3[528];
    double convRing4[528], delayRing4[528];
    double convRing5[528], delayRing5[528];
    double stageOut1 = 0.0, stageOut2 = 0.0, stageOut3 = 0.0, stageOut4 = 0.0, stageOut5 = 0.0;

    double smoothRing1[100], smoothRing2[100], smoothRing3[100], smoothRing4[100];
    double smoothOut1 = 0.0, smoothOut2 = 0.0, smoothOut3 = 0.0, smoothOut4 = 0.0;
};

void clearRing(double *ring, int length)
{
    for (int j = 0; j < length; ++j)
        ring[j] = 0.0;
}

// Non-negative remainder of a word index.
int slot(std::int64_t index, int length)
{
    std::int64_t r = index % length;
    if (r < 0)
        r += length;
    return static_cast<int>(r);
}

// One high-pass stage at word index n: stores v in both rings, forms the
// weighted sum (only once n is past 528) and subtracts the input from 264
// words earlier, read from the delay ring.
double highPassStage(const FilterState &s, double *convRing, double *delayRing, double v,
                     std::int64_t n)
{
    const int r = slot(n, 528);
    convRing[r] = v;
    delayRing[r] = v;
    double sum = 0.0;
    if (n > 528) {
        for (int j = 0; j < 528; ++j)
            sum += s.longKernel[j] * convRing[slot(n - j, 528)];
    }
    sum -= delayRing[slot(n - 264, 528)];
    return sum;
}

// One low-pass stage at word index n: stores v in the ring and returns the
// weighted sum of the last 100 inputs (only indices down to 0).
double lowPassStage(const FilterState &s, double *ring, double v, std::int64_t n)
{
    ring[slot(n, 100)] = v;
    double sum = 0.0;
    for (int m = 0; m < 100; ++m) {
        if (m <= n)
            sum += s.shortKernel[m] * ring[slot(n - m, 100)];
    }
    return sum;
}

} // namespace

std::vector<std::int32_t> literalFilter(const std::vector<std::int32_t> &fileWords)
{
    FilterState s;
    const std::int64_t wordCount = static_cast<std::int64_t>(fileWords.size());
    std::vector<std::int32_t> out;
    out.reserve(static_cast<std::size_t>(wordCount > 48 ? wordCount : 48));

    // The lead-in: 48 reads, each followed by a write of the transfer word.
    // A read past the end leaves the word unchanged.
    for (std::int64_t i = 0; i < 48; ++i) {
        if (i < wordCount)
            s.sampleWord = fileWords[static_cast<std::size_t>(i)];
        out.push_back(s.sampleWord);
    }

    clearRing(s.longKernel, 528);
    clearRing(s.shortKernel, 100);
    clearRing(s.convRing1, 528);
    clearRing(s.convRing2, 528);
    clearRing(s.convRing3, 528);
    clearRing(s.convRing4, 528);
    clearRing(s.convRing5, 528);
    clearRing(s.delayRing1, 528);
    clearRing(s.delayRing2, 528);
    clearRing(s.delayRing3, 528);
    clearRing(s.delayRing4, 528);
    clearRing(s.delayRing5, 528);
    clearRing(s.smoothRing1, 100);
    clearRing(s.smoothRing2, 100);
    clearRing(s.smoothRing3, 100);
    clearRing(s.smoothRing4, 100);

    // The long kernel, then the short one, each normalised by its own sum.
    s.kernelSum = 0.0;
    for (int j = 0; j < 528; ++j) {
        const double sn = std::sin(j * s.pi / 528);
        s.longKernel[j] = -std::cos(j * (s.pi + s.pi) / 528) * (sn * sn);
        s.kernelSum += s.longKernel[j];
        s.convRing1[j] = 0.0;
    }
    for (int j = 0; j < 528; ++j)
        s.longKernel[j] = s.longKernel[j] / s.kernelSum;

    s.kernelSum = 0.0;
    for (int k = 0; k < 100; ++k) {
        const double sn = std::sin(k * s.pi / 100);
        s.shortKernel[k] = -std::cos(k * (s.pi + s.pi) / 100) * (sn * sn);
        s.kernelSum += s.shortKernel[k];
    }
    for (int k = 0; k < 100; ++k)
        s.shortKernel[k] = s.shortKernel[k] / s.kernelSum;

    for (std::int64_t n = 48; n < wordCount; ++n) {
        const std::int32_t x = fileWords[static_cast<std::size_t>(n)];
        s.sampleWord = x;

        s.stageOut1 = highPassStage(s, s.convRing1, s.delayRing1, static_cast<double>(x), n);
        s.stageOut2 = highPassStage(s, s.convRing2, s.delayRing2, s.stageOut1, n);
        s.stageOut3 = highPassStage(s, s.convRing3, s.delayRing3, s.stageOut2, n);
        s.stageOut4 = highPassStage(s, s.convRing4, s.delayRing4, s.stageOut3, n);
        s.stageOut5 = highPassStage(s, s.convRing5, s.delayRing5, s.stageOut4, n);

        s.smoothOut1 = lowPassStage(s, s.smoothRing1, s.stageOut5, n);
        s.smoothOut2 = lowPassStage(s, s.smoothRing2, s.smoothOut1, n);
        s.smoothOut3 = lowPassStage(s, s.smoothRing3, s.smoothOut2, n);
        s.smoothOut4 = lowPassStage(s, s.smoothRing4, s.smoothOut3, n);

        double y = s.smoothOut4;
        if (n <= 2999)
            y = y / 100000;
        y = y * 2000;
        // Magnitudes above 2e9 (and NaN) are written as 0, not saturated;
        // below that the value fits and truncates toward zero.
        if (std::fabs(y) > 2000000000.0 || std::isnan(y))
            s.sampleWord = 0;
        else
            s.sampleWord = dsp::toInt32(y);
        out.push_back(s.sampleWord);
    }
    return out;
}

} // namespace reference
