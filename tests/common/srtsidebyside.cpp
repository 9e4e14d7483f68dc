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
// The listeners write their statistics every this many packets.
constexpr int kStatsEvery = 100;

quint16 startProxy(PeerProcess &proxy, quint16 target, const Options &options) {
    return startImpairProxy(proxy, target,
                            {QString::number(options.delayEachWayMs), QString::number(options.lossPercent),
                             QStringLiteral("--seed=%1").arg(options.seed)});
}

QStringList feedArguments(const QString &feed, const QString &output, bool perPacket) {
    QStringList arguments = QStringLiteral("-hide_banner -loglevel error -re -i").split(QLatin1Char(' '));
    arguments << feed << QStringLiteral("-c") << QStringLiteral("copy") << QStringLiteral("-f")
              << QStringLiteral("mpegts");
    if (perPacket)
        arguments << QStringLiteral("-flush_packets") << QStringLiteral("1");
    return arguments << output;
}

Side check(const QString &path) {
    TsContinuity checker;
    checker.feed(testkit::readFile(path));
    Side side;
    side.ran = true;
    side.packets = checker.packets() - checker.nullPackets();
    side.continuityErrors = checker.continuityErrors();
    side.missing = checker.missingPackets();
    const QMap<QString, QString> figures = lastSrtStats(path + QStringLiteral(".csv"));
    const auto figure = [&](const char *name) {
        return figures.value(QLatin1String(name), QStringLiteral("-1")).toLongLong();
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
    const QStringList arguments =
        QStringLiteral(
            "-hide_banner -loglevel error -y -f lavfi -i testsrc2=size=1280x720:rate=25:duration=%1 "
            "-f lavfi -i sine=frequency=1000:sample_rate=48000:duration=%1 "
            "-c:v libx264 -preset veryfast -g 25 -b:v %2 -maxrate %2 -bufsize %2 -c:a aac -b:a 64k -f mpegts")
            .arg(duration, rate)
            .split(QLatin1Char(' '));
    return testkit::runProgram(QStringLiteral("ffmpeg"), arguments + QStringList{path}, 120000) == 0;
}

Result run(const Options &options) {
    Result result;
    QTemporaryDir dir;
    const QString oursPath = dir.filePath(QStringLiteral("ours.ts"));
    const QString referencePath = dir.filePath(QStringLiteral("reference.ts"));
    PeerProcess oursServer;
    PeerProcess referenceServer;
    const quint16 oursServerPort = testkit::freePort(true);
    if (!startSrtStatsServer(oursServer, oursServerPort, oursPath, options.latencyMs, kStatsEvery)) {
        result.error = QStringLiteral("srt-live-transmit did not listen: ") + oursServer.output();
        return result;
    }
    const quint16 referenceServerPort = testkit::freePort(true);
    if (!startSrtStatsServer(referenceServer, referenceServerPort, referencePath, options.latencyMs, kStatsEvery)) {
        result.error = QStringLiteral("srt-live-transmit did not listen: ") + referenceServer.output();
        return result;
    }
    PeerProcess oursProxy;
    PeerProcess referenceProxy;
    const quint16 oursProxyPort = startProxy(oursProxy, oursServerPort, options);
    const quint16 referenceProxyPort = startProxy(referenceProxy, referenceServerPort, options);
    if (oursProxyPort == 0 || referenceProxyPort == 0) {
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
