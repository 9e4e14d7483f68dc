#pragma once

#include <QString>
#include <QtGlobal>

// Two RIST paths between two network namespaces of the test's own: the sender's, where the test process and the
// program run, and the receiver's, where ristreceiver listens on one address (on its lo) that both veth paths
// reach. The receiver answers from that one address over the path a packet came in by.
//
//   sender ns:   vA 10.201.1.1/24   vB 10.201.2.1/24   route 10.203.0.2 via either path (metrics 10, 20)
//   receiver ns: vAr 10.201.1.2/24  vBr 10.201.2.2/24  lo 10.203.0.2/32, path routes with src 10.203.0.2
//
// Names carry the process id; namespaces that earlier runs left behind (their process gone) are removed first.
namespace ristpaths {

inline constexpr char kReceiverAddress[] = "10.203.0.2";
// The sender's address on path 0 (vA) and path 1 (vB).
QString pathAddress(int path);
QString pathDevice(int path);

// Builds both namespaces and paths; false with the reason when namespaces are not possible here.
bool build(QString *error);
// Removes both namespaces (and with them every veth); safe to call when nothing was built.
void remove();
// Moves this process into the sender's namespace. Call while it has only one thread: every thread and program
// it starts later is there too. Called later, it moves the calling thread only (and what it starts from then on);
// leaveSender takes that thread back to the namespace it came from.
bool enterSender(QString *error);
void leaveSender();

QString senderNamespace();
QString receiverNamespace();

// Deletes a path's veth pair (both ends go, as when a modem is pulled) and builds it again as it was.
bool dropPath(int path);
bool restorePath(int path);
// Takes the sender namespace's loopback down or up: while it is down, connections to 127.0.0.1 there go nowhere
// (a connect waits for its time-out).
bool setSenderLoopback(bool up);
// Packets the sender's end of a path has sent so far (the kernel's count); -1 when the path is not there.
qint64 sentPackets(int path);

} // namespace ristpaths
