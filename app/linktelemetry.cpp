#include "linktelemetry.h"

#include "linefilewriter.h"
#include "logsdlg.h"
#include "telemetrystrip.h"

#include <QDateTime>
#include <QJsonDocument>

LinkTelemetry::LinkTelemetry(LogsDlg *logWindow, QObject *parent) : QObject(parent), logWindow(logWindow) {
    timer.setInterval(kIntervalMs);
    connect(&timer, &QTimer::timeout, this, &LinkTelemetry::tick);
}

LinkTelemetry::~LinkTelemetry() {
    LineFileWriter::retire(std::move(statsFile));
}

bool LinkTelemetry::setStatsFile(const QString &path, QString *error) {
    LineFileWriter::retire(std::move(statsFile));
    if (!LineFileWriter::probe(path, error))
        return false;
    // A minute of records waits for a reader that is slow to come or to read; older ones are dropped.
    LineFileWriter::Options options;
    options.queueLines = 60;
    statsFile = std::make_unique<LineFileWriter>(path, options);
    return true;
}

void LinkTelemetry::start(std::function<LinkStats()> source, int configuredKbps) {
    this->source = std::move(source);
    this->configuredKbps = configuredKbps;
    encoderKbps = configuredKbps;
    samplesSinceLog = 0;
    if (strip)
        strip->clear();
    timer.start();
}

void LinkTelemetry::stop() {
    timer.stop();
    source = nullptr;
    if (strip)
        strip->clear();
}

void LinkTelemetry::setState(const QString &key, const QString &text) {
    stateKey = key;
    stateText = text;
    writeRecord(QJsonObject{
        {QStringLiteral("time"), QDateTime::currentDateTimeUtc().toString(Qt::ISODateWithMs)},
    });
}

void LinkTelemetry::writeRecord(QJsonObject record) {
    if (!statsFile)
        return;
    if (!stateKey.isEmpty()) {
        record.insert(QStringLiteral("state"), stateKey);
        record.insert(QStringLiteral("state_text"), stateText);
    }
    // One record a line, so that a reader never sees half an object.
    statsFile->append(QJsonDocument(record).toJson(QJsonDocument::Compact));
}

void LinkTelemetry::tick() {
    if (!source)
        return;
    const LinkStats stats = source();
    if (!stats.valid())
        return;
    if (strip)
        strip->addSample(stats, configuredKbps, encoderKbps);
    writeRecord(stats.toJson(encoderKbps));
    if (++samplesSinceLog >= kLogEverySamples) {
        samplesSinceLog = 0;
        QString line = QStringLiteral("LINK ") + stats.summary();
        if (encoderKbps != configuredKbps)
            line += QStringLiteral(", encoder %1 of %2 kbit/s").arg(encoderKbps).arg(configuredKbps);
        for (const LinkPathStats &path : stats.paths)
            line += QStringLiteral("; ") + stats.pathSummary(path);
        if (logWindow)
            logWindow->addMessage(line);
    }
    emit sampled(stats);
}
