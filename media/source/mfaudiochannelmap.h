#pragma once

#include <QString>
#include <QVector>

// The text of the live source's property "audio_channels": which source channels (numbered from 0) make
// each output channel. "," separates output channels, "+" mixes several source channels into one:
// "0,1" stereo from the first pair, "2+3" one mono channel, "0+1+2,3+4+" two channels (a "+" at the end
// of a channel is ignored). Blanks around numbers are allowed. An empty text keeps the source's channels.
// Mixed channels are summed at unit gain (clipped only when converted to integer samples).
class MFAudioChannelMap {
public:
    static constexpr int MAX_SOURCE_CHANNEL = 63;
    static constexpr int MAX_OUTPUT_CHANNELS = 32;

    MFAudioChannelMap() = default;

    // False, with *map untouched, when the text is not a valid map.
    static bool parse(const QString &text, MFAudioChannelMap *map);

    // True for the empty text: the source's channels pass unchanged.
    bool keepsSource() const { return outputs.isEmpty(); }
    int outputChannels() const { return outputs.size(); }
    // Source channels mixed into output channel index.
    const QVector<int> &sources(int output) const { return outputs.at(output); }
    QString text() const { return source; }

private:
    QVector<QVector<int>> outputs;
    QString source;
};
