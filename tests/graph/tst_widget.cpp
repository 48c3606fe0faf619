#include "graph/graphpainter.h"
#include "graph/graphview.h"
#include "graph/seriessource.h"
#include "graph/widget.h"

#include <QFontMetricsF>
#include <QImage>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QPaintEvent>
#include <QScreen>
#include <QTemporaryDir>
#include <QtEndian>
#include <QtTest>

#include <climits>
#include <memory>
#include <random>
#include <vector>

namespace {

const QRgb kBlack = qRgb(0, 0, 0);
const QRgb kWhite = qRgb(255, 255, 255);
const QRgb kGreen = qRgb(0, 240, 0);
const QRgb kRed = qRgb(255, 0, 0);
const QRgb kYellow = qRgb(255, 255, 0);
const QRgb kLightgrey = qRgb(211, 211, 211);
const QRgb kBlue = qRgb(0, 0, 255);
const QRgb kMagenta = qRgb(255, 0, 255);
const QRgb kCyan = qRgb(0, 255, 255);

/// Records the paint events a widget receives.
class PaintSpy : public QObject
{
public:
    explicit PaintSpy(QWidget *widget) { widget->installEventFilter(this); }
    int count() const { return rects.size(); }
    void clear() { rects.clear(); }
    QList<QRect> rects;

protected:
    bool eventFilter(QObject *, QEvent *event) override
    {
        if (event->type() == QEvent::Paint)
            rects << static_cast<QPaintEvent *>(event)->rect();
        return false;
    }
};

/// A shown and exposed widget with its own painter, as the main window has.
struct Display
{
    Display()
        : painter(std::make_unique<GraphPainter>()),
          widget(std::make_unique<Widget>(painter.get(), nullptr)),
          spy(widget.get())
    {
        widget->show();
        exposed = QTest::qWaitForWindowExposed(widget.get());
        spy.clear();
    }

    /// What the widget shows on screen now (no extra paint event).
    QImage screen() const
    {
        return widget->screen()
            ->grabWindow(widget->winId())
            .toImage()
            .convertToFormat(QImage::Format_RGB32);
    }

    std::unique_ptr<GraphPainter> painter;
    std::unique_ptr<Widget> widget;
    PaintSpy spy;
    bool exposed = false;
};

/// Series whose entry i holds i, -i and 2i, so a window reveals its start.
void setRampSeries(Widget &widget, int length)
{
    std::vector<int> x(length), asym(length), sym(length);
    for (int i = 0; i < length; ++i) {
        x[i] = i;
        asym[i] = -i;
        sym[i] = 2 * i;
    }
    widget.setSeries(std::move(x), std::move(asym), std::move(sym));
}

QRgb pixel(const QImage &image, int x, int y)
{
    return image.pixel(x, y) | 0xff000000u;
}

QString name(QRgb rgb)
{
    return QColor(rgb).name();
}

void sendKey(Widget &widget, int key, bool *accepted = nullptr)
{
    QKeyEvent event(QEvent::KeyPress, key, Qt::NoModifier);
    QCoreApplication::sendEvent(&widget, &event);
    if (accepted)
        *accepted = event.isAccepted();
}

void sendClick(Widget &widget, int x, Qt::MouseButton button, bool *accepted = nullptr)
{
    QMouseEvent event(QEvent::MouseButtonPress, QPointF(x, 300), button, button, Qt::NoModifier);
    QCoreApplication::sendEvent(&widget, &event);
    if (accepted)
        *accepted = event.isAccepted();
}

/// Runs a space-separated script on the widget: "P7" setPosition(7, 0),
/// "C10" left click at x = 10, "L"/"R" arrow keys, "R*20" twenty presses.
void runScript(Widget &widget, const QString &script)
{
    for (const QString &step : script.split(QLatin1Char(' '), Qt::SkipEmptyParts)) {
        int repeat = 1;
        QString op = step;
        if (step.contains(QLatin1Char('*'))) {
            repeat = step.section(QLatin1Char('*'), 1).toInt();
            op = step.section(QLatin1Char('*'), 0, 0);
        }
        for (int n = 0; n < repeat; ++n) {
            const int arg = op.mid(1).toInt();
            switch (op.at(0).toLatin1()) {
            case 'P':
                widget.setPosition(arg, 0);
                break;
            case 'C':
                sendClick(widget, arg, Qt::LeftButton);
                break;
            case 'L':
                sendKey(widget, Qt::Key_Left);
                break;
            case 'R':
                sendKey(widget, Qt::Key_Right);
                break;
            default:
                QFAIL(qPrintable(QStringLiteral("bad step ") + step));
            }
        }
    }
}

} // namespace

