#include "reference/literalanalysis.h"

// The reference library does not link the numeric core; it shares only
// the self-contained conversion header.
#include "dsp/conversions.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <memory>

namespace reference {

namespace {

constexpr int kWindow = 1006;

/// Working state of one run, named as the pass names it.
struct LiteralState
{
    std::int32_t asymWord = 0;
    std::int32_t symWord = 0;
    std::int32_t delayLine[kWindow] = {};
    double markerTemplate[kWindow] = {};
    double taperWindow[kWindow] = {};
    double recentSamples[kWindow] = {};
    double mirroredTemplate[kWindow] = {};
    double amplitude = 0.0;
    double absCorr = 0.0;
    double residualWeight = 0.0;
    double cumulativeSum = 0.0;
    bool flat = false;
    int detectorPeak = -10000;
    int detectorPeakBlock = -1;
    std::int32_t blockValues[800] = {};

    /// Correlation of step s with template y: 1006-term direct sums over the
    /// ring, newest sample paired with y[0]. With `withAmplitude` the tapered
    /// amplitude is accumulated into `amplitude` as well.
    double correlate(std::int64_t s, const double *y, bool withAmplitude)
    {
        double sx = 0.0;
        double sy = 0.0;
        double sxx = 0.0;
        double syy = 0.0;
        double sxy = 0.0;
        if (s > 1006) {
            for (int k = 0; k < kWindow; ++k) {
                const double x = recentSamples[(s - k) % 1006];
                const double yk = y[k];
                sx += x;
                sy += yk;
                sxx += x * x;
                syy += yk * yk;
                sxy += x * yk;
                if (withAmplitude)
                    amplitude += std::fabs(x) * taperWindow[k] / 200000;
            }
        }
        // A template of one value throughout has no shape: its coefficient
        // is 0, as with no template, not the NaN or rounding noise that the
        // formula gives it in doubles.
        if (flat)
            return 0.0;
        return (1006 * sxy - sx * sy)
               / std::sqrt((1006 * sxx - sx * sx) * (1006 * syy - sy * sy) + 1e-9);
    }
};

} // namespace

AnalysisRecord literalAnalysis(const std::vector<std::int32_t> &fileWords,
                               const std::vector<double> &markerValues)
{
    const double pi = 3.14159265356;
    AnalysisRecord record;
    auto state = std::make_unique<LiteralState>();
    LiteralState &st = *state;

    // Template: the first 1006 values; the taper is set for the template's
    // own length only.
    const std::int64_t n =
        std::min<std::int64_t>(static_cast<std::int64_t>(markerValues.size()), kWindow);
    for (std::int64_t i = 0; i < n; ++i) {
        const double markerValue = markerValues[static_cast<std::size_t>(i)];
        st.taperWindow[i] = 1 - std::cos(2 * pi * i / 1006);
        const double v = markerValue / 20000.0;
        st.markerTemplate[n - 1 - i] = v;
        st.mirroredTemplate[i] = v;
    }

    // One nonzero value throughout, whose own term under the root is a
    // number (a NaN there makes every coefficient NaN, shape or not).
    double sy = 0.0;
    double syy = 0.0;
    for (const double v : st.markerTemplate) {
        sy += v;
        syy += v * v;
    }
    st.flat = st.markerTemplate[0] != 0.0 && !std::isnan(1006 * syy - sy * sy)
              && std::all_of(st.markerTemplate, st.markerTemplate + kWindow,
                             [&](double v) { return v == st.markerTemplate[0]; });
    const std::int64_t count = static_cast<std::int64_t>(fileWords.size());
    const std::int64_t L = count >= 48 ? count - 48 : 0;
    std::vector<std::int32_t> rawSamples;
    rawSamples.reserve(static_cast<std::size_t>(L));
    record.frames.reserve(static_cast<std::size_t>(2 * L));
    record.seriesX.reserve(static_cast<std::size_t>(L));
    record.seriesAsym.reserve(static_cast<std::size_t>(L));
    record.seriesSym.reserve(static_cast<std::size_t>(L));

    // First loop: detector.
    int k = 0;
    for (std::int64_t j = 48; j < count; ++j) {
        const std::int32_t w = fileWords[static_cast<std::size_t>(j)];
        record.seriesX.push_back(60 - w / 20000000);
        rawSamples.push_back(w);
        record.frames.push_back(st.asymWord);
        record.frames.push_back(st.symWord);
        record.seriesAsym.push_back(250 - st.asymWord / 20000000);
        record.seriesSym.push_back(330 - st.symWord / 20000000);
        st.recentSamples[j % 1006] = w / 20000;
        st.amplitude = 0;
        const double r = st.correlate(j, st.markerTemplate, true);
        record.correlations.push_back(r);
        record.detectorWords.push_back(dsp::toInt32(std::fabs(r) * st.amplitude));
        if (j > 2640) {
            st.delayLine[j % 1006] = w;
            const std::int32_t H = st.delayLine[(j - 503) % 1006];
            st.asymWord = dsp::toInt32(2 * st.absCorr * st.absCorr * H);
            st.symWord = dsp::toInt32(H * st.residualWeight);
            st.absCorr = std::fabs(r);
            st.residualWeight = 1 - r * r;
            st.blockValues[j % 800] = dsp::toInt32(std::fabs(r) * st.amplitude);
            if (j % 800 == 0) {
                const int peak = *std::max_element(st.blockValues, st.blockValues + 800);
                record.detectorCalls.emplace_back(k, dsp::saturateToInt32(600LL - peak));
                k = k + 1;
                if (k != 1 && peak > st.detectorPeak) {
                    st.detectorPeak = peak;
                    st.detectorPeakBlock = k;
                }
            }
        }
    }

    // Second loop: cumulative sum over the copy with sine edges.
    int m = 0;
    int a = 0;
    int b = 0;
    for (std::int64_t l = 48; l < count; ++l) {
        std::int32_t w = rawSamples[static_cast<std::size_t>(l - 48)];
        if (l < count / 15 || l > count * 90 / 100)
            w = dsp::toInt32(std::sin(2 * pi * l / 149.995) * 1e9);
        st.recentSamples[l % 1006] = w / 20000;
        const double ra = st.correlate(l, st.markerTemplate, false);
        const double rm = st.correlate(l, st.mirroredTemplate, false);
        if (l > 2000)
            st.cumulativeSum = st.cumulativeSum + 2.5 * (ra - rm);
        if (l > 2640) {
            st.blockValues[l % 800] = dsp::toInt32(st.cumulativeSum);
            if (l % 800 == 0) {
                const int hi = *std::max_element(st.blockValues, st.blockValues + 800);
                const int lo = *std::min_element(st.blockValues, st.blockValues + 800);
                record.graph2Calls.push_back(
                    {m, dsp::saturateToInt32(800LL - hi), dsp::saturateToInt32(800LL - lo)});
                m = m + 1;
                if (m == 5)
                    b = lo;
                if (l / 800 + 4 >= count / 800)
                    a = lo;
            }
        }
    }

    record.peakBlock = st.detectorPeakBlock;
    record.change = dsp::saturateToInt32(static_cast<std::int64_t>(a) - b);
    return record;
}

} // namespace reference
