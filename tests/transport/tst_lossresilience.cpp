// The SRT relay over a lossy, delayed link: the tests' own UDP proxy sits between RESender and a real
// srt-live-transmit listener and drops datagrams each way; what arrives must still be the whole stream.
#include "countedts.h"
#include "logsdlg.h"
#include "peerprocess.h"
#include "resender.h"
#include "resenderrist.h"
#include "risttestreceiver.h"
#include "srtsidebyside.h"
#include "testkit.h"
#include "tscontinuity.h"

#include <QtTest>

#include <QNetworkDatagram>
#include <QTcpSocket>
#include <QUdpSocket>

namespace {

constexpr int kWaitMs = 10000;
// Time for the last losses to be repaired after the counted packets: latency and a few round trips.
constexpr int kTailMs = 1500;

QByteArray tsPackets(const QList<int> &counters, int adaptationOnlyAt = -1, int discontinuityAt = -1) {
    QByteArray bytes;
    for (int i = 0; i < counters.size(); ++i) {
        QByteArray packet = countedts::packet(quint32(counters.at(i)));
        if (i == adaptationOnlyAt)
            packet[3] = char(0x20 | (counters.at(i) & 0x0f));
        if (i == discontinuityAt) {
            packet[3] = char(0x30 | (counters.at(i) & 0x0f));
            packet[4] = 1;
            packet[5] = char(0x80);
        }
        bytes += packet;
    }
    return bytes;
}

// 20 ms each way and the given random loss both ways, seeded by the loss so that runs repeat, for a stream of the
// given length and some.
quint16 startLossyProxy(PeerProcess &proxy, quint16 target, int lossPercent, int seconds) {
    return startImpairProxy(
        proxy, target,
        {QStringLiteral("20"), QString::number(lossPercent), QStringLiteral("--seed=%1").arg(lossPercent)},
        seconds + 30);
}

} // namespace

class TestLossResilience : public QObject {
    Q_OBJECT

private slots:
    void checkerFindsDamage_data();
    void checkerFindsDamage();
    void proxyImpairs_data();
    void proxyImpairs();
    void relayOverLossyLink_data();
    void relayOverLossyLink();
    void relayRepairsLikeTheReference();
    void ristRelayOverLossyLink_data();
    void ristRelayOverLossyLink();
};

void TestLossResilience::checkerFindsDamage_data() {
    QTest::addColumn<QByteArray>("stream");
    QTest::addColumn<int>("slice");
    QTest::addColumn<int>("errors");
    QTest::addColumn<int>("missing");
    QTest::addColumn<int>("skipped");
    QTest::newRow("intact, wrapping") << tsPackets({13, 14, 15, 0, 1}) << 100 << 0 << 0 << 0;
    QTest::newRow("one lost") << tsPackets({1, 2, 4, 5}) << 188 << 1 << 1 << 0;
    QTest::newRow("repeated once") << tsPackets({1, 2, 2, 3}) << 188 << 0 << 0 << 0;
    QTest::newRow("repeated twice") << tsPackets({1, 2, 2, 2, 3}) << 188 << 1 << 15 << 0;
    QTest::newRow("adaptation only keeps counter") << tsPackets({1, 2, 2, 3}, 2) << 188 << 0 << 0 << 0;
    QTest::newRow("discontinuity flagged") << tsPackets({1, 2, 9, 10}, -1, 2) << 188 << 0 << 0 << 0;
    QTest::newRow("garbage before sync") << QByteArray(5, 'x') + tsPackets({1, 2}) << 7 << 0 << 0 << 5;
}

void TestLossResilience::checkerFindsDamage() {
    QFETCH(QByteArray, stream);
    QFETCH(int, slice);
    TsContinuity checker;
    for (int at = 0; at < stream.size(); at += slice)
        checker.feed(stream.mid(at, slice));
    QTEST(int(checker.continuityErrors()), "errors");
    QTEST(int(checker.missingPackets()), "missing");
    QTEST(int(checker.syncLossBytes()), "skipped");
    QCOMPARE(checker.packets(), qint64(stream.size() - checker.syncLossBytes()) / countedts::kPacketSize);
}

