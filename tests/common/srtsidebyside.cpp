#include "srtsidebyside.h"

#include "countedts.h"
#include "peerprocess.h"
#include "testkit.h"
#include "tscontinuity.h"

#include <QTemporaryDir>
#include <QTest>

namespace srtsidebyside {

namespace {

constexpr int kWaitMs = 10000;
// After the feed ends: the receiver's latency and a few round trips repair the last losses.
constexpr int kTailMs = 1500;
// The feed runs at its own pace; beyond its length by this much something is stuck.
constexpr int kFeedSlackMs = 20000;
// The reference's input: one SRT message per datagram, and 1316 bytes is the live payload.
constexpr int kDatagram = 1316;

bool startProxy(PeerProcess &proxy, quint16 target, const Options &options, quint16 *port) {
    if (!proxy.start(QStringLiteral(TIDEWELL_UDPIMPAIRPROXY),
                     {QStringLiteral("127.0.0.1:0"), QStringLiteral("127.0.0.1:%1").arg(target),
                      QString::number(options.delayEachWayMs), QString::number(options.lossPercent),
                      QStringLiteral("--duration=600"), QStringLiteral("--seed=%1").arg(options.seed)}))
        return false;
    *port = countedts::proxyPort(proxy, kWaitMs);
    return *port != 0;
}

QStringList feedArguments(const QString &feed, const QString &output, bool perPacket) {
    QStringList arguments{QStringLiteral("-hide_banner"), QStringLiteral("-loglevel"), QStringLiteral("error"),
                          QStringLiteral("-re"),          QStringLiteral("-i"),        feed,
                          QStringLiteral("-c"),           QStringLiteral("copy"),      QStringLiteral("-f"),
                          QStringLiteral("mpegts")};
    if (perPacket)
        arguments << QStringLiteral("-flush_packets") << QStringLiteral("1");
    return arguments << output;
}

// srt-live-transmit as the listener, writing what it receives to a file and its cumulative statistics as CSV.
bool startServer(PeerProcess &server, quint16 port, const QString &output, int latencyMs) {
    return server.start(QStringLiteral("sh"),
                        {QStringLiteral("-c"),
                         QStringLiteral("exec srt-live-transmit -q -s 100 -f -pf csv -statsout \"$1.csv\" "
                                        "\"srt://127.0.0.1:$2?mode=listener&latency=$3\" file://con > \"$1\""),
                         QStringLiteral("sh"), output, QString::number(port), QString::number(latencyMs)}) &&
           testkit::waitUntil([port] { return testkit::udpPortBound(port); }, kWaitMs);
}

Side check(const QString &path) {
    TsContinuity checker;
    checker.feed(testkit::readFile(path));
    Side side;
    side.ran = true;
    side.packets = checker.packets() - checker.nullPackets();
    side.continuityErrors = checker.continuityErrors();
    side.missing = checker.missingPackets();
    const QStringList rows = QString::fromLatin1(testkit::readFile(path + QStringLiteral(".csv")))
                                 .split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    const QStringList header = rows.value(0).split(QLatin1Char(','));
    const QStringList last = rows.value(rows.size() - 1).split(QLatin1Char(','));
    const auto figure = [&](const char *name) {
        const int at = header.indexOf(QLatin1String(name));
        return rows.size() > 1 && at >= 0 ? last.value(at).toLongLong() : -1;
    };
    side.srtPackets = figure("pktRecv");
    side.srtLost = figure("pktRcvLoss");
    side.srtDropped = figure("pktRcvDrop");
    return side;
}

} // namespace

bool makeFeed(const QString &path, int seconds, int videoKbps) {
    // A key frame a second, as the program's encoders are set up, and a rate bound as tight as a live encoder's.
    const QString duration = QString::number(seconds);
    const QString rate = QStringLiteral("%1k").arg(videoKbps);
    return testkit::runProgram(QStringLiteral("ffmpeg"),
                               {QStringLiteral("-hide_banner"),
                                QStringLiteral("-loglevel"),
                                QStringLiteral("error"),
                                QStringLiteral("-y"),
                                QStringLiteral("-f"),
                                QStringLiteral("lavfi"),
                                QStringLiteral("-i"),
                                QStringLiteral("testsrc2=size=1280x720:rate=25:duration=") + duration,
                                QStringLiteral("-f"),
                                QStringLiteral("lavfi"),
                                QStringLiteral("-i"),
                                QStringLiteral("sine=frequency=1000:sample_rate=48000:duration=") + duration,
                                QStringLiteral("-c:v"),
                                QStringLiteral("libx264"),
                                QStringLiteral("-preset"),
                                QStringLiteral("veryfast"),
                                QStringLiteral("-g"),
                                QStringLiteral("25"),
                                QStringLiteral("-b:v"),
                                rate,
                                QStringLiteral("-maxrate"),
                                rate,
                                QStringLiteral("-bufsize"),
                                rate,
                                QStringLiteral("-c:a"),
                                QStringLiteral("aac"),
                                QStringLiteral("-b:a"),
                                QStringLiteral("64k"),
                                QStringLiteral("-f"),
                                QStringLiteral("mpegts"),
                                path},
                               120000) == 0;
}

Result run(const Options &options) {
    Result result;
    QTemporaryDir dir;
    const QString oursPath = dir.filePath(QStringLiteral("ours.ts"));
    const QString referencePath = dir.filePath(QStringLiteral("reference.ts"));
    PeerProcess oursServer;
    PeerProcess referenceServer;
    const quint16 oursServerPort = testkit::freePort(true);
    if (!startServer(oursServer, oursServerPort, oursPath, options.latencyMs)) {
        result.error = QStringLiteral("srt-live-transmit did not listen: ") + oursServer.output();
        return result;
    }
    const quint16 referenceServerPort = testkit::freePort(true);
    if (!startServer(referenceServer, referenceServerPort, referencePath, options.latencyMs)) {
        result.error = QStringLiteral("srt-live-transmit did not listen: ") + referenceServer.output();
        return result;
    }
    PeerProcess oursProxy;
    PeerProcess referenceProxy;
    quint16 oursProxyPort = 0;
    quint16 referenceProxyPort = 0;
    if (!startProxy(oursProxy, oursServerPort, options, &oursProxyPort) ||
        !startProxy(referenceProxy, referenceServerPort, options, &referenceProxyPort)) {
        result.error = QStringLiteral("the proxy did not start: ") + oursProxy.output() + referenceProxy.output();
        return result;
    }

    const quint16 relayPort = options.startOurs(oursProxyPort);
    if (relayPort == 0) {
        result.error = QStringLiteral("our relay did not listen");
        return result;
    }
    const quint16 referenceInput = testkit::freePort(true);
    PeerProcess reference;
    if (!reference.start(QStringLiteral("srt-live-transmit"),
                         {QStringLiteral("-q"), QStringLiteral("-c:%1").arg(kDatagram),
                          QStringLiteral("udp://127.0.0.1:%1").arg(referenceInput),
                          QStringLiteral("srt://127.0.0.1:%1?mode=caller&latency=%2")
                              .arg(referenceProxyPort)
                              .arg(options.latencyMs)}) ||
        !testkit::waitUntil([&] { return testkit::udpPortBound(referenceInput); }, kWaitMs)) {
        result.error = QStringLiteral("the reference sender did not start: ") + reference.output();
        options.stopOurs();
        return result;
    }

    // Both callers connect before the feeds start, so that neither stream's first second is spent connecting.
    QTest::qWait(500);
    PeerProcess oursFeed;
    PeerProcess referenceFeed;
    const bool fed =
        oursFeed.start(QStringLiteral("ffmpeg"),
                       feedArguments(options.feed, QStringLiteral("tcp://127.0.0.1:%1").arg(relayPort), true)) &&
        referenceFeed.start(
            QStringLiteral("ffmpeg"),
            feedArguments(options.feed,
                          QStringLiteral("udp://127.0.0.1:%1?pkt_size=%2").arg(referenceInput).arg(kDatagram), false));
    const int feedMs = options.feedSeconds * 1000 + kFeedSlackMs;
    const bool ended = fed && oursFeed.waitForExit(feedMs) && referenceFeed.waitForExit(feedMs);
    QTest::qWait(kTailMs);
    options.stopOurs();
    reference.stop();
    oursServer.stop();
    referenceServer.stop();
    oursProxy.stop();
    referenceProxy.stop();
    if (!ended) {
        result.error = QStringLiteral("a feed did not end: ") + oursFeed.output() + referenceFeed.output();
        return result;
    }
    result.ours = check(oursPath);
    result.reference = check(referencePath);
    if (result.ours.packets == 0 || result.reference.packets == 0)
        result.error = QStringLiteral("nothing arrived (ours %1, reference %2 TS packets)")
                           .arg(result.ours.packets)
                           .arg(result.reference.packets);
    return result;
}

} // namespace srtsidebyside
