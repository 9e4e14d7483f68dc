#include "pathsocketbinder.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QHostAddress>

#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

struct OpenSocket {
    int fd;
    quint64 inode;
};

// The process's open sockets as (descriptor, inode): the inode tells a new socket from a reused descriptor.
QList<OpenSocket> openSockets() {
    QList<OpenSocket> sockets;
    const QStringList entries = QDir(QStringLiteral("/proc/self/fd")).entryList(QDir::System | QDir::NoDotAndDotDot);
    for (const QString &entry : entries) {
        const QString target = QFile::symLinkTarget(QStringLiteral("/proc/self/fd/") + entry);
        const QString link = QFileInfo(target).fileName();
        if (!link.startsWith(QLatin1String("socket:[")))
            continue;
        bool ok = false;
        const quint64 inode = link.mid(8, link.size() - 9).toULongLong(&ok);
        const int fd = entry.toInt();
        if (ok)
            sockets.append({fd, inode});
    }
    return sockets;
}

// An IPv4 datagram socket with no peer address: how librist opens a sending peer.
bool unconnectedUdp(int fd) {
    int type = 0;
    int domain = 0;
    socklen_t length = sizeof(type);
    if (getsockopt(fd, SOL_SOCKET, SO_TYPE, &type, &length) != 0 || type != SOCK_DGRAM)
        return false;
    length = sizeof(domain);
    if (getsockopt(fd, SOL_SOCKET, SO_DOMAIN, &domain, &length) != 0 || domain != AF_INET)
        return false;
    sockaddr_in peer{};
    length = sizeof(peer);
    return getpeername(fd, reinterpret_cast<sockaddr *>(&peer), &length) != 0 && errno == ENOTCONN;
}

} // namespace

PathSocketBinder::PathSocketBinder() {
    for (const OpenSocket &socket : openSockets())
        known.insert(socket.inode);
}

bool PathSocketBinder::bindNewSocket(const QString &device, QString *error) const {
    QList<int> candidates;
    for (const OpenSocket &socket : openSockets()) {
        if (!known.contains(socket.inode) && unconnectedUdp(socket.fd))
            candidates.append(socket.fd);
    }
    if (candidates.size() != 1) {
        *error = candidates.isEmpty() ? QStringLiteral("the peer opened no socket")
                                      : QStringLiteral("the peer's socket is not the only new one");
        return false;
    }
    const QByteArray name = device.toLocal8Bit();
    if (setsockopt(candidates.first(), SOL_SOCKET, SO_BINDTODEVICE, name.constData(), socklen_t(name.size())) != 0) {
        *error = QStringLiteral("cannot bind to %1: %2").arg(device, QString::fromLocal8Bit(std::strerror(errno)));
        return false;
    }
    return true;
}

QString PathSocketBinder::deviceOf(const QString &address) {
    const QHostAddress wanted(address);
    if (wanted.protocol() != QAbstractSocket::IPv4Protocol)
        return QString();
    ifaddrs *list = nullptr;
    if (getifaddrs(&list) != 0)
        return QString();
    QString device;
    for (ifaddrs *entry = list; entry; entry = entry->ifa_next) {
        if (!entry->ifa_addr || entry->ifa_addr->sa_family != AF_INET)
            continue;
        const auto *ipv4 = reinterpret_cast<const sockaddr_in *>(entry->ifa_addr);
        if (QHostAddress(ntohl(ipv4->sin_addr.s_addr)) == wanted) {
            device = QString::fromLocal8Bit(entry->ifa_name);
            break;
        }
    }
    freeifaddrs(list);
    return device;
}
