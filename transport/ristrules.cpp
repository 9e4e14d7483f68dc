#include "ristrules.h"

#include "resolvehost.h"

#include <QRegularExpression>
#include <QStringList>

namespace ristrules {

QList<BondingPath> parseBondings(const QString &text) {
    QList<BondingPath> paths;
    const QStringList parts = text.split(QLatin1Char(','), Qt::SkipEmptyParts);
    for (const QString &raw : parts) {
        const QString part = raw.trimmed();
        if (part.isEmpty())
            continue;
        BondingPath path;
        const int open = part.indexOf(QLatin1Char('('));
        path.address = (open < 0 ? part : part.left(open)).trimmed();
        if (open >= 0) {
            const QStringList pieces = part.mid(open + 1).split(QLatin1Char(')'), Qt::SkipEmptyParts);
            bool ok = false;
            const int weight = pieces.value(0).trimmed().toInt(&ok, 10);
            if (ok)
                path.weight = weight;
        }
        paths.append(path);
    }
    return paths;
}

QString encodeValue(const QString &value) {
    // librist splits the query at '&' and '=', and takes '?' and '#' as URL syntax; '%' itself must be encoded
    // so that an encoded value cannot be mistaken for another. The relay hands librist the raw value anyway,
    // so this only keeps the URL well formed.
    return QString::fromLatin1(value.toUtf8().toPercentEncoding(QByteArray(), "&?#=%+ "));
}

bool sourceUrl(const QString &entry, const QString &cname, const QString &secret, const RistParams &params,
               QString *url, QString *error) {
    QString text = entry.trimmed();
    // Keys the operator wrote into the entry itself (for example username and password) follow ours, as written.
    QString ownKeys;
    const int query = text.indexOf(QLatin1Char('?'));
    if (query >= 0) {
        ownKeys = text.mid(query + 1);
        text = text.left(query);
    }
    // Only the scheme and the host are free of case.
    text.remove(QStringLiteral("rist://"), Qt::CaseInsensitive);
    text = text.trimmed();
    if (text.contains(QLatin1Char('[')) || text.count(QLatin1Char(':')) > 1) {
        *error = QStringLiteral("IPv6 addresses are not supported");
        return false;
    }
    const QStringList parts = text.split(QLatin1Char(':'));
    const QString host = parts.value(0).trimmed().toLower();
    if (host.isEmpty()) {
        *error = QStringLiteral("no host given");
        return false;
    }
    const QString port = parts.value(1).trimmed();
    if (parts.size() == 2) {
        // librist would take a larger number modulo 65536, another port than the one written.
        static const QRegularExpression digits(QStringLiteral("^[0-9]{1,5}$"));
        const int number = port.toInt();
        if (!digits.match(port).hasMatch() || number < 1 || number > 65535) {
            *error = QStringLiteral("the port \"%1\" is not a number from 1 to 65535").arg(port);
            return false;
        }
    }
    const QString address = resolveHost(host);
    if (address.isEmpty()) {
        *error = QStringLiteral("the host %1 does not resolve to an IPv4 address").arg(host);
        return false;
    }
    QString built = QStringLiteral("rist://") + address;
    if (parts.size() == 2)
        built += QLatin1Char(':') + port;
    built += QStringLiteral("?cname=") + encodeValue(cname);
    // librist leaves a peer unencrypted when a secret comes without a key size: the operator's secret would be
    // ignored without a word. AES-128 is what librist's own tools use.
    if (!secret.isEmpty())
        built += QStringLiteral("&secret=") + encodeValue(secret) + QStringLiteral("&aes-type=128");
    if (params.rttMax != 0)
        built += QStringLiteral("&rtt-max=") + QString::number(params.rttMax);
    if (params.maxRetries != 0)
        built += QStringLiteral("&min-retries=1&max-retries=") + QString::number(params.maxRetries);
    if (params.reorderBuffer != 0)
        built += QStringLiteral("&reorder-buffer=") + QString::number(params.reorderBuffer);
    if (!ownKeys.isEmpty())
        built += QLatin1Char('&') + ownKeys;
    *url = built;
    return true;
}

QString peerUrl(const QString &source, const QString &interfaceAddress, int weight) {
    if (interfaceAddress.isEmpty())
        return source;
    return source + QStringLiteral("&miface=") + interfaceAddress + QStringLiteral("&weight=") +
           QString::number(weight);
}

QString maskSecrets(const QString &url) {
    static const QRegularExpression secretValue(QStringLiteral("([?&](?:secret|username|password)=)[^&]*"),
                                                QRegularExpression::CaseInsensitiveOption);
    QString masked = url;
    masked.replace(secretValue, QStringLiteral("\\1***"));
    return masked;
}

} // namespace ristrules
