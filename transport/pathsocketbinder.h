#pragma once

#include <QSet>
#include <QString>

// Makes one RIST peer leave through the interface of its path.
//
// librist uses a peer's "miface" only to pick the multicast interface, so a unicast peer would leave by the
// routing table whatever path the operator chose, and several "paths" would all be one link. The library does not
// hand out its peer sockets either. rist_peer_create opens the peer's datagram socket before it returns, so the
// relay notes the process's sockets just before that call and binds the one new IPv4 datagram socket to the
// path's device (SO_BINDTODEVICE) right after it. Peer creation is serialised by the relay, and the new socket
// must be the only new unconnected IPv4 datagram socket, so a socket opened meanwhile elsewhere in the process
// (a DNS query is connected) is not taken for it; when the choice is not unique the path is refused rather than
// guessed. librist sends with sendto on an unbound address, so the kernel then also takes the source address from
// that device, and the server's replies arrive on the same path.
class PathSocketBinder {
public:
    // Notes the datagram sockets open now.
    PathSocketBinder();

    // Binds the socket opened since construction to the device; false with the reason in *error.
    bool bindNewSocket(const QString &device, QString *error) const;

    // The name of the local interface that holds this IPv4 address; empty when none does.
    static QString deviceOf(const QString &address);

private:
    QSet<quint64> known;
};
