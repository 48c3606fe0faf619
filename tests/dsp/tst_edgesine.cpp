#include "dsp/edgesine.h"

#include "dsp/widevectors.h"

#include <QtTest>

#include <cstdint>
#include <vector>

class TestEdgeSine : public QObject
{
    Q_OBJECT

private slots:
    void formsAgree_data();
    void formsAgree();
};

void TestEdgeSine::formsAgree_data()
{
    QTest::addColumn<qint64>("first");
    QTest::addColumn<int>("count");
    QTest::newRow("the first minute") << qint64(0) << 60 * 16384;
    QTest::newRow("an uneven stretch") << qint64(-12345) << 4097 * 3 + 5;
    QTest::newRow("where the library takes over") << qint64(1602000000) << 300000;
    QTest::newRow("far beyond") << (qint64(1) << 52) << 999;
}

// The wide form (four steps at a time) gives the narrow form's words.
void TestEdgeSine::formsAgree()
{
    if (!dsp::wideVectorsSupported())
        QSKIP("no wide form on this processor");
    QFETCH(qint64, first);
    QFETCH(int, count);
    std::vector<std::int32_t> narrow(static_cast<std::size_t>(count));
    std::vector<std::int32_t> wide(static_cast<std::size_t>(count), 7);
    dsp::analysis::edgeSineWordsIn(false, first, count, narrow.data());
    dsp::analysis::edgeSineWordsIn(true, first, count, wide.data());
    QCOMPARE(wide, narrow);
}

QTEST_APPLESS_MAIN(TestEdgeSine)
#include "tst_edgesine.moc"
