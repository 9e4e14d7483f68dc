#include "connectsrt.h"

#include "pathsocketbinder.h"

#include <QDebug>

#include <srt/srt.h>

#include <arpa/inet.h>
#include <netinet/in.h>

#include <chrono>
#include <cstring>
#include <thread>

namespace {

// Every loss-less connection asks for this MSS; live ones keep the default (see livePayload).
constexpr int kMss = 1052;

// A live message must travel in one packet: the relay sends seven 188-byte TS packets per message. What is left of
// the MSS for payload is the MSS less the IP, UDP and SRT headers.
constexpr int kLiveMessage = 1316;
constexpr int kUdpHeader = 8;
constexpr int kSrtHeader = 16;

int livePayload(int mss, bool ipv6) {
    return mss - (ipv6 ? 40 : 20) - kUdpHeader - kSrtHeader;
}

// An IPv4 or IPv6 literal (the host is resolved before it gets here) as a socket address; false for anything else.
bool parseAddress(const QString &text, quint16 port, sockaddr_storage *address, int *length) {
    std::memset(address, 0, sizeof(*address));
    const QByteArray bytes = text.toLocal8Bit();
    auto *v4 = reinterpret_cast<sockaddr_in *>(address);
    if (inet_pton(AF_INET, bytes.constData(), &v4->sin_addr) == 1) {
        v4->sin_family = AF_INET;
        v4->sin_port = htons(port);
        *length = static_cast<int>(sizeof(sockaddr_in));
        return true;
    }
    auto *v6 = reinterpret_cast<sockaddr_in6 *>(address);
    if (inet_pton(AF_INET6, bytes.constData(), &v6->sin6_addr) == 1) {
        v6->sin6_family = AF_INET6;
        v6->sin6_port = htons(port);
        *length = static_cast<int>(sizeof(sockaddr_in6));
        return true;
    }
    return false;
}

void setIntOption(int socket, SRT_SOCKOPT option, const char *name, int value) {
    setSRTOption(socket, option, QString::fromLatin1(name), &value, static_cast<int>(sizeof(value)));
}

// A socket created here and not handed to the caller must not stay open in the library.
QString fail(SRTSOCKET created, const char *text) {
    srt_close(created);
    return QString::fromLatin1(text);
}

} // namespace

void setSRTOption(int socket, int option, const QString &name, const void *value, int length) {
    if (srt_setsockopt(socket, 0, static_cast<SRT_SOCKOPT>(option), value, length) < 0)
        qDebug() << "-- failed to set option " << name << " on socket:" << srt_getlasterror_str();
}

int srtSendAll(int socket, const char *data, int length) {
    int sent = 0;
    while (sent < length) {
        const int result = srt_send(socket, data + sent, length - sent);
        if (result < 1)
            return result;
        sent += result;
    }
    return sent;
}

