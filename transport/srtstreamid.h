#pragma once

#include <QString>

// SRT's own limit on a stream id (SRTO_STREAMID), in bytes.
constexpr int kSrtMaxStreamIdBytes = 512;
// What a caller's handshake can carry: libsrt gives the stream id at most half of a packet's payload after
// the SRT header and rejects the connection beyond it. At MSS 1052, which loss-less connections use, that is
// 503 bytes; live connections (MSS 1500) would take 512. One limit for every use, so that an id does not stop
// working when the operator switches to loss-less or opens the return feed.
constexpr int kSrtHandshakeStreamIdBytes = 503;

// True when the stream id, as it goes on the wire (UTF-8, every suffix such as "#alpha" or "#lossless"
// included), can be carried: at most kSrtHandshakeStreamIdBytes bytes.
bool srtStreamIdFits(const QString &streamId);
// The id's length on the wire, for the message that refuses it.
int srtStreamIdBytes(const QString &streamId);
