#include "countedts.h"

#include "peerprocess.h"
#include "testkit.h"

#include <QElapsedTimer>
#include <QTcpSocket>
#include <QTest>

namespace countedts {

namespace {
constexpr int kTickMs = 10;
constexpr int kPerTick = 14;
} // namespace

QByteArray packet(quint32 sequence) {
    QByteArray bytes(kPacketSize, char(0xff));
    bytes[0] = 0x47;
    bytes[1] = 0x01;
    bytes[2] = 0x00;
    bytes[3] = char(0x10 | (sequence & 0x0f));
    for (int i = 0; i < 4; ++i)
        bytes[4 + i] = char(sequence >> (8 * i));
    return bytes;
}

QByteArray stuffing(int count) {
    QByteArray null(kPacketSize, char(0xff));
    null[0] = 0x47;
    null[1] = 0x1f;
    null[3] = 0x10;
    return null.repeated(count);
}

quint32 stream(QTcpSocket &encoder, int seconds, int tailMs) {
    quint32 sent = 0;
    QElapsedTimer clock;
    clock.start();
    while (clock.elapsed() < seconds * 1000) {
        const quint32 due = quint32(clock.elapsed() / kTickMs + 1) * kPerTick;
        QByteArray bytes;
        for (; sent < due; ++sent)
            bytes += packet(sent);
        encoder.write(bytes);
        encoder.waitForBytesWritten(5);
        QTest::qWait(5);
    }
    const QByteArray tail = stuffing(kPerTick);
    const qint64 tailEnd = clock.elapsed() + tailMs;
    while (clock.elapsed() < tailEnd) {
        encoder.write(tail);
        encoder.waitForBytesWritten(5);
        QTest::qWait(kTickMs);
    }
    encoder.waitForBytesWritten(1000);
    return sent;
}

quint16 proxyPort(PeerProcess &proxy, int timeoutMs) {
    quint16 port = 0;
    testkit::waitUntil(
        [&] {
            const QString text = proxy.output();
            const int at = text.indexOf(QLatin1String("listening "));
            if (at >= 0)
                port = text.mid(at + 10).section(QLatin1Char('\n'), 0, 0).toUShort();
            return port != 0;
        },
        timeoutMs);
    return port;
}

} // namespace countedts
