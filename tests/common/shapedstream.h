#pragma once

#include "shapedlink.h"

#include <QJsonObject>
#include <QList>
#include <QProcess>
#include <QString>

// The program streaming 720p video from a ShapedLink's sender namespace to srt-live-transmit in the receiver
// namespace, headless, with a --stats file; for the shaped-link tests and benchmark. The picture is new noise
// every frame (the tests' capture card driver), so the stream is as wide as the bitrate asked: the built-in Test
// Pattern compresses to about 1.1 Mbit/s whatever it is given, too little to fill a link. The files (the
// configuration, the records, the received stream, the program's output) are named after name in directory.
class ShapedStream {
public:
    static constexpr int kReceiverPort = 9000;

    ShapedStream(const ShapedLink &link, const QString &program, const QString &directory, const QString &name,
                 int videoKbps, int latencyMs, bool adaptive);
    ~ShapedStream();
    ShapedStream(const ShapedStream &) = delete;
    ShapedStream &operator=(const ShapedStream &) = delete;

    bool started();
    // Ends the program as a signal would (it stops streaming and exits), then kills it if it has not within 15 s.
    void stop();

    // The --stats records of link figures so far, one a second (not those of state changes alone).
    QList<QJsonObject> records() const;
    QString log() const;
    QString receivedPath() const { return received; }

    static int number(const QJsonObject &record, const char *key) { return record.value(QLatin1String(key)).toInt(); }
    // Settled: the first of cleanRun records in a row at or after from whose send buffer holds at most a quarter
    // of the latency, with at most 2 % lost and nothing dropped; -1 if there is none yet.
    static constexpr double kCleanLossPercent = 2.0;
    static bool clean(const QJsonObject &record, int latencyMs);
    static int settledAt(const QList<QJsonObject> &records, int from, int cleanRun, int latencyMs);
    // The first position at or after from where three transport stream packets in a row begin.
    static int syncAfter(const QByteArray &bytes, int from);

private:
    QString config;
    QString stats;
    QString received;
    QProcess receiver;
    QProcess app;
};
