// The runner's order and window: one slow recording holds back how far the
// others run ahead, and every result is reported in its place.

#include "batch/runner.h"

#include <QtTest>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <numeric>
#include <vector>

class TestRunner : public QObject
{
    Q_OBJECT

private slots:
    void slowRecordingHoldsTheOthersBack_data();
    void slowRecordingHoldsTheOthersBack();
};

void TestRunner::slowRecordingHoldsTheOthersBack_data()
{
    QTest::addColumn<int>("count");
    QTest::addColumn<int>("workers");
    QTest::addColumn<int>("slow"); // the recording that waits; -1: none
    QTest::newRow("slow first, 2 workers") << 40 << 2 << 0;
    QTest::newRow("slow in the middle, 3 workers") << 40 << 3 << 17;
    QTest::newRow("slow first, 4 workers") << 30 << 4 << 0;
    QTest::newRow("an empty share") << 0 << 0 << -1;
}

void TestRunner::slowRecordingHoldsTheOthersBack()
{
    QFETCH(int, count);
    QFETCH(int, workers);
    QFETCH(int, slow);
    const int span = runner::window(workers);
    std::mutex mutex;
    std::condition_variable changed;
    int started = 0;
    int reported = 0;
    int mostAhead = 0; // started, less reported, at any job's start
    std::vector<int> order;

    const auto job = [&](int i) {
        std::unique_lock<std::mutex> lock(mutex);
        mostAhead = std::max(mostAhead, ++started - reported);
        changed.notify_all();
        if (i == slow) {
            // The others go as far as the window lets them; give any that
            // would go further a moment to do so.
            const int reach = std::min(count, slow + span);
            changed.wait_for(lock, std::chrono::seconds(10), [&]() { return started >= reach; });
            changed.wait_for(lock, std::chrono::milliseconds(30),
                             [&]() { return started > reach; });
        }
        BatchResult result;
        result.path = QString::number(i);
        return result;
    };
    runner::runInOrder(count, workers, job, [&](BatchResult &result) {
        std::lock_guard<std::mutex> lock(mutex);
        order.push_back(result.path.toInt());
        ++reported;
    });

    std::vector<int> inOrder(static_cast<std::size_t>(count));
    std::iota(inOrder.begin(), inOrder.end(), 0);
    QVERIFY(order == inOrder);
    // The window is kept, and used: no worker waits while it has room.
    QCOMPARE(mostAhead, count ? span : 0);
}

QTEST_GUILESS_MAIN(TestRunner)
#include "tst_runner.moc"