class TestWidget : public QObject
{
    Q_OBJECT

private slots:
    void modeTransitions_data();
    void modeTransitions();
    void setPositionWindow_data();
    void setPositionWindow();
    void setSeriesDoesNotRepaint();
    void windowStrokes_data();
    void windowStrokes();
    void blankBackdropBeforeOverview();
    void overviewStrokes_data();
    void overviewStrokes();
    void bandHidesTallDetectorBars();
    void overviewAccumulatesAcrossRuns();
    void changeCaption_data();
    void changeCaption();
    void captionFontKeepsItsSize_data();
    void captionFontKeepsItsSize();
    void navigation_data();
    void navigation();
    void clickAcceptance_data();
    void clickAcceptance();
    void ignoredInput_data();
    void ignoredInput();
    void overviewRepaintsOnlyItsColumn_data();
    void overviewRepaintsOnlyItsColumn();
    void columnRepaintKeepsPicture();
    void columnsReachOverviewWhileHidden();
    void pictureMatchesWidget_data();
    void pictureMatchesWidget();
    void resultFileWindows_data();
    void resultFileWindows();
};

void TestWidget::modeTransitions_data()
{
    QTest::addColumn<QString>("action");
    QTest::addColumn<int>("mode");

    QTest::newRow("animateDetector") << "detector" << int(Widget::Detector);
    QTest::newRow("animateGraph2") << "graph2" << int(Widget::Graph2);
    QTest::newRow("animate") << "animate" << int(Widget::Graphs);
    QTest::newRow("setPosition") << "position" << int(Widget::Graphs);
    QTest::newRow("setSeries") << "series" << int(Widget::Graph2);
    QTest::newRow("rejected click") << "click" << int(Widget::Graph2);
    QTest::newRow("other key") << "key" << int(Widget::Graph2);
}

void TestWidget::modeTransitions()
{
    QFETCH(QString, action);
    QFETCH(int, mode);

    Display d;
    d.widget->animateGraph2(2, 3, 9);
    if (action == "detector") {
        d.widget->animateDetector(4, 500);
        QCOMPARE(d.widget->overviewX(), 4);
        QCOMPARE(d.widget->overviewY(), 500);
        QCOMPARE(d.widget->overviewY2(), 9);
    } else if (action == "graph2") {
        d.widget->animateGraph2(5, 6, 7);
        QCOMPARE(d.widget->overviewY2(), 7);
    } else if (action == "animate") {
        d.widget->animate(1, 2, 3, 4, 5, 6, 7, 8, 9);
    } else if (action == "position") {
        setRampSeries(*d.widget, 8000);
        d.widget->setPosition(2, 0);
    } else if (action == "series") {
        setRampSeries(*d.widget, 8000);
    } else if (action == "click") {
        sendClick(*d.widget, 5, Qt::LeftButton);
    } else {
        sendKey(*d.widget, Qt::Key_Up);
    }
    QCOMPARE(d.widget->displayMode(), mode);
}

void TestWidget::setPositionWindow_data()
{
    QTest::addColumn<int>("length");
    QTest::addColumn<int>("block");
    QTest::addColumn<int>("position");
    QTest::addColumn<int>("start");
    QTest::addColumn<int>("copied");

    QTest::newRow("block 7") << 16000 << 7 << 6 << 5600 << 2400;
    QTest::newRow("block 1") << 16000 << 1 << 0 << 800 << 2400;
    QTest::newRow("block 0") << 16000 << 0 << -1 << 0 << 2400;
    QTest::newRow("block -1") << 16000 << -1 << -2 << 0 << 2400;
    QTest::newRow("last fitting block") << 16000 << 17 << 16 << 13600 << 2400;
    QTest::newRow("peak in last block") << 16000 << 19 << 18 << 13600 << 2400;
    QTest::newRow("part block at the end") << 16500 << 18 << 17 << 14100 << 2400;
    QTest::newRow("largest block") << 16000 << INT_MAX << INT_MAX - 1 << 13600 << 2400;
    QTest::newRow("smallest block") << 16000 << INT_MIN << INT_MIN << 0 << 2400;
    QTest::newRow("exactly one window") << 2400 << 1 << 0 << 0 << 2400;
    QTest::newRow("short series") << 1000 << 0 << -1 << 0 << 1000;
    QTest::newRow("short series, block 3") << 1000 << 3 << 2 << 0 << 1000;
    QTest::newRow("no series") << 0 << 5 << 4 << 0 << 0;
}

