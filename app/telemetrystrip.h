#pragma once

#include "linkstats.h"

#include <QColor>
#include <QVector>
#include <QWidget>

// The link at a glance under the stream controls: the current figures as label and value pairs (RIST adds a
// table with one row per path) and a graph of the last minute with a legend, a rate scale (Mbit/s) on the left,
// a round-trip scale (ms) on the right and a time axis from -60 s to now. The graph's lines are the send rate, the
// encoder's video bitrate (so the adaptive bitrate's steps show), the round trip and the loss.
//
// Everything drawn is laid out when the figures or the width change; a paint only draws what is laid out.
class TelemetryStrip : public QWidget {
    Q_OBJECT

public:
    static constexpr int kHistorySeconds = 60;
    // The loss bars reach the top at this share: past a few per cent a live link is broken anyway.
    static constexpr double kLossScalePercent = 10.0;

    explicit TelemetryStrip(QWidget *parent = nullptr);

    // One sample a second; configuredKbps is the operator's video bitrate, encoderKbps what the encoder runs at.
    void addSample(const LinkStats &stats, int configuredKbps, int encoderKbps);
    void clear();
    // What the stream is doing when it is not sending ("reconnecting (3 of 10) in 0.7 s"), shown above the
    // figures; empty while it sends.
    void setState(const QString &text);

    // The lines as shown, label and value separated by a blank, fields by two.
    QString figuresText() const { return lineTexts.join(QLatin1Char('\n')); }
    // False when a line is wider than the strip and would be cut.
    bool figuresFit() const { return !overflow; }
    // The names beside the legend's swatches, and the scale and time-axis labels the graph shows now.
    QStringList legend() const;
    QStringList axisLabels() const;
    int sampleCount() const { return history.size(); }

    QSize sizeHint() const override;
    QSize minimumSizeHint() const override;

protected:
    void paintEvent(QPaintEvent *event) override;
    void resizeEvent(QResizeEvent *event) override;
    void changeEvent(QEvent *event) override;

private:
    struct Point {
        double sendMbps = 0;
        double videoMbps = 0;
        double rttMs = 0;
        double lostPercent = 0;
    };
    struct Field {
        QString label;
        QString value;
    };
    enum class Ink { Text, Label, Tag };
    struct Piece {
        QPointF at;
        QString text;
        Ink ink = Ink::Text;
    };

    void composeLines();
    void layOut();
    int textLines() const;
    int fixedHeight() const;
    QRectF graphRect() const;
    void scales(double *rateMbps, double *rttMs) const;

    QVector<Point> history;
    QString state;
    QString transport;
    // Groups of fields, each group starting a line of its own (a wide group goes on over more lines).
    QVector<QVector<Field>> groups;
    // The RIST paths: a header and one row per path.
    QStringList pathHeader;
    QVector<QStringList> pathRows;

    // Laid out for the current width.
    QVector<Piece> pieces;
    QStringList lineTexts;
    int lineCount = 1;
    bool overflow = false;
};
