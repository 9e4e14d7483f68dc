#include "mfwriteroptions.h"

namespace {

bool isKeyChar(QChar c) {
    return c.isLetterOrNumber() || c == QLatin1Char('_') || c == QLatin1Char(':') || c == QLatin1Char('.') ||
           c == QLatin1Char('-');
}

bool readInt(const QString &text, int minimum, int maximum, int *value) {
    bool ok = false;
    const int number = text.trimmed().toInt(&ok);
    if (!ok || number < minimum || number > maximum)
        return false;
    *value = number;
    return true;
}

bool readBool(const QString &text, bool *value) {
    const QString t = text.trimmed().toLower();
    if (t == QLatin1String("1") || t == QLatin1String("true") || t == QLatin1String("yes")) {
        *value = true;
        return true;
    }
    if (t == QLatin1String("0") || t == QLatin1String("false") || t == QLatin1String("no") || t.isEmpty()) {
        *value = false;
        return true;
    }
    return false;
}

// Splits the text into pairs; false with a reason for text that is not a list of key=value.
bool splitPairs(const QString &text, QList<QPair<QString, QString>> *pairs, QString *error) {
    int i = 0;
    const int n = text.size();
    while (true) {
        while (i < n && text.at(i).isSpace())
            ++i;
        if (i >= n)
            return true;
        const int keyStart = i;
        while (i < n && isKeyChar(text.at(i)))
            ++i;
        const QString key = text.mid(keyStart, i - keyStart);
        if (key.isEmpty() || i >= n || text.at(i) != QLatin1Char('=')) {
            *error = QStringLiteral("expected key='value' at character %1").arg(keyStart);
            return false;
        }
        ++i; // '='
        QString value;
        if (i < n && (text.at(i) == QLatin1Char('\'') || text.at(i) == QLatin1Char('"'))) {
            const QChar quote = text.at(i);
            const int close = text.indexOf(quote, i + 1);
            if (close < 0) {
                *error = QStringLiteral("unterminated quote in the value of %1").arg(key);
                return false;
            }
            value = text.mid(i + 1, close - i - 1);
            i = close + 1;
            if (i < n && !text.at(i).isSpace()) {
                *error = QStringLiteral("blank expected after the value of %1").arg(key);
                return false;
            }
        } else {
            const int valueStart = i;
            while (i < n && !text.at(i).isSpace())
                ++i;
            value = text.mid(valueStart, i - valueStart);
        }
        pairs->append({key, value});
    }
}

} // namespace

int64_t MFWriterOptions::parseBitrate(const QString &text) {
    QString t = text.trimmed();
    int64_t scale = 1;
    if (t.endsWith(QLatin1Char('K'), Qt::CaseInsensitive)) {
        scale = 1000;
        t.chop(1);
    } else if (t.endsWith(QLatin1Char('M'), Qt::CaseInsensitive)) {
        scale = 1000000;
        t.chop(1);
    }
    bool ok = false;
    const qlonglong number = t.toLongLong(&ok);
    if (!ok || number < 0 || number > INT64_MAX / scale)
        return -1;
    return number * scale;
}

bool MFWriterOptions::parse(const QString &text, MFWriterOptions *options, QString *error) {
    QString reason;
    QList<QPair<QString, QString>> pairs;
    MFWriterOptions result;
    if (!splitPairs(text, &pairs, &reason)) {
        if (error)
            *error = reason;
        return false;
    }
    for (const auto &pair : pairs) {
        const QString &key = pair.first;
        const QString &value = pair.second;
        result.values.insert(key, value);
        bool ok = true;
        auto bitrate = [&](int64_t *target) {
            const int64_t bits = parseBitrate(value);
            ok = bits >= 0;
            if (ok)
                *target = bits;
        };
        if (key == QLatin1String("format"))
            result.format = value;
        else if (key == QLatin1String("play_while_rec"))
            ok = readBool(value, &result.playWhileRec);
        else if (key == QLatin1String("video::codec"))
            result.videoCodec = value;
        else if (key == QLatin1String("video::profile"))
            result.videoProfile = value;
        else if (key == QLatin1String("video::g"))
            ok = readInt(value, 0, 1000000, &result.gop);
        else if (key == QLatin1String("video::b"))
            bitrate(&result.videoBitrate);
        else if (key == QLatin1String("video::maxrate"))
            bitrate(&result.videoMaxrate);
        else if (key == QLatin1String("video::rc_type"))
            result.rcType = value.toLower();
        else if (key == QLatin1String("video::quality"))
            ok = readInt(value, 1, 7, &result.quality);
        else if (key == QLatin1String("video::preset"))
            result.preset = value;
        else if (key == QLatin1String("audio::codec"))
            result.audioCodec = value;
        else if (key == QLatin1String("audio::b"))
            bitrate(&result.audioBitrate);
        else if (key == QLatin1String("audio::minrate"))
            bitrate(&result.audioMinrate);
        else if (key == QLatin1String("audio::maxrate"))
            bitrate(&result.audioMaxrate);
        else if (key == QLatin1String("audio::ar"))
            ok = readInt(value, 0, 384000, &result.sampleRate);
        else if (key == QLatin1String("mpeg::split_channels"))
            ok = readBool(value, &result.splitChannels);
        else if (!result.unknownKeys.contains(key))
            result.unknownKeys.append(key);
        if (!ok) {
            if (error)
                *error = QStringLiteral("invalid value '%1' for %2").arg(value, key);
            return false;
        }
    }
    *options = result;
    return true;
}
