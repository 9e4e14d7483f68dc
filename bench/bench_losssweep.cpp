// What the relays deliver over a lossy link: random loss of 5, 10, 15 and 20 % each way and 20 ms each way
// (the tests' UDP proxy), a 2.1 Mbit/s stream of numbered TS packets for 20 s per point.
//
//   SRT:  writer --TCP--> RESender     --SRT, latency 200 ms--> proxy --> srt-live-transmit (listener) --> file
//   RIST: writer --TCP--> RESenderRist --RIST main profile---> proxy --> ristreceiver (buffer 200 ms or librist's
//                                                                         default 1000 ms) --UDP--> collector
//
// Per point: TS packets delivered of those sent, continuity-counter errors, packets the sender retransmitted,
// and the libraries' own loss figures: "detected" packets the receiver found missing, "unrepaired" those it gave
// up on (SRT: pktRcvLoss and pktRcvDrop; RIST: recovered + lost and lost).
//
// Usage: bench_losssweep [seconds-per-point]; TIDEWELL_LOSSSWEEP_SECONDS does the same (default 20).
#include "countedts.h"
#include "peerprocess.h"
#include "resender.h"
#include "resenderrist.h"
#include "risttestreceiver.h"
#include "testkit.h"
#include "tscontinuity.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QHostAddress>
#include <QJsonObject>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QThread>

#include <cstdio>

namespace {

constexpr int kWaitMs = 10000;
constexpr int kLatencyMs = 200;
constexpr int kDelayEachWayMs = 20;
// Time for the last losses to be repaired after the counted packets: the receiver's buffer and a few round trips.
constexpr int kTailMs = 1500;

struct Point {
    bool ran = false;
    quint32 sent = 0;
    qint64 delivered = 0;
    qint64 continuityErrors = 0;
    quint64 retransmitted = 0;
    qint64 detected = -1;
    qint64 unrepaired = -1;
    QString note;
};

void pause(int ms) {
    QElapsedTimer timer;
    timer.start();
    while (timer.elapsed() < ms) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
        QThread::msleep(1);
    }
}

bool startProxy(PeerProcess &proxy, quint16 target, int lossPercent, int seconds, quint16 *port) {
    if (!proxy.start(QStringLiteral(TIDEWELL_UDPIMPAIRPROXY),
                     {QStringLiteral("127.0.0.1:0"), QStringLiteral("127.0.0.1:%1").arg(target),
                      QString::number(kDelayEachWayMs), QString::number(lossPercent),
                      QStringLiteral("--duration=%1").arg(seconds + 60), QStringLiteral("--seed=%1").arg(lossPercent)}))
        return false;
    *port = countedts::proxyPort(proxy, kWaitMs);
    return *port != 0;
}

void check(Point *point, const QByteArray &received) {
    TsContinuity checker;
    checker.feed(received);
    point->delivered = checker.packets() - checker.nullPackets();
    point->continuityErrors = checker.continuityErrors();
}

Point runSrt(int lossPercent, int seconds) {
    Point point;
    QTemporaryDir dir;
    const QString output = dir.filePath(QStringLiteral("received.ts"));
    const QString stats = dir.filePath(QStringLiteral("stats.csv"));
    const quint16 serverPort = testkit::freePort(true);
    PeerProcess server;
    if (!server.start(
            QStringLiteral("sh"),
            {QStringLiteral("-c"), QStringLiteral("exec srt-live-transmit -q -s 500 -f -pf csv -statsout '%1' "
                                                  "'srt://127.0.0.1:%2?mode=listener&latency=%3' file://con > '%4'")
                                       .arg(stats)
                                       .arg(serverPort)
                                       .arg(kLatencyMs)
                                       .arg(output)})) {
        point.note = QStringLiteral("srt-live-transmit did not start");
        return point;
    }
    PeerProcess proxy;
    quint16 port = 0;
    if (!startProxy(proxy, serverPort, lossPercent, seconds, &port)) {
        point.note = QStringLiteral("proxy did not start");
        return point;
    }
    RESender relay(nullptr);
    relay.startRetransmit(QStringLiteral("127.0.0.1"), QString(), port, QStringLiteral("sweep"), kLatencyMs, QString(),
                          16, false);
    if (!testkit::waitUntil([&] { return relay.listenPort > 0; }, kWaitMs)) {
        point.note = QStringLiteral("no SRT connection");
        relay.stopRetransmit();
        relay.wait(kWaitMs);
        return point;
    }
    QTcpSocket encoder;
    encoder.connectToHost(QHostAddress::LocalHost, quint16(relay.listenPort.load()));
    if (!encoder.waitForConnected(kWaitMs)) {
        point.note = QStringLiteral("relay did not take the encoder");
        return point;
    }
    point.sent = countedts::stream(encoder, seconds, kTailMs);
    pause(300);
    point.retransmitted = relay.linkStats().retransmittedTotal;
    relay.stopRetransmit();
    relay.wait(kWaitMs);
    server.stop();
    proxy.stop();
    point.ran = true;
    check(&point, testkit::readFile(output));

    const QStringList rows = QString::fromLatin1(testkit::readFile(stats)).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    const QStringList header = rows.value(0).split(QLatin1Char(','));
    const QStringList last = rows.value(rows.size() - 1).split(QLatin1Char(','));
    const int loss = header.indexOf(QLatin1String("pktRcvLoss"));
    const int drop = header.indexOf(QLatin1String("pktRcvDrop"));
    // srt-live-transmit's figures count from the connection's start (-s with cumulative statistics).
    if (rows.size() > 1 && loss >= 0 && drop >= 0) {
        point.detected = last.value(loss).toLongLong();
        point.unrepaired = last.value(drop).toLongLong();
    }
    return point;
}

