#include "telemetrystrip.h"

#include <QEvent>
#include <QPaintEvent>
#include <QPainter>
#include <QPainterPath>

#include <algorithm>
#include <cmath>

namespace {

constexpr int kMargin = 4;
// Between two fields of a line and between the columns of the path table.
constexpr int kFieldGap = 14;
constexpr int kGraphMinHeight = 56;
// Two lines of figures: the strip keeps their height from Start to Stop, so that the graph does not jump when the
// figures come.
constexpr int kReservedLines = 2;
constexpr int kSwatchWidth = 16;
// Between the figures and the legend.
constexpr int kLegendGap = 3;
constexpr int kTimeStepSeconds = 20;
constexpr double kMinRateScaleMbps = 0.1;
constexpr double kMinRttScaleMs = 50.0;
// The axis and scale labels are drawn smaller than the figures.
constexpr double kSmallFontScale = 0.85;

const QColor kBackground(0x05, 0x0f, 0x15);
const QColor kFrame(0x34, 0x38, 0x3a);
const QColor kGrid(0x1a, 0x27, 0x30);
const QColor kLabelInk(0x8f, 0xa3, 0xb0);
const QColor kSendColour(0x3c, 0xd0, 0x70);
const QColor kVideoColour(0xea, 0x70, 0x0c);
const QColor kRttColour(0x4f, 0xb8, 0xff);
const QColor kLossColour(0xff, 0x40, 0x40);

// The smallest of 1, 1.5, 2, 2.5, 3, 4, 5, 6, 8 times a power of ten that is at least value: a scale whose top
// reads at a glance.
double niceCeiling(double value) {
    static const double steps[] = {1, 1.5, 2, 2.5, 3, 4, 5, 6, 8, 10};
    const double power = std::pow(10.0, std::floor(std::log10(value)));
    for (const double step : steps) {
        if (step * power >= value * (1 - 1e-9))
            return step * power;
    }
    return 10 * power;
}

QString scaleNumber(double value) {
    return value >= 100 ? QString::number(value, 'f', 0) : QString::number(value, 'g', 3);
}

QFont smallFont(const QFont &font) {
    QFont small = font;
    small.setPointSizeF(font.pointSizeF() * kSmallFontScale);
    return small;
}

} // namespace

TelemetryStrip::TelemetryStrip(QWidget *parent) : QWidget(parent) {
    setAccessibleName(tr("Link telemetry"));
    setToolTip(tr("The last minute of the link, the newest second at the right. Sent: the rate leaving for the "
                  "server; video bitrate: what the encoder makes (the adaptive bitrate's steps show here); both on "
                  "the Mbit/s scale at the left. Round trip: on the ms scale at the right. Lost: red bars, full "
                  "height at %1 % of the packets.")
                   .arg(kLossScalePercent));
    // The graph takes whatever height the window has beyond its controls.
    setSizePolicy(QSizePolicy::Preferred, QSizePolicy::Expanding);
    clear();
}