QString connectSRT(int &socket, const QString &host, const QString &interfaceAddress, quint16 port,
                   const QString &streamId, int latency, const QString &passphrase, int keyLength, bool lossless,
                   const std::function<bool(int)> &beforeConnect) {
    socket = SRT_INVALID_SOCK;

    const SRTSOCKET created = srt_create_socket();
    if (created == SRT_INVALID_SOCK)
        return QStringLiteral("srt_create_socket FAILED");

    sockaddr_storage destination;
    int destinationLength = 0;
    if (!parseAddress(host, port, &destination, &destinationLength))
        return fail(created, "init_pton FAILED");
    const bool ipv6 = destination.ss_family == AF_INET6;

    QString id = streamId;
    if (lossless) {
        id += QStringLiteral("#lossless");
        setIntOption(created, SRTO_TRANSTYPE, "SRTO_TRANSTYPE", SRTT_FILE);
    } else {
        setIntOption(created, SRTO_TRANSTYPE, "SRTO_TRANSTYPE", SRTT_LIVE);
    }

    // The library takes an MSS only before the bind. In live mode an MSS too small for one message splits every
    // message over two packets; the library's receiver then drops a message as soon as one of its packets is late,
    // so under loss whole messages vanish. Newer library releases refuse such an MSS in live mode; it is refused
    // here the same way and the default kept.
    if (!lossless && livePayload(kMss, ipv6) < kLiveMessage)
        qDebug() << "-- failed to set option " << QStringLiteral("SRTO_MSS") << " on socket:"
                 << QStringLiteral("MSS %1 leaves %2 bytes of payload, less than a %3-byte live message")
                        .arg(kMss)
                        .arg(livePayload(kMss, ipv6))
                        .arg(kLiveMessage);
    else
        setIntOption(created, SRTO_MSS, "SRTO_MSS", kMss);

    if (!interfaceAddress.isEmpty()) {
        sockaddr_storage local;
        int localLength = 0;
        if (!parseAddress(interfaceAddress, 0, &local, &localLength))
            return fail(created, "bind InternetInterface FAILED");
        // "All interfaces" is written as 0.0.0.0 whatever the server's family; an IPv6 server needs "::".
        if (ipv6 && local.ss_family == AF_INET &&
            reinterpret_cast<const sockaddr_in &>(local).sin_addr.s_addr == htonl(INADDR_ANY))
            parseAddress(QStringLiteral("::"), 0, &local, &localLength);
        // An address alone picks the source, not the way out: the kernel routes by the destination, and with two
        // links to the server (a main and a backup) both streams would leave by the preferred one, from the other's
        // address. The device holding the address is the way out. Without the right to bind to a device, or with a
        // library built without it, the address binding alone stays, as before.
        const QString device =
            local.ss_family == destination.ss_family ? PathSocketBinder::deviceOf(interfaceAddress) : QString();
        if (!device.isEmpty()) {
            const QByteArray name = device.toLocal8Bit();
            if (srt_setsockflag(created, SRTO_BINDTODEVICE, name.constData(), name.size()) != 0)
                qDebug() << "-- failed to set option " << QStringLiteral("SRTO_BINDTODEVICE") << device
                         << " on socket:" << srt_getlasterror_str();
        }
        // A failed bind is not fatal: the connection is still attempted from an unbound socket. A socket bound
        // to the other family could not reach the server at all, so such an address is not bound.
        const bool bound = local.ss_family == destination.ss_family &&
                           srt_bind(created, reinterpret_cast<const sockaddr *>(&local), localLength) == 0;
        qDebug() << "bind" << interfaceAddress << bound;
    }

    const QByteArray idBytes = id.toLocal8Bit();
    if (srt_setsockopt(created, 0, SRTO_STREAMID, idBytes.constData(), idBytes.size()) == -1)
        return fail(created, "set streamid FAILED");

    if (!lossless)
        setIntOption(created, SRTO_PEERLATENCY, "SRTO_PEERLATENCY", latency);

    if (!passphrase.isEmpty()) {
        const QByteArray secret = passphrase.toLocal8Bit();
        setSRTOption(created, SRTO_PASSPHRASE, QStringLiteral("SRTO_PASSPHRASE"), secret.constData(), secret.size());
        setIntOption(created, SRTO_PBKEYLEN, "SRTO_PBKEYLEN", keyLength);
    }

    if (beforeConnect && !beforeConnect(created))
        return fail(created, "SRT CONNECT FAILED");

    if (srt_connect(created, reinterpret_cast<const sockaddr *>(&destination), destinationLength) == -1)
        return fail(created, "SRT CONNECT FAILED");

    socket = created;
    return QString();
}

bool waitForSrtConnection(int socket, const std::atomic<bool> &stop, int pollMs) {
    // The library ends a pending connect after its connect timeout. Should a socket ever stay "connecting" past
    // that, the wait still ends shortly after, as a failed attempt, so that no caller hangs on it.
    constexpr int kBeyondLibraryTimeoutMs = 2000;
    int connectTimeoutMs = 3000;
    int length = sizeof(connectTimeoutMs);
    srt_getsockflag(socket, SRTO_CONNTIMEO, &connectTimeoutMs, &length);
    const auto deadline =
        std::chrono::steady_clock::now() + std::chrono::milliseconds(connectTimeoutMs + kBeyondLibraryTimeoutMs);
    for (;;) {
        const SRT_SOCKSTATUS state = srt_getsockstate(socket);
        if (state == SRTS_CONNECTED)
            return true;
        if (state != SRTS_CONNECTING && state != SRTS_OPENED && state != SRTS_INIT)
            return false;
        if (stop.load() || std::chrono::steady_clock::now() >= deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(pollMs));
    }
}
