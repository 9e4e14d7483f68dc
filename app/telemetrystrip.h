#pragma once

#include "linkstats.h"

#include <QVector>
#include <QWidget>

// The link at a glance under the stream controls: the current figures in words (one line per path for RIST) and
// a graph of the last minute with the send rate against the configured bitrate, the round trip and the loss.
class TelemetryStrip : public QWidget {
    Q_OBJECT

public:
    static constexpr int kHistorySeconds = 60;

    explicit TelemetryStrip(QWidget *parent = nullptr);

    // One sample a second; configuredKbps is the operator's video bitrate, encoderKbps what the encoder runs at.
    void addSample(const LinkStats &stats, int configuredKbps, int encoderKbps);
    void clear();
    // What the stream is doing when it is not sending ("reconnecting (3 of 10) in 0.7 s"), shown above the
    // figures; empty while it sends.
    void setState(const QString &text);

    QString figuresText() const { return lines.join(QLatin1Char('\n')); }
    int sampleCount() const { return history.size(); }

    QSize sizeHint() const override;
    QSize minimumSizeHint() const override;

protected:
    void paintEvent(QPaintEvent *event) override;

private:
    struct Point {
        double sendMbps = 0;
        double configuredMbps = 0;
        double rttMs = 0;
        double lostPercent = 0;
    };
    int textHeight() const;
    void composeLines();

    QVector<Point> history;
    QString state;
    QStringList figureLines;
    QStringList lines;
};