void TestWidget::setPositionWindow()
{
    QFETCH(int, length);
    QFETCH(int, block);
    QFETCH(int, position);
    QFETCH(int, start);
    QFETCH(int, copied);

    Display d;
    QVERIFY(d.exposed);
    setRampSeries(*d.widget, length);
    d.widget->animateDetector(0, 500);
    d.spy.clear();

    d.widget->setPosition(block, 3);

    QCOMPARE(d.spy.count(), 1); // painted before returning
    QCOMPARE(d.widget->displayMode(), int(Widget::Graphs));
    QCOMPARE(d.widget->currentPosition(), position);
    QCOMPARE(d.widget->currentChange(), 3);
    QCOMPARE(d.widget->windowStart(), start);
    const auto &x = d.widget->windowXValues();
    const auto &asym = d.widget->windowAsymValues();
    const auto &sym = d.widget->windowSymValues();
    QCOMPARE(int(x.size()), 2400);
    for (int i = 0; i < 2400; ++i) {
        if (i < copied) {
            QCOMPARE(x[i], start + i);
            QCOMPARE(asym[i], -(start + i));
            QCOMPARE(sym[i], 2 * (start + i));
        } else {
            QCOMPARE(x[i], 60);
            QCOMPARE(asym[i], 250);
            QCOMPARE(sym[i], 330);
        }
    }
}

void TestWidget::setSeriesDoesNotRepaint()
{
    Display d;
    QVERIFY(d.exposed);
    setRampSeries(*d.widget, 8000);
    d.widget->setPosition(2, 0);
    d.spy.clear();

    setRampSeries(*d.widget, 4000);
    d.widget->setSeries(std::vector<int>(3000, 1), std::vector<int>(5000, 2),
                        std::vector<int>(2500, 3));
    QCOMPARE(d.spy.count(), 0);
    QCOMPARE(d.widget->seriesLength(), 2500);        // the shortest of the three
    QCOMPARE(d.widget->windowXValues().at(0), 1600); // window kept

    d.widget->setPosition(1, 0); // would read past the shortest series
    QCOMPARE(d.widget->windowStart(), 100);
    QCOMPARE(d.widget->windowSymValues().at(2399), 3);
}

void TestWidget::windowStrokes_data()
{
    QTest::addColumn<int>("series"); // 0 X, 1 Asym, 2 Sym
    QTest::addColumn<int>("value");
    QTest::addColumn<int>("from");
    QTest::addColumn<int>("to");
    QTest::addColumn<uint>("colour");

    QTest::newRow("X 0 reaches 150") << 0 << 0 << 90 << 150 << kYellow;
    QTest::newRow("X 60 zero length") << 0 << 60 << 90 << 90 << kYellow;
    QTest::newRow("X 100 upwards") << 0 << 100 << 50 << 90 << kYellow;
    QTest::newRow("Asym 300 downwards") << 1 << 300 << 250 << 300 << kLightgrey;
    QTest::newRow("Asym 200 upwards") << 1 << 200 << 200 << 250 << kLightgrey;
    QTest::newRow("Asym 250 zero length") << 1 << 250 << 250 << 250 << kLightgrey;
    QTest::newRow("Sym 300 upwards") << 2 << 300 << 300 << 330 << kBlue;
    QTest::newRow("Sym 380 downwards") << 2 << 380 << 330 << 380 << kBlue;
    QTest::newRow("Sym INT_MAX to the bottom") << 2 << INT_MAX << 330 << 799 << kBlue;
    QTest::newRow("X INT_MIN to the bottom") << 0 << INT_MIN << 90 << 799 << kYellow;
    QTest::newRow("Asym INT_MIN to the top") << 1 << INT_MIN << 0 << 250 << kLightgrey;
}

void TestWidget::windowStrokes()
{
    QFETCH(int, series);
    QFETCH(int, value);
    QFETCH(int, from);
    QFETCH(int, to);
    QFETCH(uint, colour);

    // Baselines everywhere except window indices 440..443, column 110.
    std::vector<int> s[3] = {std::vector<int>(2400, 60), std::vector<int>(2400, 250),
                             std::vector<int>(2400, 330)};
    for (int i = 440; i < 444; ++i)
        s[series][i] = value;
    Display d;
    d.widget->setSeries(std::move(s[0]), std::move(s[1]), std::move(s[2]));
    d.widget->setPosition(0, 0);
    const QImage image = d.widget->grab().toImage();

    // The other series draw their baseline points after this one.
    for (int y = from; y <= to; ++y) {
        const bool otherBaseline = (y == 250 && series != 1) || (y == 330 && series != 2);
        if (!otherBaseline)
            QCOMPARE(name(pixel(image, 110, y)), name(colour));
    }
    if (from > 0 && from - 1 != 90 && from - 1 != 250 && from - 1 != 330)
        QCOMPARE(name(pixel(image, 110, from - 1)), name(kBlack));
    if (to < 799 && to + 1 != 90 && to + 1 != 250 && to + 1 != 330)
        QCOMPARE(name(pixel(image, 110, to + 1)), name(kBlack));
    // A neighbouring column shows only the baseline points.
    QCOMPARE(name(pixel(image, 111, 120)), name(kBlack));
    QCOMPARE(name(pixel(image, 111, 90)), name(kYellow));
}

