#include "mfaudiochannelmap.h"

#include <QStringList>

bool MFAudioChannelMap::parse(const QString &text, MFAudioChannelMap *map) {
    if (!map)
        return false;
    const QString trimmed = text.trimmed();
    MFAudioChannelMap result;
    result.source = text;
    if (trimmed.isEmpty()) {
        *map = result;
        return true;
    }
    const QStringList channels = trimmed.split(QLatin1Char(','));
    if (channels.size() > MAX_OUTPUT_CHANNELS)
        return false;
    for (const QString &channel : channels) {
        QStringList parts = channel.split(QLatin1Char('+'));
        // A "+" that ends a channel names nothing more; it is tolerated, not an error.
        if (parts.size() > 1 && parts.last().trimmed().isEmpty())
            parts.removeLast();
        QVector<int> mixed;
        for (const QString &part : parts) {
            const QString number = part.trimmed();
            if (number.isEmpty())
                return false;
            for (const QChar c : number)
                if (!c.isDigit() || c.unicode() > '9')
                    return false;
            bool ok = false;
            const int index = number.toInt(&ok);
            if (!ok || index > MAX_SOURCE_CHANNEL)
                return false;
            mixed.append(index);
        }
        result.outputs.append(mixed);
    }
    *map = result;
    return true;
}
