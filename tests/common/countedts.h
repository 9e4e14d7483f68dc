#pragma once

#include <QByteArray>

class PeerProcess;
class QTcpSocket;

// Numbered TS packets written as a live encoder writes them, for the tests and benchmarks that count what
// crossed an impaired link (TsContinuity counts them at the far end).
namespace countedts {

constexpr int kPacketSize = 188;

// One TS packet of PID 0x100 whose continuity counter and first payload bytes carry the sequence number.
QByteArray packet(quint32 sequence);

// count null packets (PID 0x1fff), which carry nothing to count.
QByteArray stuffing(int count);

// Writes numbered packets at 2.1 Mbit/s for the given time, paced by the clock rather than by the timer's own
// drift, then stuffing for tailMs: a lost packet is only noticed when a later one arrives, as it is behind a live
// encoder, so the tail lets the last losses be repaired. Returns the number of numbered packets written.
quint32 stream(QTcpSocket &encoder, int seconds, int tailMs);

// The port an udpimpairproxy peer prints as "listening PORT" once bound; 0 when it says nothing within timeoutMs.
quint16 proxyPort(PeerProcess &proxy, int timeoutMs);

} // namespace countedts