void TestWidget::blankBackdropBeforeOverview()
{
    Display d;
    QVERIFY(d.exposed);
    // Painted before any call: the graphs view of the baselines on black.
    const QImage first = d.screen();
    QCOMPARE(name(pixel(first, 300, 600)), name(kBlack));
    QCOMPARE(name(pixel(first, 10, 90)), name(kYellow));

    // Series at the baselines: nothing but points on rows 90, 250, 330.
    d.widget->setSeries(std::vector<int>(8000, 60), std::vector<int>(8000, 250),
                        std::vector<int>(8000, 330));
    d.widget->setPosition(1, 0);
    const QImage image = d.widget->grab().toImage();
    // Ticks counted from the window's first sample, column 0 both colours.
    QCOMPARE(name(pixel(image, 20, 0)), name(kMagenta));
    QCOMPARE(name(pixel(image, 20, 8)), name(kMagenta));
    QCOMPARE(name(pixel(image, 20, 9)), name(kBlack));
    QCOMPARE(name(pixel(image, 40, 12)), name(kCyan));
    QCOMPARE(name(pixel(image, 40, 0)), name(kCyan));
    QCOMPARE(name(pixel(image, 60, 8)), name(kMagenta));
    QCOMPARE(name(pixel(image, 0, 0)), name(kCyan));
    QCOMPARE(name(pixel(image, 30, 5)), name(kBlack));
    // Red marker on column 0 (position 0) from 420 to 540.
    QCOMPARE(name(pixel(image, 0, 420)), name(kRed));
    QCOMPARE(name(pixel(image, 0, 540)), name(kRed));
    QCOMPARE(name(pixel(image, 0, 419)), name(kBlack));
    QCOMPARE(name(pixel(image, 0, 541)), name(kBlack));
    // Black band right of the window and blank backdrop below it.
    QCOMPARE(name(pixel(image, 899, 400)), name(kBlack));
    QCOMPARE(name(pixel(image, 300, 799)), name(kBlack));
}

void TestWidget::overviewStrokes_data()
{
    QTest::addColumn<bool>("detector");
    QTest::addColumn<int>("x");
    QTest::addColumn<int>("y");
    QTest::addColumn<int>("y2");
    QTest::addColumn<int>("from");
    QTest::addColumn<int>("to");

    QTest::newRow("detector 500") << true << 0 << 500 << 0 << 440 << 540;
    QTest::newRow("detector below base") << true << 7 << 700 << 0 << 540 << 640;
    QTest::newRow("detector INT_MIN") << true << 8 << INT_MIN << 0 << 0 << 540;
    QTest::newRow("detector INT_MAX") << true << 899 << INT_MAX << 0 << 540 << 799;
    QTest::newRow("graph2 700 760") << false << 3 << 700 << 760 << 640 << 700;
    QTest::newRow("graph2 reversed") << false << 4 << 760 << 700 << 640 << 700;
    QTest::newRow("graph2 INT_MIN INT_MAX") << false << 5 << INT_MIN << INT_MAX << 0 << 799;
}

void TestWidget::overviewStrokes()
{
    QFETCH(bool, detector);
    QFETCH(int, x);
    QFETCH(int, y);
    QFETCH(int, y2);
    QFETCH(int, from);
    QFETCH(int, to);

    Display d;
    QVERIFY(d.exposed);
    if (detector)
        d.widget->animateDetector(x, y);
    else
        d.widget->animateGraph2(x, y, y2);
    const QImage image = d.screen();
    const QRgb colour = detector ? kGreen : kWhite;

    for (int row = 0; row < 800; ++row) {
        QRgb expected = row >= from && row <= to ? colour : kBlack;
        if (!detector && row == 740)
            expected = kRed;
        QCOMPARE(name(pixel(image, x, row)), name(expected));
    }
    QCOMPARE(name(pixel(image, x + (x < 899 ? 1 : -1), 600)), name(kBlack));
    QCOMPARE(d.screen(), d.painter->overview().toImage().convertToFormat(QImage::Format_RGB32));
}

