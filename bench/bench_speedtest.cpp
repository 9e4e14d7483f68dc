// How close the speed test's figure comes to the rate of the link it measures: a tbf-shaped veth between two
// namespaces, at 5, 20 and 50 Mbit/s, with no added delay and with 40 ms of round trip added by the tests' UDP
// proxy. It prints the reported speed divided by the shaped rate (the target is 0.90 to 1.05; the figure is the
// payload rate, so SRT, UDP and IP headers keep it below 1) and, where iperf3 is installed, iperf3 -u's received
// rate on the same link without the added delay (iperf3 needs TCP, which the proxy does not carry).
//
// Needs root for the namespaces. Usage: bench_speedtest
#include "shapedlink.h"
#include "speedtestprobe.h"
#include "testkit.h"

#include <QCoreApplication>
#include <QJsonDocument>
#include <QJsonObject>

#include <cstdio>

namespace {

// iperf3 -u's received rate in Mbit/s over the link, offered 10 % more than the shaped rate; -1 if it failed.
double iperfMbps(ShapedLink &link, double mbit) {
    PeerProcess server;
    if (!server.start(ShapedLink::runner(), ShapedLink::inNamespace(link.receiverNamespace(), QStringLiteral("iperf3"),
                                                                    {QStringLiteral("-s"), QStringLiteral("-1")})))
        return -1;
    QThread::msleep(300);
    QByteArray output;
    const QStringList client{QStringLiteral("-c"),
                             ShapedLink::receiverAddress(),
                             QStringLiteral("-u"),
                             QStringLiteral("-b"),
                             QStringLiteral("%1M").arg(mbit * 1.1),
                             QStringLiteral("-l"),
                             QStringLiteral("1316"),
                             QStringLiteral("-t"),
                             QStringLiteral("5"),
                             QStringLiteral("-J")};
    if (testkit::runProgram(ShapedLink::runner(),
                            ShapedLink::inNamespace(link.senderNamespace(), QStringLiteral("iperf3"), client), 20000,
                            &output) != 0)
        return -1;
    const QJsonObject sum = QJsonDocument::fromJson(output)
                                .object()
                                .value(QStringLiteral("end"))
                                .toObject()
                                .value(QStringLiteral("sum"))
                                .toObject();
    const double bits = sum.value(QStringLiteral("bits_per_second")).toDouble();
    const double lost = sum.value(QStringLiteral("lost_percent")).toDouble();
    return bits / 1e6 * (1.0 - lost / 100.0);
}

} // namespace

int main(int argc, char **argv) {
    if (speedtestprobe::isProbe(argc, argv))
        return speedtestprobe::runProbe(argc, argv);
    QCoreApplication app(argc, argv);
    if (!testkit::haveProgram(QStringLiteral("srt-live-transmit"))) {
        std::printf("bench_speedtest: skipped, srt-live-transmit is not installed\n");
        return 0;
    }
    ShapedLink link(QStringLiteral("i10b"));
    QString error;
    if (!link.setUp(&error)) {
        std::printf("bench_speedtest: skipped, network namespaces are not available: %s\n", qPrintable(error));
        return 0;
    }
    const bool iperf = testkit::haveProgram(QStringLiteral("iperf3"));
    std::printf("speed test over a tbf-shaped veth; target reported/rate 0.90-1.05 (payload rate, headers not "
                "counted)\n");
    std::printf("link Mbit/s  added RTT ms  reported kbit/s  reported/rate  seconds  RTT ms  iperf3 -u Mbit/s\n");
    for (const double mbit : {5.0, 20.0, 50.0}) {
        const double iperfRate = iperf ? iperfMbps(link, mbit) : -1;
        for (const int rtt : {0, 40}) {
            const speedtestprobe::Measurement m =
                speedtestprobe::measure(link, mbit, rtt, QCoreApplication::applicationFilePath());
            if (!m.ok) {
                std::printf("%11.0f  %12d  FAILED: %s\n", mbit, rtt, qPrintable(m.error.left(300)));
                continue;
            }
            const QString iperfText = !iperf    ? QStringLiteral("(iperf3 not installed)")
                                      : rtt > 0 ? QStringLiteral("-")
                                                : QString::number(iperfRate, 'f', 2);
            std::printf("%11.0f  %12d  %15.0f  %13.3f  %7.2f  %6.1f  %s\n", mbit, rtt, m.speedKbps,
                        m.speedKbps / (mbit * 1000), m.elapsedMs / 1000.0, m.rttMs, qPrintable(iperfText));
            std::fflush(stdout);
        }
    }
    return 0;
}
