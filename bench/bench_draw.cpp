// The whole Draw command on a generated 10-minute recording, on the offscreen
// platform: the analysis with every overview column painted as it arrives,
// once with column-only repaints and once repainting the whole widget for
// every column. Prints both times, the analysis alone, and the ratios.

#include "drawstep.h"

#include "app/widgetlistener.h"
#include "batch/demorecording.h"
#include "graph/graphpainter.h"
#include "graph/widget.h"
#include "wav/passes/commands.h"
#include "wav/passes/wavfile.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>

#include <cstdio>

namespace {

double draw(const QString &processed, const QString &marker, const QString &stereo,
            AnalysisListener &listener)
{
    QElapsedTimer timer;
    timer.start();
    bench::drawOrExit(processed, marker, stereo, listener);
    return double(timer.nsecsElapsed()) / 1e9;
}

double drawOnWidget(const QString &processed, const QString &marker, const QString &stereo,
                    bool fullRepaint)
{
    GraphPainter painter;
    Widget widget(&painter, nullptr);
    widget.setFullRepaint(fullRepaint);
    widget.show();
    QApplication::processEvents();
    WidgetListener listener(&widget);
    return draw(processed, marker, stereo, listener);
}

} // namespace

int main(int argc, char *argv[])
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    const int minutes = argc > 1 ? std::max(1, std::atoi(argv[1])) : 10;

    QTemporaryDir dir;
    const QString recording = dir.filePath(QStringLiteral("recording.wav"));
    const QString marker = dir.filePath(QStringLiteral("marker.dat"));
    const QString processed = dir.filePath(QStringLiteral("recording_output.wav"));
    const QString stereo = dir.filePath(QStringLiteral("recording_stereo.wav"));
    {
        if (!writeDemo(dir.path(), minutes * 60).isEmpty())
            return 1;
        WavFile source;
        if (!commands::openChecked(source, recording, QStringLiteral("not a WAV file")).isEmpty()
            || !commands::filterInto(source, processed, [](int) {}).isEmpty())
            return 1;
    }

    // Best of three for each, interleaved so that load on the machine
    // touches every variant alike.
    double alone = 1e9, columns = 1e9, full = 1e9;
    for (int run = 0; run < 3; ++run) {
        bench::NullListener none;
        alone = std::min(alone, draw(processed, marker, stereo, none));
        columns = std::min(columns, drawOnWidget(processed, marker, stereo, false));
        full = std::min(full, drawOnWidget(processed, marker, stereo, true));
    }

    std::printf("Draw of a %d-minute recording (offscreen platform, best of 3)\n", minutes);
    std::printf("analysis alone:                 %7.3f s\n", alone);
    std::printf("Draw, column-only repaints:     %7.3f s  (painting %.3f s)\n", columns,
                columns - alone);
    std::printf("Draw, whole-widget repaints:    %7.3f s  (painting %.3f s)\n", full, full - alone);
    std::printf("whole Draw, full / column-only: %7.1fx\n", full / columns);
    std::printf("painting,   full / column-only: %7.1fx\n",
                (full - alone) / std::max(1e-6, columns - alone));
    return 0;
}