void TestWidget::bandHidesTallDetectorBars()
{
    Display d;
    QVERIFY(d.exposed);
    // A bar of 300 px, from 540 up to 240, right of the window's columns.
    d.widget->animateDetector(700, 300);
    QCOMPARE(name(pixel(d.screen(), 700, 250)), name(kGreen));

    setRampSeries(*d.widget, 8000);
    d.widget->setPosition(1, 0);
    const QImage image = d.screen();
    QCOMPARE(name(pixel(image, 700, 250)), name(kBlack));
    QCOMPARE(name(pixel(image, 700, 400)), name(kBlack));
    QCOMPARE(name(pixel(image, 700, 401)), name(kGreen));
    QCOMPARE(name(pixel(image, 700, 540)), name(kGreen));
}

void TestWidget::overviewAccumulatesAcrossRuns()
{
    GraphPainter painter;
    auto firstRun = std::make_unique<Widget>(&painter, nullptr);
    firstRun->show();
    QVERIFY(QTest::qWaitForWindowExposed(firstRun.get()));
    firstRun->animateDetector(5, 200);
    firstRun->animateGraph2(5, 700, 780);
    firstRun->setPosition(0, 0);

    // The second run draws shorter strokes over the same columns.
    firstRun->animateDetector(5, 550);
    firstRun->animateGraph2(5, 750, 760);
    const QImage image = firstRun->grab().toImage();
    QCOMPARE(name(pixel(image, 5, 150)), name(kGreen)); // first run, still there
    QCOMPARE(name(pixel(image, 5, 500)), name(kGreen)); // shared part
    QCOMPARE(name(pixel(image, 5, 645)), name(kWhite)); // first run's range
    QCOMPARE(name(pixel(image, 5, 720)), name(kWhite));
    QCOMPARE(name(pixel(image, 5, 740)), name(kRed));
}

void TestWidget::changeCaption_data()
{
    QTest::addColumn<int>("change");
    QTest::addColumn<QString>("text");

    QTest::newRow("3") << 3 << "increased by 3 c.u.";
    QTest::newRow("0") << 0 << "decreased by 0 c.u.";
    QTest::newRow("-12") << -12 << "decreased by -12 c.u.";
    QTest::newRow("INT_MIN") << INT_MIN << "decreased by -2147483648 c.u.";
}

void TestWidget::changeCaption()
{
    QFETCH(int, change);
    QFETCH(QString, text);

    QCOMPARE(GraphPainter::changeCaption(change), text);

    // The caption is drawn in white at (660, 750): another change gives
    // other pixels there and nowhere else.
    Display d;
    setRampSeries(*d.widget, 8000);
    d.widget->setPosition(1, change);
    const QImage shown = d.widget->grab().toImage();
    d.widget->setPosition(1, 77);
    const QImage other = d.widget->grab().toImage();
    QVERIFY(shown.copy(650, 735, 250, 20) != other.copy(650, 735, 250, 20));
    QCOMPARE(shown.copy(0, 0, 900, 730), other.copy(0, 0, 900, 730));
}

void TestWidget::captionFontKeepsItsSize_data()
{
    QTest::addColumn<int>("dpi");
    QTest::newRow("96") << 96;
    QTest::newRow("100") << 100;
    QTest::newRow("144") << 144;
    QTest::newRow("192") << 192;
}

// The captions are drawn in the device's font up to 100 DPI and at the size
// they have there above it: a scaled desktop's font DPI neither enlarges
// them nor pushes the longest past the right edge.
void TestWidget::captionFontKeepsItsSize()
{
    QFETCH(int, dpi);
    const auto device = [](int resolution) {
        QImage image(GraphPainter::kWidth, 40, QImage::Format_RGB32);
        const int perMeter = qRound(resolution / 0.0254);
        image.setDotsPerMeterX(perMeter);
        image.setDotsPerMeterY(perMeter);
        return image;
    };
    const QFont desktop(QStringLiteral("Sans Serif"), 9);
    const QImage image = device(dpi);
    QCOMPARE(image.logicalDpiY(), dpi);
    const QFont font = GraphPainter::captionFont(desktop, dpi);
    const QFontMetricsF metrics(font, &image);

    const QImage limit = device(GraphPainter::kCaptionDpiLimit);
    const QFontMetricsF atLimit(desktop, &limit);
    if (dpi <= GraphPainter::kCaptionDpiLimit) {
        QCOMPARE(font, desktop);
    } else {
        QCOMPARE(metrics.height(), atLimit.height());
        QCOMPARE(metrics.horizontalAdvance(QStringLiteral("Cumulative sum (R)")),
                 atLimit.horizontalAdvance(QStringLiteral("Cumulative sum (R)")));
    }
    const QString longest = QStringLiteral("Correlation detector signal (V)");
    QVERIFY(660 + metrics.horizontalAdvance(longest) < GraphPainter::kWidth);
}

