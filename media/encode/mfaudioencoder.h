#pragma once

#include "mfformat.h"
#include "mfwriteroptions.h"

#include <QString>

#include <utility>
#include <vector>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/audio_fifo.h>
#include <libswresample/swresample.h>
}

// The writer's AAC audio: converts each frame's samples to the encoder's format and rate, gathers them
// into encoder-sized blocks and encodes them, as one stream or one mono stream per channel.
class MFAudioEncoder {
public:
    MFAudioEncoder() = default;
    ~MFAudioEncoder();
    MFAudioEncoder(const MFAudioEncoder &) = delete;
    MFAudioEncoder &operator=(const MFAudioEncoder &) = delete;

    // Opens for the audio of the first frame (nullptr: the record's channels and rate, else 48 kHz stereo).
    bool open(const AVFrame *firstAudio, const MFFormat &format, const MFWriterOptions &options, QString *why);
    void close();

    int streamCount() const { return int(contexts.size()); }
    int sampleRate() const { return outputRate; }
    AVRational timeBase() const { return AVRational{1, outputRate}; }
    void fillParameters(int stream, AVCodecParameters *parameters) const;

    // Adds a frame's samples, or the given number of silent samples when the frame brought none.
    bool push(const AVFrame *audio, int silentSamples, QString *why);
    // Encodes every complete block (and, when draining, the rest and the encoders' delay); appends
    // (stream, packet) pairs the caller owns.
    bool encode(bool drain, std::vector<std::pair<int, AVPacket *>> *packets, QString *why);

private:
    bool configureResampler(const AVFrame *audio, QString *why);
    bool sendBlock(int samples, std::vector<std::pair<int, AVPacket *>> *packets, QString *why);
    bool receive(int stream, std::vector<std::pair<int, AVPacket *>> *packets, QString *why);

    std::vector<AVCodecContext *> contexts;
    SwrContext *resampler = nullptr;
    AVAudioFifo *fifo = nullptr;
    AVChannelLayout outputLayout{};
    AVChannelLayout inputLayout{};
    int inputRate = 0;
    int inputFormat = -1;
    int outputRate = 48000;
    int blockSize = 1024;
    int64_t samplesSent = 0;
};