void TestLossResilience::proxyImpairs_data() {
    QTest::addColumn<QStringList>("flags");
    QTest::addColumn<QString>("counter");
    QTest::newRow("random loss") << QStringList{"0", "20"} << "lost";
    QTest::newRow("bursts") << QStringList{"0", "0", "--burst=2:10"} << "burst-lost";
    QTest::newRow("duplicates") << QStringList{"0", "0", "--duplicate=10"} << "duplicated";
    QTest::newRow("reordering, jitter") << QStringList{"5", "0", "--jitter=3", "--reorder=10:20"} << "reordered";
}

// Numbered datagrams through the proxy: what arrives must match the proxy's own counters.
void TestLossResilience::proxyImpairs() {
    QFETCH(QStringList, flags);
    QFETCH(QString, counter);
    QUdpSocket receiver;
    QVERIFY(receiver.bind(QHostAddress(QHostAddress::LocalHost), 0));
    PeerProcess proxy;
    const quint16 port = startImpairProxy(proxy, receiver.localPort(), flags, 20);
    QVERIFY2(port != 0, qPrintable(proxy.output()));

    constexpr int kCount = 2000;
    QUdpSocket sender;
    QList<int> arrived;
    // Drained as they come: a loopback socket's default buffer holds only a few hundred small datagrams, and
    // the kernel drops the rest silently, which would look like loss the proxy did not count.
    const auto drain = [&] {
        while (receiver.hasPendingDatagrams())
            arrived << receiver.receiveDatagram().data().toInt();
    };
    for (int i = 0; i < kCount; ++i) {
        sender.writeDatagram(QByteArray::number(i), QHostAddress::LocalHost, port);
        if (i % 10 == 0)
            QTest::qWait(1);
        drain();
    }
    // Ending the proxy drops what it still holds, so it ends after the longest hold; the kernel keeps the rest.
    QElapsedTimer hold;
    hold.start();
    while (hold.elapsed() < 200) {
        receiver.waitForReadyRead(10);
        drain();
    }
    proxy.stop();
    drain();
    const auto forward = [&](const QString &name) {
        return impairProxyCounter(proxy, QStringLiteral("forward"), name);
    };
    QVERIFY2(forward(counter) > kCount / 50, qPrintable(proxy.output()));
    QCOMPARE(forward(QStringLiteral("received")), qint64(kCount));
    QCOMPARE(forward(QStringLiteral("sent")), qint64(arrived.size()));
    const qint64 lost = forward(QStringLiteral("lost")) + forward(QStringLiteral("burst-lost"));
    const qint64 duplicated = forward(QStringLiteral("duplicated"));
    QCOMPARE(qint64(arrived.size()), kCount - lost + duplicated);
    int outOfOrder = 0;
    for (int i = 1; i < arrived.size(); ++i)
        outOfOrder += arrived.at(i) < arrived.at(i - 1) ? 1 : 0;
    if (counter == QLatin1String("reordered"))
        QVERIFY(outOfOrder > 0);
    else
        QCOMPARE(outOfOrder, 0);
}

void TestLossResilience::relayOverLossyLink_data() {
    QTest::addColumn<int>("lossPercent");
    QTest::addColumn<int>("lostPerMilleAllowed");
    // A packet whose NAK or retransmission is lost three or four times in a row misses the 200 ms, and libsrt 1.5
    // then drops its message. Runs here lose 0 to 1 of 3000 messages in 15 s at 5 %; without the repairs 5 % would
    // be lost. 10 % is held against srt-live-transmit below.
    QTest::newRow("5 %") << 5 << 5;
}

