#pragma once

// The Draw command's analysis step as the benchmarks run it.

#include "wav/passes/commands.h"
#include "wav/passes/wavfile.h"

#include <QFile>
#include <QString>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <thread>

namespace bench {

/// Receives the analysis and shows nothing: the cost of the pass alone.
struct NullListener : AnalysisListener
{
    void detectorColumn(int, std::int32_t) override {}
    void cumulativeColumn(int, std::int32_t, std::int32_t) override {}
    void finished(std::int64_t, int, int) override {}
};

/// Analyses `processed` with the template `marker` into `stereo`, as Draw
/// does, telling `listener`; ends the process with the message when the
/// step fails, since no figure of a failed run means anything.
inline void drawOrExit(const QString &processed, const QString &marker, const QString &stereo,
                       AnalysisListener &listener)
{
    WavFile source;
    // As in the application: a helper thread with a second core.
    source.setHelperCore([] {
        return std::thread::hardware_concurrency() >= 2 ? std::make_shared<bool>(true) : nullptr;
    });
    QFile markerFile(marker);
    markerFile.open(QIODevice::ReadOnly);
    QString message = commands::openChecked(source, processed, QStringLiteral("not wav file"));
    if (message.isEmpty()) {
        message = commands::analyseInto(source, stereo, &markerFile, listener);
    }
    if (!message.isEmpty()) {
        std::fprintf(stderr, "draw failed: %s\n", qPrintable(message));
        std::exit(1);
    }
}

} // namespace bench
