// The RIST server text is fuzzed without name lookups: a fuzz run must never reach a name server. Addresses are
// normalised as the real function does; every name stands for the loopback address.
#include "resolvehost.h"

#include <QHostAddress>

QString resolveHost(const QString &host, bool) {
    QHostAddress address;
    if (address.setAddress(host))
        return address.toString();
    return QStringLiteral("127.0.0.1");
}
