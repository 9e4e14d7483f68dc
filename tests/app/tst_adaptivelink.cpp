// The program streaming over a veth shaped narrower than the stream, between network namespaces of the test's
// own: with a fixed bitrate the link drops or delays the stream; with the adaptive bitrate the encoder settles
// below the link within seconds, stays there while the receiver gets every packet of one valid transport stream,
// and a widened link brings the operator's bitrate back. The program's --stats records tell what the sender saw.
#include "shapedlink.h"
#include "shapedstream.h"
#include "testkit.h"
#include "tscontinuity.h"

#include <QtTest>

namespace {

// The picture fills whatever bitrate it is given (ShapedStream), so 1.2 Mbit/s of video with its sound is half as
// wide again as a 0.9 Mbit/s link.
constexpr double kLinkMbps = 0.9;
constexpr double kWideMbps = 100;
constexpr int kStreamKbps = 1200;
constexpr int kLatencyMs = 200;
constexpr int kFirstRecordMs = 30000;
constexpr int kCongestedMs = 10000;
// Settled: the first of kCleanRun seconds in a row with a clean send buffer, little loss and no drop. The
// adaptive bitrate settles within 4 s of its first record here (bench_adaptivelink); 2 s more for a busy machine.
constexpr int kCleanRun = 5;
constexpr int kSettleSeconds = 6;
// What the link still holds from before the last step (its queue, the SRT latency) reaches the receiver.
constexpr int kDrainMs = 2000;
constexpr int kSteadyMs = 8000;
// Back at the operator's bitrate within 20 s of the link widening, 5 s more for a busy machine.
constexpr int kBackMs = 25000;
// The SRT latency plus the receiver's writing: how much of the stream's end the file may lack at the stop.
constexpr double kTailSeconds = 2.0;

using Records = QList<QJsonObject>;

int number(const QJsonObject &record, const char *key) {
    return ShapedStream::number(record, key);
}

int settledAt(const Records &list) {
    return ShapedStream::settledAt(list, 0, kCleanRun, kLatencyMs);
}

// The records in brief, for failure messages: encoder bitrate / send buffer / lost / dropped, one a second.
QString brief(const Records &list) {
    QStringList seconds;
    for (const QJsonObject &record : list)
        seconds << QStringLiteral("%1/%2/%3/%4")
                       .arg(number(record, "encoder_kbps"))
                       .arg(number(record, "send_buffer_ms"))
                       .arg(number(record, "lost_packets"))
                       .arg(number(record, "dropped_packets"));
    return seconds.join(QLatin1Char(' '));
}

} // namespace

class TestAdaptiveLink : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanup();
    void fixedBitrateOverflowsTheLink();
    void adaptiveBitrateFitsTheLink();

private:
    std::unique_ptr<ShapedLink> link;
};

void TestAdaptiveLink::initTestCase() {
    if (!testkit::haveProgram(QStringLiteral("srt-live-transmit")) || !testkit::haveProgram(QStringLiteral("ffprobe")))
        QSKIP("srt-live-transmit and ffprobe are needed");
}

void TestAdaptiveLink::cleanup() {
    link.reset();
}

void TestAdaptiveLink::fixedBitrateOverflowsTheLink() {
    link = std::make_unique<ShapedLink>(QStringLiteral("i13af"));
    QString error;
    if (!link->setUp(&error))
        QSKIP(qPrintable(QStringLiteral("network namespaces are not available: ") + error));
    QVERIFY2(link->setRate(kLinkMbps, &error), qPrintable(error));
    QTemporaryDir dir;
    ShapedStream stream(*link, QStringLiteral(TIDEWELL_EXECUTABLE), dir.path(), QStringLiteral("fixed"), kStreamKbps,
                        kLatencyMs, false);
    QVERIFY(stream.started());
    QVERIFY2(testkit::waitUntil([&] { return !stream.records().isEmpty(); }, kFirstRecordMs, 100),
             qPrintable(stream.log()));
    QTest::qWait(kCongestedMs);
    stream.stop();
    const Records list = stream.records();
    QCOMPARE(number(list.last(), "encoder_kbps"), kStreamKbps);
    // The sender loses packets on the link, and the receiver's stream lacks some, or the sender gave them up.
    TsContinuity continuity;
    continuity.feed(testkit::readFile(stream.receivedPath()));
    QVERIFY2(number(list.last(), "lost_packets_total") > 0, qPrintable(brief(list)));
    QVERIFY2(continuity.continuityErrors() > 0 || number(list.last(), "dropped_packets_total") > 0,
             qPrintable(brief(list)));
}

