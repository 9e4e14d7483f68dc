#pragma once

#include <QJsonObject>
#include <QString>
#include <QVector>

// One path of a RIST stream (one librist peer), or one server of an SRT stream with a backup, as its last
// once-a-second report gave it.
struct LinkPathStats {
    // SRT: "main" or "backup"; empty for a RIST path.
    QString role;
    // Local interface address the peer sends from; empty for the default route.
    QString interfaceAddress;
    // Destination host and port, never the query (which may carry a secret).
    QString destination;
    double rttMs = 0;
    // librist's share of packets sent without trouble, in per cent.
    double quality = 0;
    quint64 sentInterval = 0;
    quint64 retransmittedInterval = 0;
    quint64 retransmittedTotal = 0;
    double bandwidthMbps = 0;
    // SRT only.
    double sendRateMbps = 0;
    quint64 lostInterval = 0;
    bool alive = true;
};

// What a relay learnt about its link in the last second. Relays fill it on their own thread and hand out copies;
// a sequence of 0 means nothing has been measured in this run yet.
struct LinkStats {
    QString transport;
    quint64 sequence = 0;
    qint64 utcMs = 0;
    // The time the interval figures cover: a second for the telemetry, less for the adaptive bitrate's samples.
    int intervalMs = 1000;
    double sendRateMbps = 0;
    double rttMs = 0;
    double bandwidthMbps = 0;
    double sendBufferMs = 0;
    // The latency the link was opened with (SRT); the send buffer is judged against it.
    int latencyMs = 0;
    quint64 sentInterval = 0;
    quint64 sentTotal = 0;
    quint64 lostInterval = 0;
    quint64 lostTotal = 0;
    quint64 retransmittedInterval = 0;
    quint64 retransmittedTotal = 0;
    quint64 droppedInterval = 0;
    quint64 droppedTotal = 0;
    // SRT only, 0 where unknown: the stream the relay handed to the library in the interval, the padding it added
    // to probe the link, and how much of both the far end acknowledged (the rest still waits in the send buffer
    // or was given up).
    double inputKbps = 0;
    double paddingKbps = 0;
    double deliveredKbps = 0;
    QVector<LinkPathStats> paths;

    bool valid() const { return sequence > 0; }
    double lostPercent() const { return percentOf(lostInterval, sentInterval); }
    double lostPercentTotal() const { return percentOf(lostTotal, sentTotal); }
    double retransmittedPercent() const { return percentOf(retransmittedInterval, sentInterval); }
    double retransmittedPercentTotal() const { return percentOf(retransmittedTotal, sentTotal); }

    // One JSON object for monitoring; the encoder bitrate (kbit/s) is the caller's, 0 leaves it out.
    QJsonObject toJson(int encoderKbps) const;
    // The figures in words, for the telemetry strip and the log window.
    QString summary() const;
    QString pathSummary(const LinkPathStats &path) const;

    static double percentOf(quint64 part, quint64 whole) { return whole ? 100.0 * double(part) / double(whole) : 0; }
};