// Latency 200 ms over 20 ms each way, random loss both ways, 2 Mbit/s for 15 s: every TS packet arrives, in order.
void TestLossResilience::relayOverLossyLink() {
    QFETCH(int, lossPercent);
    QFETCH(int, lostPerMilleAllowed);
    if (!testkit::haveProgram(QStringLiteral("srt-live-transmit")))
        QSKIP("srt-live-transmit is needed");
    constexpr int kSeconds = 15;
    QTemporaryDir dir;
    const QString output = dir.filePath(QStringLiteral("received.ts"));
    const quint16 serverPort = testkit::freePort(true);
    PeerProcess server;
    QVERIFY2(startSrtStatsServer(server, serverPort, output, 200, 500), qPrintable(server.output()));
    PeerProcess proxy;
    const quint16 port = startLossyProxy(proxy, serverPort, lossPercent, kSeconds);
    QVERIFY2(port != 0, qPrintable(proxy.output()));

    LogsDlg logs;
    RESender relay(&logs);
    relay.startRetransmit(QStringLiteral("127.0.0.1"), QString(), port, QStringLiteral("loss"), 200, QString(), 16,
                          false);
    QVERIFY(testkit::waitUntil([&] { return relay.listenPort > 0; }, kWaitMs));
    QTcpSocket encoder;
    QVERIFY(testkit::connectEncoder(encoder, relay.listenPort));

    const quint32 sent = countedts::stream(encoder, kSeconds, kTailMs);
    encoder.waitForBytesWritten(kWaitMs);
    QTest::qWait(300);
    relay.stopRetransmit();
    QVERIFY(relay.wait(kWaitMs));
    server.stop();
    proxy.stop();

    TsContinuity checker;
    checker.feed(testkit::readFile(output));
    const QMap<QString, QString> stats = lastSrtStats(output + QStringLiteral(".csv"));
    QStringList figures;
    for (const char *name :
         {"pktRecv", "pktRcvLoss", "pktRcvRetrans", "pktRcvBelated", "pktRcvDrop", "msRTT", "msRcvTsbPdDelay"}) {
        if (stats.contains(QLatin1String(name)))
            figures << QStringLiteral("%1 %2").arg(QLatin1String(name), stats.value(QLatin1String(name)));
    }
    qInfo("%d %% loss: sent %u TS packets, received %lld, continuity errors %lld; receiver: %s", lossPercent, sent,
          checker.packets() - checker.nullPackets(), checker.continuityErrors(), qPrintable(figures.join(", ")));
    qInfo().noquote() << proxy.output().trimmed();
    QVERIFY2(impairProxyCounter(proxy, QStringLiteral("forward"), QStringLiteral("lost")) > 0,
             "the proxy dropped nothing");
    QCOMPARE(checker.syncLossBytes(), qint64(0));
    const qint64 lostPackets = qint64(sent) - (checker.packets() - checker.nullPackets());
    // The 4-bit counter sees a gap of 16 or more packets as a shorter one, never as a longer one.
    QVERIFY(checker.missingPackets() <= lostPackets);
    QVERIFY2(lostPackets * 1000 <= qint64(sent) * lostPerMilleAllowed,
             qPrintable(QStringLiteral("%1 of %2 TS packets lost").arg(lostPackets).arg(sent)));
}

// 10 % loss each way and 20 ms each way, our relay and srt-live-transmit side by side, fed the same live stream:
// ours breaks the stream no more often than the reference sender on the same library. Runs of 15 s here give both
// 0 to 5 continuity errors per 10 000 TS packets, and now and then one dropped message (7 TS packets, about 9 per
// 10 000) more on either side; with a send ceiling at twice the input rate ours gave 7 to 37 against the
// reference's 0 to 1.
void TestLossResilience::relayRepairsLikeTheReference() {
    if (!testkit::haveProgram(QStringLiteral("srt-live-transmit")) || !testkit::haveProgram(QStringLiteral("ffmpeg")))
        QSKIP("srt-live-transmit and ffmpeg are needed");
    constexpr int kSeconds = 15;
    // One message more than the reference is chance; two are not.
    constexpr qint64 kAllowancePackets = 7;
    QTemporaryDir dir;
    const QString feed = dir.filePath(QStringLiteral("feed.ts"));
    QVERIFY(srtsidebyside::makeFeed(feed, kSeconds, 600));
    LogsDlg logs;
    RESender relay(&logs);
    srtsidebyside::Options options;
    options.feed = feed;
    options.feedSeconds = kSeconds;
    options.lossPercent = 10;
    options.seed = 10;
    options.startOurs = [&](quint16 port) -> quint16 {
        relay.startRetransmit(QStringLiteral("127.0.0.1"), QString(), port, QStringLiteral("loss"), options.latencyMs,
                              QString(), 16, false);
        return testkit::waitUntil([&] { return relay.listenPort > 0; }, kWaitMs) ? quint16(relay.listenPort.load()) : 0;
    };
    options.stopOurs = [&] {
        relay.stopRetransmit();
        relay.wait(kWaitMs);
    };
    const srtsidebyside::Result result = srtsidebyside::run(options);
    QVERIFY2(result.ok(), qPrintable(result.error));
    qInfo("continuity errors per 10 000 TS packets: ours %.1f (%lld packets, %lld SRT messages), srt-live-transmit "
          "%.1f (%lld packets, %lld SRT messages)",
          result.ours.errorsPer10k(), result.ours.packets, result.ours.srtPackets, result.reference.errorsPer10k(),
          result.reference.packets, result.reference.srtPackets);
    QVERIFY2(result.ours.srtLost > 0, "the proxy dropped nothing of ours");
    QVERIFY(result.ours.continuityErrors <= result.reference.continuityErrors + kAllowancePackets);
    // Whole messages: the stream's TS packets in fewer SRT packets than the reference, which sends each datagram
    // as it comes.
    QVERIFY(result.ours.srtPackets < result.reference.srtPackets);
}

