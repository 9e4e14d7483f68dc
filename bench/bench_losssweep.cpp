// What the relays deliver over a lossy link: random loss of 0 to 20 % each way and 20 ms each way (the tests' UDP
// proxy), 20 s per point.
//
//   SRT, side by side with srt-live-transmit on the same library, both fed the same live x264 stream by ffmpeg
//   (tests/common/srtsidebyside.h), each through its own proxy to its own srt-live-transmit listener, latency
//   200 ms: continuity errors per 10 000 TS packets received, the TS packets received, and the receiving
//   library's figures (SRT packets received, found missing, given up); for ours the packets it retransmitted.
//   RIST: writer --TCP--> RESenderRist --RIST main profile---> proxy --> ristreceiver (buffer 200 ms or librist's
//         default 1000 ms) --UDP--> collector, a 2.1 Mbit/s stream of numbered TS packets: TS packets delivered of
//         those sent, continuity-counter errors, packets retransmitted, and librist's "detected" (recovered +
//         lost) and "unrepaired" (lost).
//
// Usage: bench_losssweep [seconds-per-point]; TIDEWELL_LOSSSWEEP_SECONDS does the same (default 20).
#include "countedts.h"
#include "peerprocess.h"
#include "resender.h"
#include "resenderrist.h"
#include "risttestreceiver.h"
#include "srtsidebyside.h"
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
// About what the program's Test Pattern takes at 720p, sound aside.
constexpr int kFeedKbps = 600;
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

// Ours and srt-live-transmit side by side, fed the same live stream: continuity errors per 10 000 TS packets.
struct SrtRow {
    srtsidebyside::Result result;
    quint64 retransmitted = 0;
};

SrtRow runSrt(int lossPercent, const QString &feed, int seconds) {
    SrtRow row;
    RESender relay(nullptr);
    srtsidebyside::Options options;
    options.feed = feed;
    options.feedSeconds = seconds;
    options.lossPercent = lossPercent;
    options.delayEachWayMs = kDelayEachWayMs;
    options.latencyMs = kLatencyMs;
    options.seed = lossPercent;
    options.startOurs = [&](quint16 port) -> quint16 {
        relay.startRetransmit(QStringLiteral("127.0.0.1"), QString(), port, QStringLiteral("sweep"), kLatencyMs,
                              QString(), 16, false);
        if (!testkit::waitUntil([&] { return relay.listenPort != 0; }, kWaitMs) || relay.listenPort < 0)
            return 0;
        return quint16(relay.listenPort.load());
    };
    options.stopOurs = [&] {
        row.retransmitted = relay.linkStats().retransmittedTotal;
        relay.stopRetransmit();
        relay.wait(kWaitMs);
    };
    row.result = srtsidebyside::run(options);
    return row;
}

void printSrt(int lossPercent, const SrtRow &row) {
    const srtsidebyside::Result &r = row.result;
    if (!r.ok()) {
        std::printf("%3d %%  %s\n", lossPercent, qPrintable(r.error));
        std::fflush(stdout);
        return;
    }
    std::printf("%3d %%  %7.1f %8lld %7lld %6lld %6lld %7llu   %7.1f %8lld %7lld %6lld %6lld\n", lossPercent,
                r.ours.errorsPer10k(), static_cast<long long>(r.ours.packets),
                static_cast<long long>(r.ours.srtPackets), static_cast<long long>(r.ours.srtLost),
                static_cast<long long>(r.ours.srtDropped), static_cast<unsigned long long>(row.retransmitted),
                r.reference.errorsPer10k(), static_cast<long long>(r.reference.packets),
                static_cast<long long>(r.reference.srtPackets), static_cast<long long>(r.reference.srtLost),
                static_cast<long long>(r.reference.srtDropped));
    std::fflush(stdout);
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
    const QList<int> losses = {0, 5, 10, 15, 20};
    if (haveSrt && testkit::haveProgram(QStringLiteral("ffmpeg"))) {
        QTemporaryDir dir;
        const QString feed = dir.filePath(QStringLiteral("feed.ts"));
        if (!srtsidebyside::makeFeed(feed, seconds, kFeedKbps)) {
            std::fprintf(stderr, "bench_losssweep: ffmpeg could not make the feed\n");
            return 1;
        }
        std::printf("SRT, latency %d ms, %d ms each way, side by side with srt-live-transmit: a live x264 stream of "
                    "%d kbit/s, %d s per point\n",
                    kLatencyMs, kDelayEachWayMs, kFeedKbps, seconds);
        std::printf("%5s  %-47s   %-30s\n", "", "Tidewell", "srt-live-transmit");
        std::printf("%5s  %7s %8s %7s %6s %6s %7s   %7s %8s %7s %6s %6s\n", "loss", "CC/10k", "TS recv", "SRT rcv",
                    "lost", "drop", "rexmit", "CC/10k", "TS recv", "SRT rcv", "lost", "drop");
        for (const int loss : losses)
            printSrt(loss, runSrt(loss, feed, seconds));
    } else if (haveSrt) {
        std::printf("SRT rows skipped: ffmpeg makes their feed\n");
    }
    if (!haveRist)
        return 0;
    std::printf("\nRIST, %d ms each way, 2.1 Mbit/s of numbered TS packets, %d s per point\n", kDelayEachWayMs,
                seconds);
    std::printf("%-18s %5s  %19s %9s  %6s  %10s  %8s  %10s\n", "link", "loss", "TS delivered / sent", "share", "CC err",
                "retransmit", "detected", "unrepaired");
    for (const int loss : {5, 10, 15, 20}) {
        print("RIST buffer 200", loss, runRist(loss, seconds, 200));
        print("RIST buffer 1000", loss, runRist(loss, seconds, 1000));
    }
    return 0;
}