void TestAdaptiveLink::adaptiveBitrateFitsTheLink() {
    link = std::make_unique<ShapedLink>(QStringLiteral("i13aa"));
    QString error;
    if (!link->setUp(&error))
        QSKIP(qPrintable(QStringLiteral("network namespaces are not available: ") + error));
    QVERIFY2(link->setRate(kLinkMbps, &error), qPrintable(error));
    QTemporaryDir dir;
    ShapedStream stream(*link, QStringLiteral(TIDEWELL_EXECUTABLE), dir.path(), QStringLiteral("adaptive"), kStreamKbps,
                        kLatencyMs, true);
    QVERIFY(stream.started());
    QVERIFY2(testkit::waitUntil([&] { return !stream.records().isEmpty(); }, kFirstRecordMs, 100),
             qPrintable(stream.log()));
    QElapsedTimer streaming;
    streaming.start();

    // Settled within seconds, below the link.
    Records list;
    int settled = -1;
    testkit::waitUntil(
        [&] {
            list = stream.records();
            settled = settledAt(list);
            return settled >= 0 || list.size() > kSettleSeconds + kCleanRun;
        },
        (kSettleSeconds + kCleanRun + 2) * 1000, 250);
    QVERIFY2(settled >= 0 && settled <= kSettleSeconds, qPrintable(brief(list)));
    const int linkKbps = qRound(kLinkMbps * 1000);
    QVERIFY2(number(list[settled], "encoder_kbps") < linkKbps, qPrintable(brief(list)));
    const int settledKbps = number(list[settled + kCleanRun - 1], "encoder_kbps");
    QTest::qWait(kDrainMs);
    const int cleanFrom = stream.records().size();
    const qint64 cleanBytes = QFileInfo(stream.receivedPath()).size();

    // It stays there, and the receiver gets every packet.
    QTest::qWait(kSteadyMs);
    list = stream.records();
    for (int i = settled; i < list.size(); ++i)
        QVERIFY2(number(list[i], "encoder_kbps") <= settledKbps * 1.1, qPrintable(brief(list)));
    for (int i = cleanFrom; i < list.size(); ++i)
        QVERIFY2(number(list[i], "dropped_packets") == 0, qPrintable(brief(list)));
    const QByteArray received = testkit::readFile(stream.receivedPath());
    const int start = ShapedStream::syncAfter(received, int(cleanBytes));
    TsContinuity continuity;
    continuity.feed(received.mid(start));
    QVERIFY2(continuity.packets() * 188 * 8 > kSteadyMs / 1000 * linkKbps * 1000 / 4,
             qPrintable(QStringLiteral("%1 packets after byte %2").arg(continuity.packets()).arg(start)));
    QVERIFY2(continuity.syncLossBytes() == 0 && continuity.continuityErrors() == 0,
             qPrintable(QStringLiteral("%1 bytes out of sync, %2 counter jumps after record %3: %4")
                            .arg(continuity.syncLossBytes())
                            .arg(continuity.continuityErrors())
                            .arg(cleanFrom)
                            .arg(brief(list))));

    // A wide link: back at the operator's bitrate without a drop (replacing the shaping may lose what its queue
    // held; SRT repairs that).
    const int widenedFrom = list.size();
    QVERIFY2(link->setRate(kWideMbps, &error), qPrintable(error));
    QVERIFY2(testkit::waitUntil(
                 [&] {
                     list = stream.records();
                     return number(list.last(), "encoder_kbps") >= kStreamKbps;
                 },
                 kBackMs, 250),
             qPrintable(brief(list)));
    const double streamedSeconds = streaming.elapsed() / 1000.0;
    stream.stop();
    list = stream.records();
    for (int i = widenedFrom; i < list.size(); ++i)
        QVERIFY2(number(list[i], "dropped_packets") == 0, qPrintable(brief(list)));

    // One transport stream from its first packet to the stop: ffprobe reads every packet to the end. Pictures
    // damaged before the encoder settled make its H.264 parser complain; only a fatal error counts here.
    QByteArray output;
    QCOMPARE(testkit::runProgram(QStringLiteral("ffprobe"),
                                 {QStringLiteral("-v"), QStringLiteral("fatal"), QStringLiteral("-count_packets"),
                                  QStringLiteral("-show_entries"), QStringLiteral("format=duration"),
                                  QStringLiteral("-of"), QStringLiteral("csv=p=0"), stream.receivedPath()},
                                 60000, &output),
             0);
    const QList<QByteArray> lines = output.trimmed().split('\n');
    QVERIFY2(lines.size() == 1 && lines.last().toDouble() > streamedSeconds - kTailSeconds,
             qPrintable(QStringLiteral("%1 s streamed: %2").arg(streamedSeconds).arg(QString::fromUtf8(output))));
}

QTEST_GUILESS_MAIN(TestAdaptiveLink)
#include "tst_adaptivelink.moc"