void TestWidget::navigation_data()
{
    QTest::addColumn<int>("length");
    QTest::addColumn<QString>("script");
    QTest::addColumn<int>("position");
    QTest::addColumn<int>("start");

    QTest::newRow("right stops at N - 4") << 16000 << "P1 R*30" << 16 << 13600;
    QTest::newRow("left stops at 1") << 16000 << "P12 L*30" << 1 << 1600;
    QTest::newRow("click centres") << 16000 << "C10" << 10 << 7200;
    QTest::newRow("click, left") << 16000 << "C10 L" << 9 << 8000;
    QTest::newRow("click, left, right") << 16000 << "C10 L R" << 10 << 8800;
    QTest::newRow("setPosition 7, left") << 16000 << "P7 L" << 5 << 4800;
    QTest::newRow("setPosition 1, left ignored") << 16000 << "P1 L" << 0 << 800;
    QTest::newRow("setPosition 1, right") << 16000 << "P1 R" << 1 << 1600;
    QTest::newRow("block -1, right") << 16000 << "P-1 R" << -1 << 0;
    QTest::newRow("past the end, left") << 16000 << "P40 L" << 38 << 13600;
    QTest::newRow("more than 900 blocks") << 800 * 1000 << "P895 R*10" << 904 << 905 * 800;
    QTest::newRow("more than 900 blocks, last") << 800 * 1000 << "P990 R*30" << 996 << 997 * 800;
    QTest::newRow("before setSeries") << 0 << "C5 R L" << 0 << 0;
    QTest::newRow("N = 5, right rejected") << 4000 << "P2 R" << 1 << 1600;
    QTest::newRow("N = 6, click rejected") << 4800 << "P2 C2" << 1 << 1600;
}

void TestWidget::navigation()
{
    QFETCH(int, length);
    QFETCH(QString, script);
    QFETCH(int, position);
    QFETCH(int, start);

    Display d;
    if (length > 0)
        setRampSeries(*d.widget, length);
    runScript(*d.widget, script);
    QCOMPARE(d.widget->currentPosition(), position);
    QCOMPARE(d.widget->windowStart(), start);
    QCOMPARE(d.widget->windowXValues().at(0), length > 0 ? start : 60);
}

void TestWidget::clickAcceptance_data()
{
    QTest::addColumn<int>("x");
    QTest::addColumn<bool>("accepted");

    QTest::newRow("0") << 0 << false;
    QTest::newRow("1") << 1 << false;
    QTest::newRow("2") << 2 << true;
    QTest::newRow("15") << 15 << true;
    QTest::newRow("16") << 16 << false;
    QTest::newRow("899") << 899 << false;
}

void TestWidget::clickAcceptance()
{
    QFETCH(int, x);
    QFETCH(bool, accepted);

    Display d;
    QVERIFY(d.exposed);
    setRampSeries(*d.widget, 16000);
    d.widget->setPosition(7, 0);
    d.spy.clear();

    sendClick(*d.widget, x, Qt::LeftButton);
    QCOMPARE(d.widget->currentPosition(), accepted ? x : 6);
    QCOMPARE(d.widget->windowStart(), accepted ? (x - 1) * 800 : 5600);
    QCOMPARE(d.spy.count(), accepted ? 1 : 0);
}

void TestWidget::ignoredInput_data()
{
    QTest::addColumn<int>("key"); // 0: a click instead
    QTest::addColumn<int>("button");

    QTest::newRow("right button") << 0 << int(Qt::RightButton);
    QTest::newRow("middle button") << 0 << int(Qt::MiddleButton);
    QTest::newRow("Up") << int(Qt::Key_Up) << 0;
    QTest::newRow("Down") << int(Qt::Key_Down) << 0;
    QTest::newRow("letter") << int(Qt::Key_A) << 0;
    QTest::newRow("Escape") << int(Qt::Key_Escape) << 0;
}

void TestWidget::ignoredInput()
{
    QFETCH(int, key);
    QFETCH(int, button);

    Display d;
    QVERIFY(d.exposed);
    setRampSeries(*d.widget, 16000);
    d.widget->setPosition(7, 0);
    d.spy.clear();

    bool accepted = false;
    if (key)
        sendKey(*d.widget, key, &accepted);
    else
        sendClick(*d.widget, 10, Qt::MouseButton(button), &accepted);
    QVERIFY(accepted); // consumed, not passed on to the parent
    QCOMPARE(d.widget->currentPosition(), 6);
    QCOMPARE(d.widget->windowStart(), 5600);
    QCOMPARE(d.spy.count(), 0);
}

