#pragma once

// Runs the speed test's worker across a shaped link between two namespaces, for the accuracy test and the
// benchmark. The worker cannot run inside a namespace from this process, so the executable that includes this
// re-runs itself there with --speedtest-probe; the receiver is srt-live-transmit in the other namespace, behind
// the tests' UDP proxy when a round trip is added.
//
// Needs threadtest.h (tidewell_transport) and TIDEWELL_UDPIMPAIRPROXY, the proxy executable's path.
#include "peerprocess.h"
#include "shapedlink.h"
#include "testkit.h"
#include "threadtest.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QProcess>
#include <QRegularExpression>
#include <QThread>

#include <srt/srt.h>

#include <cstdio>
#include <cstring>

namespace speedtestprobe {

constexpr char kProbeFlag[] = "--speedtest-probe";
// 10 MiB at the slowest rate measured (5 Mbit/s) take 17 s; the rest covers connecting and a slow machine.
constexpr int kProbeTimeoutMs = 60000;

inline bool isProbe(int argc, char **argv) {
    return argc > 1 && std::strcmp(argv[1], kProbeFlag) == 0;
}

// --speedtest-probe HOST PORT LATENCY: one test, one line "elapsed errors sent lost dropped rtt failure".
inline int runProbe(int argc, char **argv) {
    if (argc < 5)
        return 2;
    QCoreApplication app(argc, argv);
    srt_startup();
    int code = 0;
    {
        ThreadTest test(QString::fromLocal8Bit(argv[2]), QString(), std::atoi(argv[3]), QStringLiteral("probe"),
                        std::atoi(argv[4]), QString(), 16, false);
        test.start();
        if (!test.wait(kProbeTimeoutMs)) {
            test.requestStop();
            test.wait();
            code = 1;
        }
        const SRT_TRACEBSTATS &s = test.statistics();
        std::printf("RESULT %lld %d %lld %d %d %.3f %s\n", static_cast<long long>(test.elapsedMs()), test.errorCount(),
                    static_cast<long long>(s.pktSentTotal), s.pktSndLossTotal, s.pktSndDropTotal, s.msRTT,
                    qPrintable(test.failureText().isEmpty() ? QStringLiteral("-") : test.failureText()));
        std::fflush(stdout);
    }
    srt_cleanup();
    return code;
}

struct Measurement {
    bool ok = false;
    QString error;
    qint64 elapsedMs = 0;
    double speedKbps = 0; // what the dialog shows: 10 MiB over the elapsed time
    double rttMs = 0;
    qint64 sentPackets = 0;
    int lostPackets = 0;
    int droppedPackets = 0;
};

// One speed test over the link at the given rate and added round trip (half of it each way in the proxy).
inline Measurement measure(ShapedLink &link, double mbitPerSecond, int addedRttMs, const QString &self) {
    Measurement m;
    if (!link.setRate(mbitPerSecond, &m.error))
        return m;
    const quint16 srtPort = testkit::freePort(true);
    PeerProcess receiver;
    const QString listen = QStringLiteral("srt://:%1?mode=listener").arg(srtPort);
    if (!receiver.start(
            QStringLiteral("sh"),
            {QStringLiteral("-c"), QStringLiteral("exec ip netns exec %1 srt-live-transmit -q %2 file://con "
                                                  ">/dev/null")
                                       .arg(link.receiverNamespace(), listen)})) {
        m.error = receiver.output();
        return m;
    }
    quint16 port = srtPort;
    PeerProcess proxy;
    if (addedRttMs > 0) {
        const quint16 proxyPort = testkit::freePort(true);
        const QStringList arguments{QStringLiteral("%1:%2").arg(ShapedLink::receiverAddress()).arg(proxyPort),
                                    QStringLiteral("127.0.0.1:%1").arg(srtPort), QString::number(addedRttMs / 2)};
        if (!proxy.start(ShapedLink::runner(),
                         ShapedLink::inNamespace(link.receiverNamespace(), QStringLiteral(TIDEWELL_UDPIMPAIRPROXY),
                                                 arguments))) {
            m.error = proxy.output();
            return m;
        }
        port = proxyPort;
    }
    // Give the listener a moment to bind inside its namespace.
    QThread::msleep(300);

    QByteArray output;
    const int code =
        testkit::runProgram(ShapedLink::runner(),
                            ShapedLink::inNamespace(link.senderNamespace(), self,
                                                    {QLatin1String(kProbeFlag), ShapedLink::receiverAddress(),
                                                     QString::number(port), QStringLiteral("120")}),
                            kProbeTimeoutMs + 10000, &output);
    static const QRegularExpression line(QStringLiteral("RESULT (\\d+) (\\d+) (\\d+) (\\d+) (\\d+) ([\\d.]+) (.*)"));
    const QRegularExpressionMatch match = line.match(QString::fromLocal8Bit(output));
    if (code != 0 || !match.hasMatch() || match.captured(7).trimmed() != QLatin1String("-")) {
        m.error = QStringLiteral("probe (exit %1): %2").arg(code).arg(QString::fromLocal8Bit(output).right(2000));
        return m;
    }
    m.elapsedMs = match.captured(1).toLongLong();
    m.sentPackets = match.captured(3).toLongLong();
    m.lostPackets = match.captured(4).toInt();
    m.droppedPackets = match.captured(5).toInt();
    m.rttMs = match.captured(6).toDouble();
    m.speedKbps = m.elapsedMs > 0 ? 83886.0 / (m.elapsedMs / 1000.0) : 0;
    m.ok = m.elapsedMs > 0;
    return m;
}

} // namespace speedtestprobe
