#pragma once

#include "linkstats.h"

#include <QJsonObject>
#include <QObject>
#include <QTimer>

#include <functional>
#include <memory>

class LineFileWriter;
class LogsDlg;
class TelemetryStrip;

// Reads the running relay's link figures once a second on the GUI thread and hands the same snapshot to the
// telemetry strip, to the log window (one line every ten seconds) and to the statistics file (one JSON object a
// line, every second). The relay is only ever asked for a copy; nothing here calls down into its thread. The
// file is written on a thread of its own: a FIFO nobody reads, or a reader that stopped, never holds the window.
class LinkTelemetry : public QObject {
    Q_OBJECT

public:
    static constexpr int kIntervalMs = 1000;
    static constexpr int kLogEverySamples = 10;

    explicit LinkTelemetry(LogsDlg *logWindow, QObject *parent = nullptr);
    ~LinkTelemetry() override;

    void setStrip(TelemetryStrip *strip) { this->strip = strip; }
    // Tests shorten the second.
    void setIntervalMs(int ms) { timer.setInterval(ms); }
    // Appends to the file from now on; false with the reason when it cannot be opened for appending (a FIFO
    // without a reader is opened once one comes).
    bool setStatsFile(const QString &path, QString *error);

    // Starts sampling a stream whose video was configured at configuredKbps.
    void start(std::function<LinkStats()> source, int configuredKbps);
    void stop();
    bool isRunning() const { return timer.isActive(); }

    // The bitrate the encoder runs at now (the adaptive bitrate changes it); written into every record.
    void setEncoderKbps(int kbps) { encoderKbps = kbps; }
    int currentEncoderKbps() const { return encoderKbps; }
    int configuredBitrateKbps() const { return configuredKbps; }

    // What the stream is doing (StreamHealth's key and words): carried by every record as "state" and
    // "state_text", and written as a record of its own when it changes, also between runs.
    void setState(const QString &key, const QString &text);

signals:
    // Every second while streaming, once the relay has measured something.
    void sampled(const LinkStats &stats);

private:
    void tick();
    void writeRecord(QJsonObject record);

    LogsDlg *logWindow;
    TelemetryStrip *strip = nullptr;
    QTimer timer;
    std::function<LinkStats()> source;
    std::unique_ptr<LineFileWriter> statsFile;
    int configuredKbps = 0;
    int encoderKbps = 0;
    int samplesSinceLog = 0;
    QString stateKey;
    QString stateText;
};