void TestWidget::overviewRepaintsOnlyItsColumn_data()
{
    QTest::addColumn<bool>("detector");
    QTest::addColumn<int>("x");
    QTest::addColumn<bool>("painted");

    QTest::newRow("detector 0") << true << 0 << true;
    QTest::newRow("detector 899") << true << 899 << true;
    QTest::newRow("detector 900") << true << 900 << false;
    QTest::newRow("detector INT_MAX") << true << INT_MAX << false;
    QTest::newRow("detector -1") << true << -1 << false;
    QTest::newRow("graph2 17") << false << 17 << true;
    QTest::newRow("graph2 5000") << false << 5000 << false;
}

void TestWidget::overviewRepaintsOnlyItsColumn()
{
    QFETCH(bool, detector);
    QFETCH(int, x);
    QFETCH(bool, painted);

    Display d;
    QVERIFY(d.exposed);
    const auto call = [&](int column) {
        if (detector)
            d.widget->animateDetector(column, 300);
        else
            d.widget->animateGraph2(column, 600, 700);
    };

    // The first overview call replaces the graphs view on screen.
    call(1);
    QCOMPARE(d.spy.rects, QList<QRect>{QRect(0, 0, 900, 800)});
    d.spy.clear();

    call(x);
    QCOMPARE(d.spy.rects, painted ? QList<QRect>{QRect(x, 0, 1, 800)} : QList<QRect>{});
    QCOMPARE(d.widget->overviewX(), x);
    QCOMPARE(d.widget->displayMode(), int(detector ? Widget::Detector : Widget::Graph2));

    d.spy.clear();
    d.widget->setFullRepaint(true);
    call(x);
    QCOMPARE(d.spy.rects, QList<QRect>{QRect(0, 0, 900, 800)});
}

void TestWidget::columnRepaintKeepsPicture()
{
    // Two displays get the same calls, one repainting columns only, the
    // other the whole widget; their screens must agree at every step.
    Display columns;
    Display full;
    QVERIFY(columns.exposed && full.exposed);
    full.widget->setFullRepaint(true);

    const auto bothShowTheSame = [&]() { return columns.screen() == full.screen(); };
    for (Display *d : {&columns, &full}) {
        setRampSeries(*d->widget, 20000);
        d->widget->setPosition(5, 2); // a previous run's graphs view
    }
    QVERIFY(bothShowTheSame());

    for (int k = 0; k < 950; ++k) {
        const int peak = (k * 37) % 200;
        columns.widget->animateDetector(k, 600 - peak);
        full.widget->animateDetector(k, 600 - peak);
        if (k == 0 || k == 450)
            QVERIFY(bothShowTheSame());
    }
    QVERIFY(bothShowTheSame());
    for (int m = 0; m < 950; ++m) {
        const int hi = (m * 13) % 90;
        const int lo = -((m * 7) % 50);
        columns.widget->animateGraph2(m, 800 - hi, 800 - lo);
        full.widget->animateGraph2(m, 800 - hi, 800 - lo);
        if (m == 0 || m == 300)
            QVERIFY(bothShowTheSame());
    }
    QVERIFY(bothShowTheSame());
    QCOMPARE(columns.screen(),
             columns.painter->overview().toImage().convertToFormat(QImage::Format_RGB32));

    // An expose in an overview mode draws the same stroke again.
    columns.widget->repaint();
    QVERIFY(bothShowTheSame());

    for (Display *d : {&columns, &full})
        d->widget->setPosition(7, -4);
    QVERIFY(bothShowTheSame());
}

void TestWidget::columnsReachOverviewWhileHidden()
{
    GraphPainter painter;
    Widget widget(&painter, nullptr); // never shown: no paint events
    widget.animateDetector(3, 500);
    widget.animateGraph2(4, 700, 760);
    const QImage overview = painter.overview().toImage();
    QCOMPARE(name(pixel(overview, 3, 450)), name(kGreen));
    QCOMPARE(name(pixel(overview, 4, 680)), name(kWhite));
    QCOMPARE(name(pixel(overview, 4, 740)), name(kRed));
    QVERIFY(painter.showsOverviewBelowGraphs());
}

void TestWidget::pictureMatchesWidget_data()
{
    QTest::addColumn<int>("block"); // -1: no close-up, the overview stays
    QTest::newRow("graphs view") << 3;
    QTest::newRow("overview") << -1;
}

