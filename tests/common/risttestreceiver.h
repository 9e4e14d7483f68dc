#pragma once

#include "peerprocess.h"

#include <QByteArray>
#include <QJsonObject>
#include <QString>

#include <memory>

class QUdpSocket;

// ristreceiver (rist-tools) listening for one RIST stream and writing it as UDP to a socket of the test, which
// collects every datagram. With a namespace name both the receiver and the collecting socket live in that
// network namespace (the test process itself stays where it is).
class RistTestReceiver {
public:
    RistTestReceiver();
    ~RistTestReceiver();

    // Listens on listenAddress:port (port 0: a free one); false with the reason in output().
    bool start(const QString &secret = QString(), const QString &netns = QString(),
               const QString &listenAddress = QStringLiteral("127.0.0.1"), quint16 port = 0);
    void stop();
    // Ends ristreceiver with SIGKILL: it says nothing to its sender. start() again (with its port) brings it back;
    // what was received so far is kept.
    void kill() { process.kill(); }
    // URL options of the listening side ("buffer=200&rtt-max=100") and ristreceiver's statistics interval
    // (0: none), for the next start().
    void setInputOptions(const QString &query) { inputQuery = query; }
    void setStatsIntervalMs(int ms) { statsIntervalMs = ms; }
    // Senders must authenticate (EAP-SRP) as a user of this file (lines of ristsrppasswd), for the next start().
    void setSrpFile(const QString &path) { srpFile = path; }
    // ristreceiver's figures for its flow so far, summed over its interval reports ("received", "recovered", "lost",
    // "retries", "dropped_late", "dropped_full"), the last average round trip ("rtt", ms), and how many interval
    // figures were left out as librist's miscounts ("wrapped_reports").
    QJsonObject flowTotals();
    quint16 port() const { return ristPort; }
    // Everything received so far (the event loop must run for it to grow).
    QByteArray data();
    QString output() { return process.output(); }

private:
    PeerProcess process;
    std::unique_ptr<QUdpSocket> collector;
    QByteArray received;
    quint16 ristPort = 0;
    QString inputQuery;
    int statsIntervalMs = 0;
    QString srpFile;
};

namespace testkit {
// A UDP socket bound to 127.0.0.1 (port 0) inside the named network namespace; -1 when that is not possible.
int udpSocketInNamespace(const QString &netns);
} // namespace testkit