void TelemetryStrip::addSample(const LinkStats &stats, int configuredKbps, int encoderKbps) {
    Point point;
    point.sendMbps = stats.sendRateMbps;
    point.videoMbps = (encoderKbps > 0 ? encoderKbps : configuredKbps) / 1000.0;
    point.rttMs = stats.rttMs;
    point.lostPercent = stats.lostPercent();
    history.append(point);
    if (history.size() > kHistorySeconds)
        history.remove(0, history.size() - kHistorySeconds);

    transport = stats.transport;
    const auto share = [](double percent, quint64 total) {
        return tr("%1 % (%2 in all)").arg(percent, 0, 'f', 1).arg(total);
    };
    QVector<Field> rates{{tr("sending"), tr("%1 Mbit/s").arg(stats.sendRateMbps, 0, 'f', 2)},
                         {tr("round trip"), tr("%1 ms").arg(stats.rttMs, 0, 'f', 0)}};
    if (transport == QLatin1String("SRT")) {
        rates.append({tr("send buffer"), tr("%1 ms").arg(stats.sendBufferMs, 0, 'f', 0)});
        rates.append({tr("link estimate"), tr("%1 Mbit/s").arg(stats.bandwidthMbps, 0, 'f', 1)});
    }
    QVector<Field> losses{{tr("lost"), share(stats.lostPercent(), stats.lostTotal)},
                          {tr("retransmitted"), share(stats.retransmittedPercent(), stats.retransmittedTotal)},
                          {tr("dropped"), QString::number(stats.droppedTotal)}};
    if (encoderKbps > 0 && encoderKbps != configuredKbps)
        losses.append({tr("video"), tr("%1 of %2 kbit/s").arg(encoderKbps).arg(configuredKbps)});
    groups = {rates, losses};

    pathHeader.clear();
    pathRows.clear();
    if (!stats.paths.isEmpty() && !stats.paths.first().role.isEmpty()) {
        // The servers of an SRT stream with a backup, one row each; the run's totals and the send rate (the same
        // stream goes to both) are in the lines above.
        pathHeader = QStringList{tr("server"), tr("route"), tr("round trip"), tr("lost"), tr("retransmitted")};
        for (const LinkPathStats &path : stats.paths) {
            const QString role = path.role == QLatin1String("main") ? tr("main") : tr("backup");
            const QString route = path.interfaceAddress.isEmpty()
                                      ? path.destination
                                      : tr("%1 → %2").arg(path.interfaceAddress, path.destination);
            if (!path.alive) {
                pathRows.append({role, route, tr("reconnecting")});
                continue;
            }
            pathRows.append({role, route, tr("%1 ms").arg(path.rttMs, 0, 'f', 0),
                             tr("%1 %").arg(LinkStats::percentOf(path.lostInterval, path.sentInterval), 0, 'f', 1),
                             QString::number(path.retransmittedInterval)});
        }
    } else if (!stats.paths.isEmpty()) {
        // Paths to one server (the usual case) name it once, in the header.
        const QString destination = stats.paths.first().destination;
        const bool oneServer = std::all_of(stats.paths.cbegin(), stats.paths.cend(),
                                           [&](const LinkPathStats &path) { return path.destination == destination; });
        pathHeader = QStringList{oneServer ? tr("path to %1").arg(destination) : tr("path"), tr("round trip"),
                                 tr("quality"), tr("rate"), tr("retransmitted")};
        for (const LinkPathStats &path : stats.paths) {
            const QString from = path.interfaceAddress.isEmpty() ? tr("default route") : path.interfaceAddress;
            const QString route = oneServer ? from : tr("%1 → %2").arg(from, path.destination);
            if (!path.alive) {
                pathRows.append({route, tr("silent")});
                continue;
            }
            pathRows.append({route, tr("%1 ms").arg(path.rttMs, 0, 'f', 0), tr("%1 %").arg(path.quality, 0, 'f', 1),
                             tr("%1 Mbit/s").arg(path.bandwidthMbps, 0, 'f', 2),
                             tr("%1 (%2 in all)").arg(path.retransmittedInterval).arg(path.retransmittedTotal)});
        }
    }
    composeLines();
}

void TelemetryStrip::clear() {
    history.clear();
    groups.clear();
    pathHeader.clear();
    pathRows.clear();
    composeLines();
}

void TelemetryStrip::setState(const QString &text) {
    if (text == state)
        return;
    state = text;
    composeLines();
}

QStringList TelemetryStrip::legend() const {
    return {tr("sent"), tr("video bitrate"), tr("round trip"), tr("lost")};
}

QStringList TelemetryStrip::axisLabels() const {
    QStringList labels;
    if (!history.isEmpty()) {
        double rate = 0;
        double rtt = 0;
        scales(&rate, &rtt);
        labels << tr("%1 Mbit/s").arg(scaleNumber(rate)) << tr("%1 ms").arg(scaleNumber(rtt));
    }
    for (int age = kHistorySeconds; age > 0; age -= kTimeStepSeconds)
        labels << tr("−%1 s").arg(age);
    labels << tr("now");
    return labels;
}

