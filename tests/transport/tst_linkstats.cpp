// The relays' link figures against real receivers on loopback: the SRT relay through the tests' UDP delay proxy
// to the test kit's SRT listener, the RIST relay to ristreceiver. An encoder stand-in writes at a known rate.
#include "linkstats.h"
#include "logsdlg.h"
#include "peerprocess.h"
#include "resender.h"
#include "resenderrist.h"
#include "risttestreceiver.h"
#include "srttestlistener.h"
#include "testkit.h"

#include <QtTest>

#include <QTcpSocket>

#include <functional>
#include <memory>

namespace {

constexpr int kWaitMs = 10000;
constexpr double kStreamMbps = 4.0;
constexpr int kProxyDelayMs = 25;
// The library's send rate counts headers (about 3 % on 1316-byte payloads) and is measured over its own
// intervals; the tolerance for it against the receiver's rate.
constexpr double kRateTolerance = 0.2;

// Writes into the relay's listener at a constant rate, the way a live encoder does, calling sample() after each
// stats interval; returns false when the relay stopped taking data.
bool writeAtRate(QTcpSocket &encoder, double mbps, int seconds, const std::function<void()> &sample) {
    const QByteArray block(1316 * 4, char(0x47));
    QElapsedTimer clock;
    clock.start();
    qint64 written = 0;
    qint64 nextSampleMs = 1000;
    while (clock.elapsed() < seconds * 1000) {
        const qint64 due = qint64(mbps * 1e6 / 8 * double(clock.elapsed()) / 1000.0);
        while (written + block.size() <= due) {
            if (encoder.write(block) != block.size())
                return false;
            written += block.size();
        }
        encoder.waitForBytesWritten(5);
        QTest::qWait(5);
        if (clock.elapsed() >= nextSampleMs) {
            sample();
            nextSampleMs += 1000;
        }
    }
    return true;
}

} // namespace

class TestLinkStats : public QObject {
    Q_OBJECT

private slots:
    void percentages_data();
    void percentages();
    void srtFiguresThroughDelayedLink();
    void ristFiguresPerPath();
};

void TestLinkStats::percentages_data() {
    QTest::addColumn<quint64>("sent");
    QTest::addColumn<quint64>("lost");
    QTest::addColumn<double>("percent");
    QTest::newRow("nothing sent") << quint64(0) << quint64(0) << 0.0;
    QTest::newRow("nothing lost") << quint64(1000) << quint64(0) << 0.0;
    QTest::newRow("two per cent") << quint64(1000) << quint64(20) << 2.0;
    QTest::newRow("all lost") << quint64(7) << quint64(7) << 100.0;
}

void TestLinkStats::percentages() {
    QFETCH(quint64, sent);
    QFETCH(quint64, lost);
    QFETCH(double, percent);
    LinkStats stats;
    stats.transport = QStringLiteral("SRT");
    stats.sequence = 1;
    stats.sentInterval = sent;
    stats.lostInterval = lost;
    QCOMPARE(stats.lostPercent(), percent);
    const QJsonObject json = stats.toJson(0);
    QCOMPARE(json.value(QStringLiteral("lost_percent")).toDouble(), percent);
    QVERIFY2(!json.contains(QStringLiteral("encoder_kbps")), "an unknown encoder bitrate is left out");
    QCOMPARE(stats.toJson(2500).value(QStringLiteral("encoder_kbps")).toInt(), 2500);
}

