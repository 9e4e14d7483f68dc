#include "telemetrystrip.h"

#include <QPaintEvent>
#include <QPainter>
#include <QPainterPath>

#include <algorithm>

namespace {

constexpr int kGraphHeight = 56;
constexpr int kMargin = 4;
// The loss axis tops out here: past a few per cent a live link is broken anyway.
constexpr double kLossScalePercent = 10.0;
constexpr double kMinRttScaleMs = 50.0;

const QColor kSendColour(0x3c, 0xd0, 0x70);
const QColor kConfiguredColour(0xea, 0x70, 0x0c);
const QColor kRttColour(0x4f, 0xb8, 0xff);
const QColor kLossColour(0xff, 0x40, 0x40);

} // namespace

TelemetryStrip::TelemetryStrip(QWidget *parent) : QWidget(parent) {
    setAccessibleName(tr("Link telemetry"));
    setToolTip(tr("Last minute of the link: send rate (green) against the video bitrate (orange), round trip "
                  "(blue) and lost packets (red)"));
    clear();
}

void TelemetryStrip::addSample(const LinkStats &stats, int configuredKbps, int encoderKbps) {
    Point point;
    point.sendMbps = stats.sendRateMbps;
    point.configuredMbps = configuredKbps / 1000.0;
    point.rttMs = stats.rttMs;
    point.lostPercent = stats.lostPercent();
    history.append(point);
    if (history.size() > kHistorySeconds)
        history.remove(0, history.size() - kHistorySeconds);

    figureLines.clear();
    QString first = stats.summary();
    if (encoderKbps > 0 && encoderKbps != configuredKbps)
        first += tr(", encoder at %1 of %2 kbit/s").arg(encoderKbps).arg(configuredKbps);
    figureLines << first;
    for (const LinkPathStats &path : stats.paths)
        figureLines << QStringLiteral("  ") + stats.pathSummary(path);
    composeLines();
}

void TelemetryStrip::clear() {
    history.clear();
    figureLines.clear();
    composeLines();
}

void TelemetryStrip::setState(const QString &text) {
    if (text == state)
        return;
    state = text;
    composeLines();
}

void TelemetryStrip::composeLines() {
    lines.clear();
    if (!state.isEmpty())
        lines << tr("Link: %1").arg(state);
    lines << figureLines;
    if (lines.isEmpty())
        lines << tr("Link: not streaming");
    const int wanted = textHeight() + kGraphHeight + 3 * kMargin;
    if (minimumHeight() != wanted) {
        setMinimumHeight(wanted);
        updateGeometry();
    }
    update();
}

int TelemetryStrip::textHeight() const {
    return fontMetrics().lineSpacing() * std::max(1, int(lines.size()));
}

QSize TelemetryStrip::sizeHint() const {
    return QSize(400, textHeight() + kGraphHeight + 3 * kMargin);
}

QSize TelemetryStrip::minimumSizeHint() const {
    return QSize(200, textHeight() + kGraphHeight + 3 * kMargin);
}

void TelemetryStrip::paintEvent(QPaintEvent *) {
    QPainter painter(this);
    painter.fillRect(rect(), QColor(0x05, 0x0f, 0x15));
    painter.setPen(Qt::white);
    const int lineHeight = fontMetrics().lineSpacing();
    for (int i = 0; i < lines.size(); ++i)
        painter.drawText(QRect(kMargin, kMargin + i * lineHeight, width() - 2 * kMargin, lineHeight),
                         Qt::AlignLeft | Qt::AlignVCenter,
                         fontMetrics().elidedText(lines[i], Qt::ElideRight, width() - 2 * kMargin));

    const QRectF graph(kMargin, 2 * kMargin + textHeight(), width() - 2 * kMargin, kGraphHeight);
    painter.setPen(QColor(0x34, 0x38, 0x3a));
    painter.drawRect(graph);
    if (history.isEmpty())
        return;

    double rateScale = 0;
    double rttScale = kMinRttScaleMs;
    for (const Point &p : history) {
        rateScale = std::max({rateScale, p.sendMbps, p.configuredMbps});
        rttScale = std::max(rttScale, p.rttMs);
    }
    rateScale = std::max(rateScale * 1.1, 0.1);
    rttScale *= 1.1;
    const double step = graph.width() / (kHistorySeconds - 1);
    // The newest second sits at the right edge.
    auto xAt = [&](int i) { return graph.right() - (history.size() - 1 - i) * step; };
    auto yAt = [&](double value, double scale) {
        return graph.bottom() - graph.height() * std::min(value / scale, 1.0);
    };

    painter.setRenderHint(QPainter::Antialiasing);
    for (int i = 0; i < history.size(); ++i) {
        if (history[i].lostPercent <= 0)
            continue;
        const double top = yAt(history[i].lostPercent, kLossScalePercent);
        painter.fillRect(QRectF(xAt(i) - step / 2, top, std::max(step - 1, 1.0), graph.bottom() - top), kLossColour);
    }
    auto drawLine = [&](QColor colour, Qt::PenStyle style, auto value, double scale) {
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
        kConfiguredColour, Qt::DashLine, [](const Point &p) { return p.configuredMbps; }, rateScale);
    drawLine(
        kRttColour, Qt::SolidLine, [](const Point &p) { return p.rttMs; }, rttScale);
    drawLine(
        kSendColour, Qt::SolidLine, [](const Point &p) { return p.sendMbps; }, rateScale);
}
