#pragma once

#include <QString>

// SRT's own limit on a stream id (SRTO_STREAMID), in bytes.
constexpr int kSrtMaxStreamIdBytes = 512;
// What a caller's handshake can carry: libsrt gives the stream id at most half of a packet's payload after
// the SRT header and rejects the connection beyond it. At the MSS of every connection connectSRT opens
// (1052) that is 503 bytes; the return feed uses the same id, so the smaller limit holds for every use.
constexpr int kSrtHandshakeStreamIdBytes = 503;

// True when the stream id, as it goes on the wire (UTF-8, every suffix such as "#alpha" or "#lossless"
// included), can be carried: at most kSrtHandshakeStreamIdBytes bytes.
bool srtStreamIdFits(const QString &streamId);
// The id's length on the wire, for the message that refuses it.
int srtStreamIdBytes(const QString &streamId);