void TestLinkStats::srtFiguresThroughDelayedLink() {
    SrtTestListener listener;
    QVERIFY2(listener.start(), qPrintable(listener.errorText()));
    PeerProcess proxy;
    const quint16 proxyPort = startImpairProxy(proxy, listener.port(), {QString::number(kProxyDelayMs)});
    QVERIFY2(proxyPort != 0, qPrintable(proxy.output()));

    LogsDlg logs;
    RESender sender(&logs);
    QVERIFY2(!sender.linkStats().valid(), "figures before any run");
    sender.startRetransmit(QStringLiteral("127.0.0.1"), QString(), proxyPort, QStringLiteral("stats"), 200, QString(),
                           16, false);
    QVERIFY(testkit::waitUntil([&] { return sender.listenPort > 0; }, kWaitMs));
    QVERIFY(testkit::waitUntil([&] { return listener.callerCount() == 1; }, kWaitMs));
    QTcpSocket encoder;
    QVERIFY(testkit::connectEncoder(encoder, sender.listenPort));

    // The receiver's rate over whole seconds, next to the relay's figures taken in the same seconds.
    QList<LinkStats> samples;
    QList<qint64> received;
    QVERIFY(writeAtRate(encoder, kStreamMbps, 7, [&] {
        samples.append(sender.linkStats());
        received.append(listener.bytesReceived());
    }));
    sender.stopRetransmit();
    QVERIFY(sender.wait(kWaitMs));

    QVERIFY(samples.size() >= 6);
    QVERIFY(samples.last().valid());
    QCOMPARE(samples.last().transport, QStringLiteral("SRT"));
    QVERIFY2(samples.last().sequence > samples[1].sequence, "the figures do not move on once a second");
    // The first two seconds carry the connection's start; the rest is a steady stream.
    double sendSum = 0;
    for (int i = 2; i < samples.size(); ++i)
        sendSum += samples[i].sendRateMbps;
    const double sendMbps = sendSum / (samples.size() - 2);
    const double receivedMbps = double(received.last() - received[1]) * 8 / 1e6 / (received.size() - 2);
    QVERIFY2(qAbs(sendMbps - receivedMbps) <= kRateTolerance * receivedMbps,
             qPrintable(QStringLiteral("relay says %1 Mbit/s, receiver got %2").arg(sendMbps).arg(receivedMbps)));
    QVERIFY2(samples.last().rttMs >= kProxyDelayMs,
             qPrintable(QStringLiteral("round trip %1 ms through a %2 ms each way proxy")
                            .arg(samples.last().rttMs)
                            .arg(kProxyDelayMs)));
    QVERIFY(samples.last().sentTotal > 0);
    QCOMPARE(samples.last().latencyMs, 200);
    QVERIFY(samples.last().summary().contains(QLatin1String("round trip")));

    // A new run starts its figures afresh.
    sender.startRetransmit(QStringLiteral("127.0.0.1"), QString(), proxyPort, QStringLiteral("stats"), 200, QString(),
                           16, false);
    QVERIFY(testkit::waitUntil([&] { return sender.listenPort > 0; }, kWaitMs));
    QVERIFY(!sender.linkStats().valid());
    sender.stopRetransmit();
    QVERIFY(sender.wait(kWaitMs));
}

void TestLinkStats::ristFiguresPerPath() {
    if (!testkit::haveProgram(QStringLiteral("ristreceiver")))
        QSKIP("ristreceiver (rist-tools) is needed");
    const QString secret = QStringLiteral("not-in-stats-0042");
    RistTestReceiver receiver;
    QVERIFY2(receiver.start(secret), qPrintable(receiver.output()));
    LogsDlg logs;
    RESenderRist sender(&logs);
    sender.setRistParams(500, 10, 0, 25);
    sender.setBondings(QStringLiteral("127.0.0.1(1)"));
    sender.startRetransmit(QStringLiteral("rist://127.0.0.1:%1").arg(receiver.port()), QString(),
                           QStringLiteral("cam1"), secret);
    QVERIFY(testkit::waitUntil([&] { return sender.listenPort > 0; }, kWaitMs));
    QTcpSocket encoder;
    QVERIFY(testkit::connectEncoder(encoder, sender.listenPort));

    QList<LinkStats> samples;
    QList<qint64> received;
    QVERIFY(writeAtRate(encoder, kStreamMbps, 6, [&] {
        samples.append(sender.linkStats());
        received.append(receiver.data().size());
    }));
    const LinkStats last = samples.last();
    sender.stopRetransmit();
    QVERIFY(sender.wait(kWaitMs));

    QVERIFY(last.valid());
    QCOMPARE(last.paths.size(), 1);
    const LinkPathStats path = last.paths.first();
    QCOMPARE(path.interfaceAddress, QStringLiteral("127.0.0.1"));
    QCOMPARE(path.destination, QStringLiteral("127.0.0.1:%1").arg(receiver.port()));
    QVERIFY(path.alive);
    QVERIFY2(path.quality > 90, qPrintable(QString::number(path.quality)));
    const double receivedMbps = double(received.last() - received[1]) * 8 / 1e6 / (received.size() - 2);
    QVERIFY2(
        qAbs(last.sendRateMbps - receivedMbps) <= kRateTolerance * receivedMbps,
        qPrintable(QStringLiteral("relay says %1 Mbit/s, receiver got %2").arg(last.sendRateMbps).arg(receivedMbps)));
    const QString json = QString::fromUtf8(QJsonDocument(last.toJson(0)).toJson(QJsonDocument::Compact));
    QVERIFY2(!json.contains(QLatin1String("not-in-stats")), "the secret reached the figures");
}

QTEST_MAIN(TestLinkStats)
#include "tst_linkstats.moc"
