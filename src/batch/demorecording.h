#pragma once

#include <QString>

#include <cstdint>
#include <vector>

/// A generated recording for trying the tool out: template-shaped events
/// (short damped 150 Hz pings) in broadband noise and 50 Hz hum, with the
/// template that finds them.
struct DemoRecording
{
    /// 32-bit samples at 16384 Hz.
    std::vector<std::int32_t> samples;
    /// The template: 1006 values, shaped like a ping after the filter.
    std::vector<double> marker;
    /// Sample index at which each ping starts, in order.
    std::vector<std::int64_t> eventStarts;
};

/// Generates `seconds` of recording (at least 1). Deterministic for a seed.
DemoRecording makeDemoRecording(int seconds, unsigned seed = 2026);

/// Writes "recording.wav" and "marker.dat" into `directory` (created if
/// needed). Answers an empty string, or the one-line error.
QString writeDemo(const QString &directory, int seconds = 60);
