#include "risttestreceiver.h"

#include "testkit.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QUdpSocket>

#include <netinet/in.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

namespace testkit {

int udpSocketInNamespace(const QString &netns) {
    int fd = -1;
    // setns moves only the calling thread, so a short-lived thread makes the socket and the test stays put; the
    // socket keeps its namespace for life.
    std::thread maker([&fd, &netns] {
        if (!testkit::enterNetworkNamespace(netns))
            return;
        fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (fd >= 0 && ::bind(fd, reinterpret_cast<sockaddr *>(&address), sizeof(address)) != 0) {
            ::close(fd);
            fd = -1;
        }
    });
    maker.join();
    return fd;
}

} // namespace testkit

RistTestReceiver::RistTestReceiver() = default;

RistTestReceiver::~RistTestReceiver() {
    stop();
}

bool RistTestReceiver::start(const QString &secret, const QString &netns, const QString &listenAddress, quint16 port) {
    collector = std::make_unique<QUdpSocket>();
    if (netns.isEmpty()) {
        if (!collector->bind(QHostAddress(QHostAddress::LocalHost), 0))
            return false;
    } else {
        const int fd = testkit::udpSocketInNamespace(netns);
        if (fd < 0 || !collector->setSocketDescriptor(fd, QAbstractSocket::BoundState))
            return false;
    }
    // The test reads only when its event loop runs; a burst must wait in the socket rather than be dropped.
    const int bufferSize = 8 << 20;
    if (::setsockopt(int(collector->socketDescriptor()), SOL_SOCKET, SO_RCVBUFFORCE, &bufferSize, sizeof(bufferSize)) !=
        0)
        ::setsockopt(int(collector->socketDescriptor()), SOL_SOCKET, SO_RCVBUF, &bufferSize, sizeof(bufferSize));
    QObject::connect(collector.get(), &QUdpSocket::readyRead, [this] {
        while (collector->hasPendingDatagrams()) {
            QByteArray datagram(int(collector->pendingDatagramSize()), Qt::Uninitialized);
            const qint64 got = collector->readDatagram(datagram.data(), datagram.size());
            if (got > 0)
                received.append(datagram.constData(), int(got));
        }
    });
    ristPort = port ? port : testkit::freePort(true);
    QString input = QStringLiteral("rist://@%1:%2").arg(listenAddress).arg(ristPort);
    if (!inputQuery.isEmpty())
        input += QLatin1Char('?') + inputQuery;
    const QString output = QStringLiteral("udp://127.0.0.1:%1").arg(collector->localPort());
    QStringList arguments{QStringLiteral("-i"), input, QStringLiteral("-o"), output, QStringLiteral("-S"),
                          QString::number(statsIntervalMs),
                          // Statistics come at the info level.
                          QStringLiteral("-v"), QLatin1String(statsIntervalMs > 0 ? "6" : "4")};
    // On the command line the secret needs no URL escaping (librist reads URL values literally).
    if (!secret.isEmpty())
        arguments << QStringLiteral("-s") << secret << QStringLiteral("-e") << QStringLiteral("128");
    if (!srpFile.isEmpty())
        arguments << QStringLiteral("-F") << srpFile;
    QString program = QStringLiteral("ristreceiver");
    if (!netns.isEmpty()) {
        arguments = QStringList{QStringLiteral("netns"), QStringLiteral("exec"), netns, program} + arguments;
        program = QStringLiteral("ip");
    }
    if (!process.start(program, arguments))
        return false;
    return testkit::waitUntil([&] { return testkit::udpPortBound(ristPort, netns); }, 10000, 50);
}

void RistTestReceiver::stop() {
    process.stop();
}

QByteArray RistTestReceiver::data() {
    return received;
}

QJsonObject RistTestReceiver::flowTotals() {
    // Statistics lines are JSON objects after the log prefix "time|...|[INFO] ": one per interval with that
    // interval's figures, and one with running totals of the flow. librist 0.2.7 now and then reports some 65000
    // lost packets for one interval after packets were dropped late (it looks like a 16-bit sequence difference
    // gone negative), and its running total takes that over; so the totals here are sums of the interval figures,
    // without the impossible ones, which "wrapped_reports" counts.
    QJsonObject totals;
    const QLatin1String summed[] = {QLatin1String("received"),     QLatin1String("recovered_total"),
                                    QLatin1String("lost"),         QLatin1String("retries"),
                                    QLatin1String("dropped_late"), QLatin1String("dropped_full")};
    qint64 sums[6] = {};
    qint64 wrapped = 0;
    const QStringList lines = output().split(QLatin1Char('\n'));
    for (const QString &line : lines) {
        const int at = line.indexOf(QLatin1String("{\"receiver-stats\""));
        if (at < 0)
            continue;
        const QJsonObject instant = QJsonDocument::fromJson(line.mid(at).toUtf8())
                                        .object()
                                        .value(QLatin1String("receiver-stats"))
                                        .toObject()
                                        .value(QLatin1String("flowinstant"))
                                        .toObject();
        const QJsonObject stats = instant.value(QLatin1String("stats")).toObject();
        // No interval can lose more than half the sequence space; an interval carries a few hundred packets.
        constexpr qint64 kImpossible = 1 << 15;
        for (int i = 0; i < 6; ++i) {
            const qint64 value = qint64(stats.value(summed[i]).toDouble());
            if (value >= kImpossible)
                ++wrapped;
            else
                sums[i] += value;
        }
        const QJsonObject peer = instant.value(QLatin1String("peers")).toArray().at(0).toObject();
        if (peer.contains(QLatin1String("stats")))
            totals.insert(QStringLiteral("rtt"),
                          peer.value(QLatin1String("stats")).toObject().value(QLatin1String("avg_rtt")));
    }
    for (int i = 0; i < 6; ++i)
        totals.insert(summed[i] == QLatin1String("recovered_total") ? QStringLiteral("recovered") : QString(summed[i]),
                      sums[i]);
    totals.insert(QStringLiteral("wrapped_reports"), wrapped);
    return totals;
}