void TelemetryStrip::scales(double *rateMbps, double *rttMs) const {
    double rate = 0;
    double rtt = 0;
    for (const Point &p : history) {
        rate = std::max({rate, p.sendMbps, p.videoMbps});
        rtt = std::max(rtt, p.rttMs);
    }
    *rateMbps = niceCeiling(std::max(rate * 1.05, kMinRateScaleMbps));
    *rttMs = niceCeiling(std::max(rtt * 1.05, kMinRttScaleMs));
}

void TelemetryStrip::composeLines() {
    layOut();
    const int wanted = fixedHeight();
    if (minimumHeight() != wanted) {
        setMinimumHeight(wanted);
        updateGeometry();
    }
    update();
}

int TelemetryStrip::textLines() const {
    return std::max(kReservedLines, lineCount);
}

int TelemetryStrip::fixedHeight() const {
    const int line = fontMetrics().lineSpacing();
    const int small = QFontMetrics(smallFont(font())).lineSpacing();
    // Figures, legend, graph, time axis.
    return kMargin + textLines() * line + kLegendGap + line + kGraphMinHeight + small + kMargin;
}

QRectF TelemetryStrip::graphRect() const {
    const int line = fontMetrics().lineSpacing();
    const int small = QFontMetrics(smallFont(font())).lineSpacing();
    const double top = kMargin + kLegendGap + (textLines() + 1) * line + 0.5;
    const double bottom = height() - kMargin - small - 0.5;
    return QRectF(kMargin + 0.5, top, width() - 2 * kMargin - 1, std::max(bottom - top, 1.0));
}

void TelemetryStrip::layOut() {
    pieces.clear();
    lineTexts.clear();
    overflow = false;
    const QFontMetrics metrics = fontMetrics();
    QFont bold = font();
    bold.setBold(true);
    const QFontMetrics boldMetrics(bold);
    const int left = kMargin;
    // Before a layout has given the strip its width, the figures are laid out as if it were wide; the first
    // resize lays them out again.
    const int right = (testAttribute(Qt::WA_Resized) ? width() : QWIDGETSIZE_MAX / 2) - kMargin;
    const int space = metrics.horizontalAdvance(QLatin1Char(' '));
    int line = -1;
    int x = left;
    QString text;
    const auto newLine = [&] {
        if (line >= 0)
            lineTexts << text;
        text.clear();
        ++line;
        x = left;
    };
    const auto baseline = [&] { return double(kMargin + line * metrics.lineSpacing() + metrics.ascent()); };
    const auto place = [&](const QString &piece, Ink ink, int advance) {
        pieces.append({QPointF(x, baseline()), piece, ink});
        x += advance;
    };

    if (!state.isEmpty()) {
        newLine();
        text = tr("Link: %1").arg(state);
        overflow = overflow || metrics.horizontalAdvance(text) > right - left;
        place(text, Ink::Text, metrics.horizontalAdvance(text));
    }
    for (int g = 0; g < groups.size(); ++g) {
        newLine();
        if (g == 0 && !transport.isEmpty()) {
            text = transport;
            place(transport, Ink::Tag, boldMetrics.horizontalAdvance(transport) + kFieldGap);
        }
        for (const Field &field : groups[g]) {
            const int labelWidth = metrics.horizontalAdvance(field.label);
            const int fieldWidth = labelWidth + space + metrics.horizontalAdvance(field.value);
            // A field that no longer fits goes on the next line, whole.
            if (x > left && x + fieldWidth > right)
                newLine();
            overflow = overflow || fieldWidth > right - left;
            if (!text.isEmpty())
                text += QStringLiteral("  ");
            text += field.label + QLatin1Char(' ') + field.value;
            place(field.label, Ink::Label, labelWidth + space);
            place(field.value, Ink::Text, fieldWidth - labelWidth - space + kFieldGap);
        }
    }
    if (!pathHeader.isEmpty()) {
        QVector<int> columns(pathHeader.size());
        for (int c = 0; c < pathHeader.size(); ++c) {
            columns[c] = metrics.horizontalAdvance(pathHeader[c]);
            for (const QStringList &row : qAsConst(pathRows))
                columns[c] = std::max(columns[c], metrics.horizontalAdvance(row.value(c)));
        }
        int total = kFieldGap * (columns.size() - 1);
        for (const int w : qAsConst(columns))
            total += w;
        // Too narrow: the route gives way (its middle is elided), the figures stay whole.
        if (total > right - left)
            columns[0] = std::max(columns[0] - (total - (right - left)), metrics.horizontalAdvance(pathHeader[0]));
        const auto tableRow = [&](const QStringList &cells, Ink ink) {
            newLine();
            int at = left;
            for (int c = 0; c < cells.size(); ++c) {
                const bool cut = c == 0 && metrics.horizontalAdvance(cells[c]) > columns[0];
                const QString cell = cut ? metrics.elidedText(cells[c], Qt::ElideMiddle, columns[0]) : cells[c];
                pieces.append({QPointF(at, baseline()), cell, ink});
                overflow = overflow || at + metrics.horizontalAdvance(cell) > right;
                text += (c ? QStringLiteral("  ") : QString()) + cell;
                at += columns[c] + kFieldGap;
            }
        };
        tableRow(pathHeader, Ink::Label);
        for (const QStringList &row : qAsConst(pathRows))
            tableRow(row, Ink::Text);
    }
    if (line < 0) {
        newLine();
        text = tr("Link: not streaming");
        place(text, Ink::Text, metrics.horizontalAdvance(text));
    }
    lineTexts << text;
    lineCount = line + 1;
}

