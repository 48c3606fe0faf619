// Times the overview animation of the graph widget: the analysis calls one
// overview slot per block, twice per recording (detector, then cumulative
// sum). Column-only repaints are compared with whole-widget repaints of the
// same calls, on the offscreen platform, in one run.

#include "graph/graphpainter.h"
#include "graph/widget.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QImage>
#include <QWindow>

#include <cstdio>

namespace {

constexpr int kColumnsPerPass = 6000; // about ten minutes of recording

struct Run
{
    double milliseconds = 0;
    QImage overview;
};

/// Runs both passes on a fresh, exposed widget; `wrap` keeps every column
/// inside the widget (x modulo 900) so that every call repaints.
Run animate(bool fullRepaint, bool wrap)
{
    GraphPainter painter;
    Widget widget(&painter, nullptr);
    widget.setFullRepaint(fullRepaint);
    widget.show();
    QElapsedTimer wait;
    wait.start();
    while (!(widget.windowHandle() && widget.windowHandle()->isExposed()) && wait.elapsed() < 5000)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 50);
    widget.animate(0, 0, 0, 0, 0, 0, 0, 0, 0);

    const auto column = [wrap](int k) { return wrap ? k % GraphPainter::kWidth : k; };
    QElapsedTimer timer;
    timer.start();
    for (int k = 0; k < kColumnsPerPass; ++k) {
        const int peak = (k * 37) % 180;
        widget.animateDetector(column(k), 600 - peak);
    }
    int sum = 0;
    for (int m = 0; m < kColumnsPerPass; ++m) {
        sum = (sum + (m * 13) % 7 - 3) % 50;
        widget.animateGraph2(column(m), 800 - (sum + 5), 800 - (sum - 5));
    }
    Run run;
    run.milliseconds = static_cast<double>(timer.nsecsElapsed()) / 1e6;
    run.overview = painter.overview().toImage();
    return run;
}

void compare(const char *label, bool wrap)
{
    const Run full = animate(true, wrap);
    const Run columns = animate(false, wrap);
    std::printf("%s: %d overview calls\n", label, 2 * kColumnsPerPass);
    std::printf("  whole-widget repaints: %9.1f ms (%.1f us per call)\n", full.milliseconds,
                1000.0 * full.milliseconds / (2 * kColumnsPerPass));
    std::printf("  column repaints:       %9.1f ms (%.1f us per call)\n", columns.milliseconds,
                1000.0 * columns.milliseconds / (2 * kColumnsPerPass));
    std::printf("  ratio whole / column:  %9.1f\n", full.milliseconds / columns.milliseconds);
    std::printf("  same overview:         %s\n", full.overview == columns.overview ? "yes" : "NO");
}

} // namespace

int main(int argc, char *argv[])
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);

    compare("Recording of 6000 blocks (columns from 900 on are outside the widget)", false);
    compare("Every column inside the widget (x modulo 900)", true);
    return 0;
}
