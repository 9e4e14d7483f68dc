#include "linkstats.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QJsonArray>

#include <cmath>

namespace {

// Two decimals are finer than any of these figures is accurate, and keep the JSON lines short.
double rounded(double value) {
    return std::round(value * 100.0) / 100.0;
}

QString tr(const char *text) {
    return QCoreApplication::translate("LinkStats", text);
}

} // namespace

QJsonObject LinkStats::toJson(int encoderKbps) const {
    QJsonObject object{
        {QStringLiteral("time"), QDateTime::fromMSecsSinceEpoch(utcMs, Qt::UTC).toString(Qt::ISODateWithMs)},
        {QStringLiteral("transport"), transport},
        {QStringLiteral("send_rate_mbps"), rounded(sendRateMbps)},
        {QStringLiteral("rtt_ms"), rounded(rttMs)},
        {QStringLiteral("sent_packets"), qint64(sentInterval)},
        {QStringLiteral("sent_packets_total"), qint64(sentTotal)},
        {QStringLiteral("lost_packets"), qint64(lostInterval)},
        {QStringLiteral("lost_packets_total"), qint64(lostTotal)},
        {QStringLiteral("lost_percent"), rounded(lostPercent())},
        {QStringLiteral("lost_percent_total"), rounded(lostPercentTotal())},
        {QStringLiteral("retransmitted_packets"), qint64(retransmittedInterval)},
        {QStringLiteral("retransmitted_packets_total"), qint64(retransmittedTotal)},
        {QStringLiteral("retransmitted_percent"), rounded(retransmittedPercent())},
        {QStringLiteral("retransmitted_percent_total"), rounded(retransmittedPercentTotal())},
        {QStringLiteral("dropped_packets"), qint64(droppedInterval)},
        {QStringLiteral("dropped_packets_total"), qint64(droppedTotal)},
        {QStringLiteral("send_buffer_ms"), rounded(sendBufferMs)},
        {QStringLiteral("bandwidth_mbps"), rounded(bandwidthMbps)},
    };
    if (encoderKbps > 0)
        object.insert(QStringLiteral("encoder_kbps"), encoderKbps);
    if (inputKbps > 0) {
        object.insert(QStringLiteral("input_kbps"), rounded(inputKbps));
        object.insert(QStringLiteral("delivered_kbps"), rounded(deliveredKbps));
    }
    if (paddingKbps > 0)
        object.insert(QStringLiteral("padding_kbps"), rounded(paddingKbps));
    if (!paths.isEmpty()) {
        QJsonArray list;
        for (const LinkPathStats &path : paths) {
            QJsonObject entry{
                {QStringLiteral("interface"), path.interfaceAddress},
                {QStringLiteral("destination"), path.destination},
                {QStringLiteral("rtt_ms"), rounded(path.rttMs)},
                {QStringLiteral("retransmitted_packets"), qint64(path.retransmittedInterval)},
                {QStringLiteral("retransmitted_packets_total"), qint64(path.retransmittedTotal)},
                {QStringLiteral("bandwidth_mbps"), rounded(path.bandwidthMbps)},
                {QStringLiteral("alive"), path.alive},
            };
            // An SRT server has no quality figure; it has its own send rate and losses.
            if (path.role.isEmpty()) {
                entry.insert(QStringLiteral("quality"), rounded(path.quality));
            } else {
                entry.insert(QStringLiteral("role"), path.role);
                entry.insert(QStringLiteral("send_rate_mbps"), rounded(path.sendRateMbps));
                entry.insert(QStringLiteral("sent_packets"), qint64(path.sentInterval));
                entry.insert(QStringLiteral("lost_packets"), qint64(path.lostInterval));
            }
            list.append(entry);
        }
        object.insert(QStringLiteral("paths"), list);
    }
    return object;
}

QString LinkStats::summary() const {
    if (!valid())
        return tr("%1: no link figures yet").arg(transport);
    QString text = tr("%1: sending %2 Mbit/s, round trip %3 ms, lost %4 % (%5 in all), retransmitted %6 % (%7 in "
                      "all), dropped %8")
                       .arg(transport)
                       .arg(sendRateMbps, 0, 'f', 2)
                       .arg(rttMs, 0, 'f', 0)
                       .arg(lostPercent(), 0, 'f', 1)
                       .arg(lostTotal)
                       .arg(retransmittedPercent(), 0, 'f', 1)
                       .arg(retransmittedTotal)
                       .arg(droppedTotal);
    if (transport == QLatin1String("SRT"))
        text += tr(", send buffer %1 ms, link estimate %2 Mbit/s")
                    .arg(sendBufferMs, 0, 'f', 0)
                    .arg(bandwidthMbps, 0, 'f', 1);
    return text;
}

QString LinkStats::pathSummary(const LinkPathStats &path) const {
    const QString from = path.interfaceAddress.isEmpty() ? tr("default route") : path.interfaceAddress;
    if (!path.role.isEmpty()) {
        if (!path.alive)
            return tr("%1 server %2 from %3: reconnecting").arg(path.role, path.destination, from);
        return tr("%1 server %2 from %3: sending %4 Mbit/s, round trip %5 ms, lost %6 %, retransmitted %7 (%8 in "
                  "all)")
            .arg(path.role, path.destination, from)
            .arg(path.sendRateMbps, 0, 'f', 2)
            .arg(path.rttMs, 0, 'f', 0)
            .arg(percentOf(path.lostInterval, path.sentInterval), 0, 'f', 1)
            .arg(path.retransmittedInterval)
            .arg(path.retransmittedTotal);
    }
    if (!path.alive)
        return tr("%1 to %2: silent").arg(from, path.destination);
    return tr("%1 to %2: round trip %3 ms, quality %4 %, retransmitted %5 (%6 in all), %7 Mbit/s")
        .arg(from, path.destination)
        .arg(path.rttMs, 0, 'f', 0)
        .arg(path.quality, 0, 'f', 1)
        .arg(path.retransmittedInterval)
        .arg(path.retransmittedTotal)
        .arg(path.bandwidthMbps, 0, 'f', 2);
}
