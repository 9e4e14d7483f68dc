#pragma once

#include <QMap>
#include <QString>
#include <QStringList>

#include <cstdint>

// The writer's option text, read once: blank-separated key='value' pairs (values in single or double
// quotes, or a bare word). Bitrates take a K or M suffix ("4000K"). Unset numbers are 0, unset texts empty.
struct MFWriterOptions {
    QString format;            // container, "mpegts"
    bool playWhileRec = false; // accepted; recordings are always readable while they grow
    QString videoCodec;        // codec id ("q264sw", "mpeg2video", "null", ...)
    QString videoProfile;      // "Main", "main", "constrained_baseline"
    int gop = 0;               // frames between key frames
    int64_t videoBitrate = 0;  // bit/s
    int64_t videoMaxrate = 0;  // bit/s
    QString rcType;            // "auto", "vbr", "cbr", "cqp", "avbr", "vbr_la", "quality"
    int quality = 0;           // 1 (fastest) to 7 (best)
    QString preset;            // NVENC preset name
    QString audioCodec;        // "aac" or "null"
    int64_t audioBitrate = 0;  // bit/s
    int64_t audioMinrate = 0;
    int64_t audioMaxrate = 0;
    int sampleRate = 0;         // Hz; 0 keeps the frames' rate
    bool splitChannels = false; // each audio channel as its own mono stream

    QMap<QString, QString> values; // every pair as written, known or not
    QStringList unknownKeys;       // keys the writer does not know, in order of appearance

    bool hasVideo() const { return videoCodec.compare(QLatin1String("null"), Qt::CaseInsensitive) != 0; }
    bool hasAudio() const { return audioCodec.compare(QLatin1String("null"), Qt::CaseInsensitive) != 0; }

    // Parses the text; on failure returns false and says why in *error. A key given twice keeps its last
    // value.
    static bool parse(const QString &text, MFWriterOptions *options, QString *error);
    // "4000K" → 4000000, "5M" → 5000000, "128000" → 128000; -1 for a text that is no bitrate.
    static int64_t parseBitrate(const QString &text);
};
