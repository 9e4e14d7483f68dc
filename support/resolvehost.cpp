#include "resolvehost.h"

#include <QHostAddress>
#include <QHostInfo>

QString resolveHost(const QString &host, bool ipv6Fallback) {
    QHostAddress address;
    if (address.setAddress(host))
        return address.toString();

    const QHostInfo info = QHostInfo::fromName(host);
    if (info.error() != QHostInfo::NoError)
        return QString();
    const QList<QHostAddress> addresses = info.addresses();
    for (const QHostAddress &candidate : addresses) {
        if (candidate.protocol() == QAbstractSocket::IPv4Protocol)
            return candidate.toString();
    }
    if (ipv6Fallback) {
        for (const QHostAddress &candidate : addresses) {
            if (candidate.protocol() == QAbstractSocket::IPv6Protocol)
                return candidate.toString();
        }
    }
    return QString();
}
