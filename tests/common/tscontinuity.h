#pragma once

#include <QByteArray>
#include <QHash>

// Checks an MPEG transport stream the way a receiver notices damage: lost sync and continuity-counter gaps per
// PID. Bytes may come in any slicing; a packet split over two feeds is put together again.
class TsContinuity {
public:
    void feed(const QByteArray &bytes);

    qint64 packets() const { return packetCount; }
    // Stuffing (PID 0x1fff) among them; it carries no counter.
    qint64 nullPackets() const { return nullCount; }
    // Bytes skipped to find the next sync byte.
    qint64 syncLossBytes() const { return skipped; }
    // Continuity-counter jumps (a repeated packet once is allowed, as the standard allows).
    qint64 continuityErrors() const { return errors; }
    // Packets the counter jumps imply were lost (each jump counts what it skipped, modulo 16).
    qint64 missingPackets() const { return missing; }

    // The share of 188-byte slots that begin with the sync byte: all of them for a transport stream, about 1 in 256
    // for noise (what a receiver with another secret makes of one).
    static double syncShare(const QByteArray &data);

private:
    void packet(const char *p);

    struct PidState {
        int counter = -1;
        bool repeated = false;
    };
    QByteArray pending;
    QHash<int, PidState> pids;
    qint64 packetCount = 0;
    qint64 nullCount = 0;
    qint64 skipped = 0;
    qint64 errors = 0;
    qint64 missing = 0;
};