void TestLossResilience::ristRelayOverLossyLink_data() {
    QTest::addColumn<int>("lossPercent");
    QTest::newRow("5 %") << 5;
    // With this seed the first datagrams of the stream suffer: when the relay led with one null chunk only, the
    // encoder's first chunk (7 TS packets) never arrived.
    QTest::newRow("10 %") << 10;
}

// The RIST relay over the same link into ristreceiver with librist's default 1 s buffer (the server's choice in
// RIST): every TS packet arrives, in order. With a 200 ms buffer a packet lost three times in a row is late now
// and then, as on SRT; the benchmark shows how often.
void TestLossResilience::ristRelayOverLossyLink() {
    QFETCH(int, lossPercent);
    if (!testkit::haveProgram(QStringLiteral("ristreceiver")))
        QSKIP("ristreceiver (rist-tools) is needed");
    constexpr int kSeconds = 10;
    RistTestReceiver receiver;
    receiver.setStatsIntervalMs(1000);
    QVERIFY2(receiver.start(), qPrintable(receiver.output()));
    // The main profile carries data and its control messages on the one port, so one relayed port pair is the link.
    PeerProcess proxy;
    const quint16 port = startLossyProxy(proxy, receiver.port(), lossPercent, kSeconds);
    QVERIFY2(port != 0, qPrintable(proxy.output()));

    LogsDlg logs;
    RESenderRist relay(&logs);
    relay.setRistParams(0, 0, 0, 200);
    relay.setBondings(QStringLiteral("127.0.0.1"));
    relay.startRetransmit(QStringLiteral("127.0.0.1:%1").arg(port), QString(), QStringLiteral("loss"), QString());
    QVERIFY(testkit::waitUntil([&] { return relay.listenPort != 0; }, kWaitMs));
    QTcpSocket encoder;
    QVERIFY(relay.listenPort > 0 && testkit::connectEncoder(encoder, relay.listenPort));
    const quint32 sent = countedts::stream(encoder, kSeconds, kTailMs);
    encoder.waitForBytesWritten(kWaitMs);
    QTest::qWait(1200);
    const LinkStats link = relay.linkStats();
    const QJsonObject flow = receiver.flowTotals();
    relay.stopRetransmit();
    QVERIFY(relay.wait(kWaitMs));
    proxy.stop();
    receiver.stop();

    TsContinuity checker;
    checker.feed(receiver.data());
    QStringList figures;
    for (const char *name : {"received", "recovered", "lost", "retries", "dropped_late", "rtt"})
        figures << QStringLiteral("%1 %2").arg(QLatin1String(name)).arg(flow.value(QLatin1String(name)).toDouble());
    qInfo("%d %% loss: sent %u TS packets, received %lld, continuity errors %lld; sender: %llu sent, %llu "
          "retransmitted; receiver: %s",
          lossPercent, sent, checker.packets() - checker.nullPackets(), checker.continuityErrors(), link.sentTotal,
          link.retransmittedTotal, qPrintable(figures.join(", ")));
    qInfo().noquote() << proxy.output().trimmed();
    QVERIFY2(impairProxyCounter(proxy, QStringLiteral("forward"), QStringLiteral("lost")) > 0,
             "the proxy dropped nothing");
    QCOMPARE(checker.syncLossBytes(), qint64(0));
    QCOMPARE(checker.continuityErrors(), qint64(0));
    QCOMPARE(checker.packets() - checker.nullPackets(), qint64(sent));
    QVERIFY(link.retransmittedTotal > 0);
    QCOMPARE(flow.value(QLatin1String("lost")).toInt(-1), 0);
}

QTEST_MAIN(TestLossResilience)
#include "tst_lossresilience.moc"
