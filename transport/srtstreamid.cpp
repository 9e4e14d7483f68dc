#include "srtstreamid.h"

static_assert(kSrtHandshakeStreamIdBytes <= kSrtMaxStreamIdBytes, "the handshake never carries more than SRT allows");

int srtStreamIdBytes(const QString &streamId) {
    return streamId.toUtf8().size();
}

bool srtStreamIdFits(const QString &streamId) {
    return srtStreamIdBytes(streamId) <= kSrtHandshakeStreamIdBytes;
}
