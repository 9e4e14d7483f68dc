// The adaptive bitrate's steps for sequences of link figures, one sample a second.
#include "adaptivebitrate.h"

#include <QtTest>

namespace {

// One second of an SRT link: send buffer in ms, lost and sent packets.
struct Second {
    double bufferMs;
    quint64 lost;
};

LinkStats sample(quint64 sequence, const Second &second) {
    LinkStats stats;
    stats.transport = QStringLiteral("SRT");
    stats.sequence = sequence;
    stats.latencyMs = 200;
    stats.sendBufferMs = second.bufferMs;
    stats.sentInterval = 1000;
    stats.lostInterval = second.lost;
    return stats;
}

QList<Second> repeat(const Second &second, int times) {
    QList<Second> list;
    for (int i = 0; i < times; ++i)
        list << second;
    return list;
}

const Second kClean{10, 0};
const Second kFull{60, 0};   // past a quarter of the 200 ms latency
const Second kLossy{10, 30}; // 3 %
const Second kLight{10, 20}; // exactly 2 %: not above

} // namespace

Q_DECLARE_METATYPE(QList<Second>)

class TestAdaptiveBitrate : public QObject {
    Q_OBJECT

private slots:
    void steps_data();
    void steps();
    void repeatedSampleCountsOnce();
};

void TestAdaptiveBitrate::steps_data() {
    QTest::addColumn<QList<Second>>("seconds");
    QTest::addColumn<QList<int>>("expected");
    QTest::newRow("clean link at the operator's value") << repeat(kClean, 30) << QList<int>{};
    QTest::newRow("buffer past a quarter of the latency for two seconds")
        << QList<Second>{kClean, kFull, kFull} << QList<int>{4000};
    QTest::newRow("one full second is not enough") << QList<Second>{kFull, kClean, kFull} << QList<int>{};
    QTest::newRow("buffer at a quarter is fine") << QList<Second>{{50, 0}} << QList<int>{};
    QTest::newRow("one lossy second is not enough") << QList<Second>{kLossy, kClean, kLossy} << QList<int>{};
    QTest::newRow("two lossy seconds") << QList<Second>{kLossy, kLossy} << QList<int>{4000};
    QTest::newRow("two per cent is not above two") << repeat(kLight, 5) << QList<int>{};
    // After a step the link gets two seconds to drain before the next one.
    QTest::newRow("settles between steps") << repeat(kFull, 8) << QList<int>{4000, 3200, 2560};
    QTest::newRow("floor at a quarter") << repeat(kFull, 40) << QList<int>{4000, 3200, 2560, 2048, 1638, 1310, 1250};
    QTest::newRow("ten clean seconds step up, never past the operator's value")
        << repeat(kFull, 2) + repeat(kClean, 12) + repeat(kClean, 10) + repeat(kClean, 10)
        << QList<int>{4000, 4400, 4840, 5000};
    QTest::newRow("loss restarts the clean count")
        << repeat(kFull, 2) + repeat(kClean, 9) + QList<Second>{kLight} + repeat(kClean, 9) << QList<int>{4000};
}

void TestAdaptiveBitrate::steps() {
    QFETCH(QList<Second>, seconds);
    QFETCH(QList<int>, expected);
    AdaptiveBitrate adaptive;
    adaptive.reset(5000);
    QList<int> steps;
    quint64 sequence = 0;
    for (const Second &second : seconds) {
        const AdaptiveBitrate::Step step = adaptive.onSample(sample(++sequence, second));
        if (step.kbps > 0) {
            QVERIFY(!step.reason.isEmpty());
            steps << step.kbps;
        }
    }
    QCOMPARE(steps, expected);
    QCOMPARE(adaptive.currentKbps(), expected.isEmpty() ? 5000 : expected.last());
}

void TestAdaptiveBitrate::repeatedSampleCountsOnce() {
    // The GUI's timer may read the same snapshot twice: one lossy second must not count as two.
    AdaptiveBitrate adaptive;
    adaptive.reset(5000);
    QCOMPARE(adaptive.onSample(sample(1, kLossy)).kbps, 0);
    QCOMPARE(adaptive.onSample(sample(1, kLossy)).kbps, 0);
    QCOMPARE(adaptive.onSample(sample(0, kFull)).kbps, 0);
    QCOMPARE(adaptive.onSample(sample(2, kLossy)).kbps, 4000);
}

QTEST_APPLESS_MAIN(TestAdaptiveBitrate)
#include "tst_adaptivebitrate.moc"