QSize TelemetryStrip::sizeHint() const {
    return QSize(400, fixedHeight());
}

QSize TelemetryStrip::minimumSizeHint() const {
    return QSize(200, fixedHeight());
}

void TelemetryStrip::resizeEvent(QResizeEvent *) {
    const int lines = textLines();
    layOut();
    if (textLines() != lines) {
        setMinimumHeight(fixedHeight());
        updateGeometry();
    }
}

void TelemetryStrip::changeEvent(QEvent *event) {
    if (event->type() == QEvent::FontChange)
        composeLines();
    QWidget::changeEvent(event);
}

void TelemetryStrip::paintEvent(QPaintEvent *) {
    QPainter painter(this);
    painter.fillRect(rect(), kBackground);
    QFont bold = font();
    bold.setBold(true);
    for (const Piece &piece : qAsConst(pieces)) {
        painter.setFont(piece.ink == Ink::Tag ? bold : font());
        painter.setPen(piece.ink == Ink::Label ? kLabelInk : QColor(Qt::white));
        painter.drawText(piece.at, piece.text);
    }
    painter.setFont(font());

    // The legend, between the figures and the graph.
    const QFontMetrics metrics = fontMetrics();
    const QStringList names = legend();
    const QColor colours[] = {kSendColour, kVideoColour, kRttColour, kLossColour};
    const double legendMiddle =
        kMargin + kLegendGap + textLines() * metrics.lineSpacing() + metrics.lineSpacing() / 2.0;
    double x = kMargin;
    for (int i = 0; i < names.size(); ++i) {
        if (i == names.size() - 1) {
            painter.fillRect(QRectF(x + 4, legendMiddle - 4, kSwatchWidth - 8, 8), colours[i]);
        } else {
            painter.setPen(QPen(colours[i], 2, i == 1 ? Qt::DashLine : Qt::SolidLine));
            painter.drawLine(QPointF(x, legendMiddle), QPointF(x + kSwatchWidth, legendMiddle));
        }
        x += kSwatchWidth + 4;
        painter.setPen(kLabelInk);
        painter.drawText(QPointF(x, legendMiddle - metrics.height() / 2.0 + metrics.ascent()), names[i]);
        x += metrics.horizontalAdvance(names[i]) + kFieldGap;
    }

    const QRectF graph = graphRect();
    const double step = graph.width() / kHistorySeconds;
    // The newest second sits at the right edge, a minute ago at the left.
    const auto xAtAge = [&](double age) { return graph.right() - age * step; };
    painter.setPen(kGrid);
    for (int age = kTimeStepSeconds; age < kHistorySeconds; age += kTimeStepSeconds)
        painter.drawLine(QPointF(xAtAge(age), graph.top()), QPointF(xAtAge(age), graph.bottom()));
    painter.drawLine(QPointF(graph.left(), graph.center().y()), QPointF(graph.right(), graph.center().y()));
    painter.setPen(kFrame);
    painter.drawRect(graph);

    const QFont small = smallFont(font());
    const QFontMetrics smallMetrics(small);
    painter.setFont(small);
    painter.setPen(kLabelInk);
    const double axisBaseline = graph.bottom() + 1 + smallMetrics.ascent();
    const QStringList labels = axisLabels();
    const int timeLabels = kHistorySeconds / kTimeStepSeconds + 1;
    for (int i = 0; i < timeLabels; ++i) {
        const QString &label = labels[labels.size() - timeLabels + i];
        const double at = xAtAge(kHistorySeconds - i * kTimeStepSeconds);
        const int w = smallMetrics.horizontalAdvance(label);
        const double left = i == 0 ? graph.left() : i == timeLabels - 1 ? graph.right() - w : at - w / 2.0;
        painter.drawText(QPointF(left, axisBaseline), label);
    }
    if (history.isEmpty())
        return;

    double rateScale = 0;
    double rttScale = 0;
    scales(&rateScale, &rttScale);
    const auto xAt = [&](int i) { return xAtAge(history.size() - 1 - i); };
    const auto yAt = [&](double value, double scale) {
        return graph.bottom() - graph.height() * std::min(value / scale, 1.0);
    };

    painter.setRenderHint(QPainter::Antialiasing);
    for (int i = 0; i < history.size(); ++i) {
        if (history[i].lostPercent <= 0)
            continue;
        const double top = yAt(history[i].lostPercent, kLossScalePercent);
        painter.fillRect(QRectF(xAt(i) - step / 2, top, std::max(step - 1, 1.0), graph.bottom() - top), kLossColour);
    }
    const auto drawLine = [&](QColor colour, Qt::PenStyle style, auto value, double scale) {
        QPainterPath path;
        for (int i = 0; i < history.size(); ++i) {
            const QPointF at(xAt(i), yAt(value(history[i]), scale));
            if (i == 0)
                path.moveTo(at);
            else
                path.lineTo(at);
        }
        painter.setPen(QPen(colour, 1.5, style));
        painter.drawPath(path);
    };
    drawLine(
        kVideoColour, Qt::DashLine, [](const Point &p) { return p.videoMbps; }, rateScale);
    drawLine(
        kRttColour, Qt::SolidLine, [](const Point &p) { return p.rttMs; }, rttScale);
    drawLine(
        kSendColour, Qt::SolidLine, [](const Point &p) { return p.sendMbps; }, rateScale);

    // The scales' tops, over the lines on a patch of the background so that they stay readable.
    painter.setRenderHint(QPainter::Antialiasing, false);
    const auto scaleLabel = [&](const QString &label, const QColor &colour, bool atRight) {
        const int w = smallMetrics.horizontalAdvance(label);
        const QRectF box(atRight ? graph.right() - w - 3 : graph.left() + 1, graph.top() + 1, w + 2,
                         smallMetrics.height());
        painter.fillRect(box, kBackground);
        painter.setPen(colour);
        painter.drawText(QPointF(box.left() + 1, box.top() + smallMetrics.ascent()), label);
    };
    scaleLabel(labels[0], kSendColour, false);
    scaleLabel(labels[1], kRttColour, true);
}
