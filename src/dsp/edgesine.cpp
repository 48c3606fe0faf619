// The edge sine of the second loop, many steps at a time.

#include "dsp/edgesine.h"

#include "dsp/templateanalysis.h"
#include "dsp/widevectors.h"

#include <algorithm>
#include <cmath>

namespace dsp {

namespace {

/// Steps formed in one go.
constexpr int kChunk = 4096;

// The sine of each step's argument a, the double edgeSineWord() takes it of,
// to within 1e-15: for a below 2^26, a less n pi/2 (n the nearest whole
// number to a 2/pi) is exact but for about 2e-16, with pi/2 in four parts of
// at most 26 bits, so that n times each part is exact; the sine or cosine of
// the rest, at most pi/4 and a little, is its Taylor series up to the 17th or
// 18th power, which leaves out less than 1e-19. The word is that sine times
// 1e9, truncated: where the product is within 1e-5 of a whole number, the
// library's sine is taken instead, as a difference of 1e-15 could tip it.
//
// The loop has a wide form too (widevectors.h), four steps at a time with
// the same operations in the same order, so the same words.
inline void sineWords(std::int64_t first, int count, std::int32_t *words)
{
    constexpr double kTwoOverPi = 0x1.45f306dc9c883p-1;
    constexpr double kHalfPi[4] = {0x1.921fb5p+0, 0x1.110b46p-26, 0x1.1a6263p-54,
                                   0x1.8a2e03707344ap-81};
    // The series' factors, +-1 / k!, of the odd and of the even powers k from
    // the second term on.
    constexpr double kSine[8] = {
        -1.0 / 6,        1.0 / 120,        -1.0 / 5040,          1.0 / 362880,
        -1.0 / 39916800, 1.0 / 6227020800, -1.0 / 1307674368000, 1.0 / 355687428096000};
    constexpr double kCosine[9] = {-1.0 / 2,
                                   1.0 / 24,
                                   -1.0 / 720,
                                   1.0 / 40320,
                                   -1.0 / 3628800,
                                   1.0 / 479001600,
                                   -1.0 / 87178291200,
                                   1.0 / 20922789888000,
                                   -1.0 / 6402373705728000};
    // Added and taken away again, rounds a value below 2^51 to a whole number.
    constexpr double kRounder = 0x1.8p52;
    // Steps below 2^53 are exact as doubles; larger ones leave the range.
    const double from = static_cast<double>(first);
    bool unsure[kChunk];
    for (int at = 0; at < count; at += kChunk) {
        const int n = std::min(count - at, kChunk);
        // Without branches, so that it runs four steps at a time.
        for (int i = 0; i < n; ++i) {
            const double a = 2 * kPi * (from + (at + i)) / 149.995;
            const bool inRange = std::fabs(a) < 0x1p26;
            const double quarters = inRange ? (a * kTwoOverPi + kRounder) - kRounder : 0.0;
            double r = inRange ? a : 0.0;
            for (double part : kHalfPi)
                r = r - quarters * part;
            const double r2 = r * r;
            double sine = kSine[7];
            for (int k = 6; k >= 0; --k)
                sine = kSine[k] + r2 * sine;
            sine = r + r * r2 * sine;
            double cosine = kCosine[8];
            for (int k = 7; k >= 0; --k)
                cosine = kCosine[k] + r2 * cosine;
            cosine = 1 + r2 * cosine;
            // sin(a) = sin(r + quarters pi/2), by quarters mod 4.
            const int quarter = static_cast<int>(quarters) & 3;
            const double value = quarter == 0   ? sine
                                 : quarter == 1 ? cosine
                                 : quarter == 2 ? -sine
                                                : -cosine;
            const double scaled = value * 1e9;
            const double nearest = (scaled + kRounder) - kRounder;
            words[at + i] = toInt32(scaled);
            unsure[i] = !inRange | (std::fabs(scaled - nearest) < 1e-5);
        }
        for (int i = 0; i < n; ++i) {
            if (unsure[i])
                words[at + i] = analysis::edgeSineWord(first + at + i);
        }
    }
}

void narrowSineWords(std::int64_t first, int count, std::int32_t *words)
{
    sineWords(first, count, words);
}

#if QUORVANE_WIDE_VECTORS
QUORVANE_WIDE void wideSineWords(std::int64_t first, int count, std::int32_t *words)
{
    sineWords(first, count, words);
}
#endif

} // namespace

void analysis::edgeSineWordsIn(bool wide, std::int64_t first, int count, std::int32_t *words)
{
#if QUORVANE_WIDE_VECTORS
    if (wide && wideVectorsSupported())
        return wideSineWords(first, count, words);
#else
    (void)wide;
#endif
    narrowSineWords(first, count, words);
}

void analysis::edgeSineWords(std::int64_t first, int count, std::int32_t *words)
{
    edgeSineWordsIn(true, first, count, words);
}

} // namespace dsp
