// The speed test's worker against real SRT receivers: it ends in bounded time on a fast path, stops promptly in
// every phase, reports a closed port, and on a shaped link reports what the link carries.
#include "shapedlink.h"
#include "speedtestprobe.h"
#include "srttestlistener.h"
#include "testkit.h"
#include "threadtest.h"

#include <QtTest>

#include <srt/srt.h>

#include <memory>

namespace {

constexpr int kStopBoundMs = 1000;
// Loopback is limited only by what the receiver may hold; 10 MiB take well under a second there.
constexpr int kLoopbackBoundMs = 20000;
constexpr qint64 kMessages = (ThreadTest::kTestBytes + ThreadTest::kMessageSize - 1) / ThreadTest::kMessageSize;

std::unique_ptr<ThreadTest> startTest(quint16 port, bool lossless = false) {
    auto test = std::make_unique<ThreadTest>(QStringLiteral("127.0.0.1"), QString(), port, QStringLiteral("t"), 120,
                                             QString(), 16, lossless);
    test->start(QThread::HighPriority);
    return test;
}

} // namespace

class TestThreadTest : public QObject {
    Q_OBJECT

private slots:
    void initTestCase() { srt_startup(); }
    void cleanupTestCase() { srt_cleanup(); }

    void completesOnLoopback_data();
    void completesOnLoopback();
    void stopEndsPromptly_data();
    void stopEndsPromptly();
    void closedPortFails();
    void shapedLinkAccuracy_data();
    void shapedLinkAccuracy();
};

void TestThreadTest::completesOnLoopback_data() {
    QTest::addColumn<bool>("lossless");
    QTest::newRow("live") << false;
    QTest::newRow("lossless") << true;
}

void TestThreadTest::completesOnLoopback() {
    QFETCH(bool, lossless);
    SrtTestListener::Options options;
    options.fileMode = lossless;
    SrtTestListener listener(options);
    QVERIFY2(listener.start(), qPrintable(listener.errorText()));

    auto test = startTest(listener.port(), lossless);
    QVERIFY2(test->wait(kLoopbackBoundMs), "the test did not end on loopback");
    QVERIFY(test->done());
    QCOMPARE(test->failureText(), QString());
    QCOMPARE(test->errorCount(), 0);
    QVERIFY(test->remainingBytes() <= 0);
    QVERIFY(test->elapsedMs() > 0);
    QVERIFY(test->statistics().pktSentTotal > 0);
    // Everything that was acknowledged reaches the receiving application.
    const qint64 expected = kMessages * ThreadTest::kMessageSize;
    QVERIFY2(testkit::waitUntil([&] { return listener.bytesReceived() >= expected; }, 5000),
             qPrintable(QStringLiteral("received %1 of %2").arg(listener.bytesReceived()).arg(expected)));
    QCOMPARE(test->statistics().pktSndDropTotal, 0);
}

void TestThreadTest::stopEndsPromptly_data() {
    QTest::addColumn<bool>("listening");
    QTest::newRow("during connect") << false;
    QTest::newRow("during send") << true;
}

void TestThreadTest::stopEndsPromptly() {
    QFETCH(bool, listening);
    SrtTestListener listener;
    quint16 port = testkit::freePort(true);
    if (listening) {
        QVERIFY2(listener.start(), qPrintable(listener.errorText()));
        port = listener.port();
    }
    auto test = startTest(port);
    if (listening)
        QVERIFY(testkit::waitUntil([&] { return test->remainingBytes() < ThreadTest::kTestBytes; }, 5000));
    else
        QTest::qWait(300);
    QVERIFY2(test->isRunning(), "the phase to interrupt was already over");

    QElapsedTimer clock;
    clock.start();
    test->requestStop();
    QVERIFY2(test->wait(kStopBoundMs), "the worker did not end within a second of the stop");
    qInfo() << "stopped after" << clock.elapsed() << "ms";
    QVERIFY(test->done());
    QCOMPARE(test->failureText(), QString());
}

void TestThreadTest::closedPortFails() {
    auto test = startTest(testkit::freePort(true));
    // The library's connect timeout (3 s) ends the attempt.
    QVERIFY(test->wait(10000));
    QCOMPARE(test->failureText(), QStringLiteral("SRT CONNECT FAILED"));
    QCOMPARE(test->remainingBytes(), ThreadTest::kTestBytes);
}

void TestThreadTest::shapedLinkAccuracy_data() {
    QTest::addColumn<double>("mbit");
    QTest::newRow("5 Mbit/s") << 5.0;
    QTest::newRow("20 Mbit/s") << 20.0;
}

void TestThreadTest::shapedLinkAccuracy() {
    QFETCH(double, mbit);
    if (!testkit::haveProgram(QStringLiteral("srt-live-transmit")))
        QSKIP("srt-live-transmit is not installed");
    ShapedLink link(QStringLiteral("i10"));
    QString error;
    if (!link.setUp(&error))
        QSKIP(qPrintable(QStringLiteral("network namespaces are not available: ") + error));

    // The machine is shared; a second run tells a starved probe from a wrong measurement.
    double ratio = 0;
    for (int attempt = 0; attempt < 2 && (ratio < 0.85 || ratio > 1.15); ++attempt) {
        const speedtestprobe::Measurement m =
            speedtestprobe::measure(link, mbit, 0, QCoreApplication::applicationFilePath());
        QVERIFY2(m.ok, qPrintable(m.error));
        ratio = m.speedKbps / (mbit * 1000);
        qInfo() << mbit << "Mbit/s link: speed" << m.speedKbps << "kbit/s, ratio" << ratio << "rtt" << m.rttMs << "sent"
                << m.sentPackets << "lost" << m.lostPackets << "dropped" << m.droppedPackets;
    }
    QVERIFY2(ratio >= 0.85 && ratio <= 1.15, qPrintable(QStringLiteral("ratio %1").arg(ratio)));
}

int main(int argc, char **argv) {
    if (speedtestprobe::isProbe(argc, argv))
        return speedtestprobe::runProbe(argc, argv);
    QCoreApplication app(argc, argv);
    TestThreadTest test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_threadtest.moc"
