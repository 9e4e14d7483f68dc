#pragma once

#include <QList>
#include <QString>

// The texts of the RIST relay: bonding path tokens, the rist:// URLs built from the operator's server entries,
// and their masked form for logs. Kept free of librist so that they can be checked on their own.
namespace ristrules {

// One local path of a bonded stream: the IPv4 address of a local interface and its librist weight.
struct BondingPath {
    QString address;
    int weight = 1;
};

// The four numbers of the RIST parameter boxes; 0 leaves librist's default in place.
struct RistParams {
    int rttMax = 0;
    int maxRetries = 0;
    int retriesBuffer = 0;
    int reorderBuffer = 0;
};

// "192.168.1.5(3),10.0.0.2" -> (192.168.1.5, 3), (10.0.0.2, 1). Empty or non-numeric parentheses give weight 1.
QList<BondingPath> parseBondings(const QString &text);

// Builds the rist:// URL for one server entry ("host:port", optionally with "rist://" and query keys of its own).
// Scheme and host are taken in any case, the query keys as written. False with the reason in *error for an entry
// librist would misread: no host, a port that is no number from 1 to 65535, or an IPv6 literal.
bool sourceUrl(const QString &entry, const QString &cname, const QString &secret, const RistParams &params,
               QString *url, QString *error);

// The peer URL of one source on one local path ("&miface=...&weight=..."); the source as it is without a path.
QString peerUrl(const QString &source, const QString &interfaceAddress, int weight);

// The URL with the values of secret, username and password replaced by "***", for log and diagnostic lines.
QString maskSecrets(const QString &url);

// Percent-encodes the characters that end or split a URL query value.
QString encodeValue(const QString &value);

} // namespace ristrules