// The picture a view paints with no widget (the batch program's) is the
// widget's, pixel for pixel.
void TestWidget::pictureMatchesWidget()
{
    QFETCH(int, block);
    GraphPainter screenPainter, imagePainter;
    Widget widget(&screenPainter, nullptr);
    GraphView view(&imagePainter);
    for (int column = 0; column < 12; ++column) {
        widget.animateDetector(column, 300 + 20 * column);
        view.addDetector(column, 300 + 20 * column);
        view.keepColumn();
        widget.animateGraph2(column, 790 - column, 700 + column);
        view.addGraph2(column, 790 - column, 700 + column);
        view.keepColumn();
    }
    std::vector<int> x(9000), asym(9000, 250), sym(9000, 330);
    for (int i = 0; i < 9000; ++i)
        x[i] = 60 - i % 90;
    widget.setSeries(x, asym, sym);
    view.setSeries(x, asym, sym);
    if (block >= 0) {
        widget.setPosition(block, -5);
        view.setPosition(block, -5);
    }
    QCOMPARE(view.picture(), widget.grab().toImage().convertToFormat(QImage::Format_RGB32));
}

void TestWidget::resultFileWindows_data()
{
    QTest::addColumn<QString>("afterDraw"); // what happens to the files
    QTest::newRow("unchanged") << QString();
    QTest::newRow("stereo file rewritten") << QStringLiteral("rewrite stereo");
    QTest::newRow("stereo file cut short") << QStringLiteral("cut stereo");
    QTest::newRow("processed file removed") << QStringLiteral("remove processed");
}

// The windows read from the result files of a Draw equal those of the whole
// series in memory at every step; once a file has changed or gone they show
// the baselines.
void TestWidget::resultFileWindows()
{
    QFETCH(QString, afterDraw);
    constexpr int kSamples = 4000 * 800 + 123;
    QTemporaryDir dir;
    const QString processed = dir.filePath(QStringLiteral("x_output.wav"));
    const QString stereo = dir.filePath(QStringLiteral("x_stereo.wav"));
    std::mt19937 random(5);
    std::vector<qint32> words(kSamples), frames(2 * std::size_t(kSamples));
    std::vector<int> x(kSamples), asym(kSamples), sym(kSamples);
    for (int i = 0; i < kSamples; ++i) {
        words[i] = qint32(random());
        frames[2 * i] = qint32(random());
        frames[2 * i + 1] = qint32(random());
        x[i] = 60 - words[i] / 20000000;
        asym[i] = 250 - frames[2 * i] / 20000000;
        sym[i] = 330 - frames[2 * i + 1] / 20000000;
    }
    const auto write = [](const QString &path, int lead, const std::vector<qint32> &data) {
        QFile file(path);
        QByteArray bytes(lead, 'h');
        for (qint32 w : data)
            bytes.append(reinterpret_cast<const char *>(&w), 4); // little-endian host
        return file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size();
    };
    QVERIFY(write(processed, 192, words));
    QVERIFY(write(stereo, 44, frames));

    GraphPainter painter;
    Widget fromFiles(&painter, nullptr);
    Widget inMemory(&painter, nullptr);
    fromFiles.setSeriesSource(
        std::make_unique<ResultFileSeries>(processed, 192, stereo, 44, kSamples));
    inMemory.setSeries(x, asym, sym);
    const auto sameWindows = [&]() {
        return fromFiles.windowStart() == inMemory.windowStart()
               && fromFiles.windowXValues() == inMemory.windowXValues()
               && fromFiles.windowAsymValues() == inMemory.windowAsymValues()
               && fromFiles.windowSymValues() == inMemory.windowSymValues();
    };
    for (const QString step :
         {"P2000", "L", "R*5", "C500", "R*40", "L*3", "P3998", "R", "P-1", "C2", "P0", "R"}) {
        runScript(fromFiles, step);
        runScript(inMemory, step);
        QVERIFY2(sameWindows(), qPrintable(step));
    }
    if (afterDraw.isEmpty())
        return;

    if (afterDraw == QLatin1String("rewrite stereo")) {
        QVERIFY(write(stereo, 44, std::vector<qint32>(frames.size(), 7)));
        QFile file(stereo);
        QVERIFY(file.open(QIODevice::ReadWrite));
        file.setFileTime(QDateTime::currentDateTime().addSecs(5),
                         QFileDevice::FileModificationTime);
    } else if (afterDraw == QLatin1String("cut stereo")) {
        QVERIFY(QFile::resize(stereo, 1000));
    } else {
        QVERIFY(QFile::remove(processed));
    }
    runScript(fromFiles, QStringLiteral("C100"));
    QCOMPARE(fromFiles.currentPosition(), 100);
    QCOMPARE(fromFiles.windowXValues(), std::vector<int>(2400, 60));
    QCOMPARE(fromFiles.windowAsymValues(), std::vector<int>(2400, 250));
    QCOMPARE(fromFiles.windowSymValues(), std::vector<int>(2400, 330));
}

QTEST_MAIN(TestWidget)
#include "tst_widget.moc"