Point runRist(int lossPercent, int seconds, int bufferMs) {
    Point point;
    RistTestReceiver receiver;
    receiver.setInputOptions(QStringLiteral("buffer=%1").arg(bufferMs));
    receiver.setStatsIntervalMs(1000);
    if (!receiver.start()) {
        point.note = QStringLiteral("ristreceiver did not start");
        return point;
    }
    PeerProcess proxy;
    quint16 port = 0;
    if (!startProxy(proxy, receiver.port(), lossPercent, seconds, &port)) {
        point.note = QStringLiteral("proxy did not start");
        return point;
    }
    RESenderRist relay(nullptr);
    relay.setRistParams(0, 0, 0, kLatencyMs);
    relay.setBondings(QStringLiteral("127.0.0.1"));
    relay.startRetransmit(QStringLiteral("127.0.0.1:%1").arg(port), QString(), QStringLiteral("sweep"), QString());
    if (!testkit::waitUntil([&] { return relay.listenPort != 0; }, kWaitMs) || relay.listenPort < 0) {
        point.note = QStringLiteral("relay did not listen");
        return point;
    }
    QTcpSocket encoder;
    encoder.connectToHost(QHostAddress::LocalHost, quint16(relay.listenPort.load()));
    if (!encoder.waitForConnected(kWaitMs)) {
        point.note = QStringLiteral("relay did not take the encoder");
        return point;
    }
    // The receiver's buffer delays its output by that much on top of the repairs.
    point.sent = countedts::stream(encoder, seconds, kTailMs + bufferMs);
    // librist reports once a second; the last report must cover the tail.
    pause(1200);
    point.retransmitted = relay.linkStats().retransmittedTotal;
    const QJsonObject flow = receiver.flowTotals();
    relay.stopRetransmit();
    relay.wait(kWaitMs);
    proxy.stop();
    receiver.stop();
    point.ran = true;
    check(&point, receiver.data());
    if (flow.contains(QLatin1String("lost"))) {
        point.unrepaired = qint64(flow.value(QLatin1String("lost")).toDouble());
        point.detected = qint64(flow.value(QLatin1String("recovered")).toDouble()) + point.unrepaired;
        const qint64 wrapped = qint64(flow.value(QLatin1String("wrapped_reports")).toDouble());
        if (wrapped > 0)
            point.note = QStringLiteral("(%1 impossible librist figures left out)").arg(wrapped);
    }
    return point;
}

void print(const char *link, int lossPercent, const Point &point) {
    if (!point.ran) {
        std::printf("%-18s %3d %%  %s\n", link, lossPercent, qPrintable(point.note));
        std::fflush(stdout);
        return;
    }
    std::printf("%-18s %3d %%  %8lld / %-8u %6.2f %%  %6lld  %10llu  %8lld  %10lld\n", link, lossPercent,
                static_cast<long long>(point.delivered), point.sent,
                point.sent ? 100.0 * double(point.delivered) / double(point.sent) : 0.0,
                static_cast<long long>(point.continuityErrors), static_cast<unsigned long long>(point.retransmitted),
                static_cast<long long>(point.detected), static_cast<long long>(point.unrepaired));
    if (!point.note.isEmpty())
        std::printf("%-18s         %s\n", "", qPrintable(point.note));
    std::fflush(stdout);
}

// The relays narrate every step on the diagnostic stream; the table is what this run is for.
void quiet(QtMsgType type, const QMessageLogContext &, const QString &message) {
    if (type != QtDebugMsg && type != QtInfoMsg)
        std::fprintf(stderr, "%s\n", qPrintable(message));
}

} // namespace

int main(int argc, char **argv) {
    QCoreApplication app(argc, argv);
    qInstallMessageHandler(quiet);
    int seconds = qEnvironmentVariableIsSet("TIDEWELL_LOSSSWEEP_SECONDS")
                      ? qEnvironmentVariableIntValue("TIDEWELL_LOSSSWEEP_SECONDS")
                      : 20;
    if (argc > 1)
        seconds = std::atoi(argv[1]);
    if (seconds <= 0) {
        std::fprintf(stderr, "bench_losssweep: the seconds per point must be a positive number\n");
        return 2;
    }
    const bool haveSrt = testkit::haveProgram(QStringLiteral("srt-live-transmit"));
    const bool haveRist = testkit::haveProgram(QStringLiteral("ristreceiver"));
    if (!haveSrt && !haveRist) {
        std::fprintf(stderr, "bench_losssweep: needs srt-live-transmit or ristreceiver\n");
        return 1;
    }
    std::printf("Loss sweep: %d s per point, %d ms each way, 2.1 Mbit/s of TS packets\n", seconds, kDelayEachWayMs);
    std::printf("%-18s %5s  %19s %9s  %6s  %10s  %8s  %10s\n", "link", "loss", "TS delivered / sent", "share", "CC err",
                "retransmit", "detected", "unrepaired");
    for (const int loss : {5, 10, 15, 20}) {
        if (haveSrt)
            print("SRT 200 ms", loss, runSrt(loss, seconds));
        if (haveRist) {
            print("RIST buffer 200", loss, runRist(loss, seconds, 200));
            print("RIST buffer 1000", loss, runRist(loss, seconds, 1000));
        }
    }
    return 0;
}
