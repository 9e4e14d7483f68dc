#pragma once

#include "mfaudioencoder.h"
#include "mfcodectable.h"
#include "mfvideoencoder.h"
#include "mfwriteroptions.h"

#include <QString>

#include <memory>
#include <vector>

extern "C" {
#include <libavformat/avformat.h>
#include <libswscale/swscale.h>
}

class MFFrame;

// One open output of the writer: the encoders, the muxer and the connection or file. Not thread-safe:
// the writer serialises calls; only the interrupt callback given at open is read from other threads.
class MFWriterOutput {
public:
    MFWriterOutput(const QString &url, const MFWriterOptions &options, const AVIOInterruptCB &interrupt);
    ~MFWriterOutput();
    MFWriterOutput(const MFWriterOutput &) = delete;
    MFWriterOutput &operator=(const MFWriterOutput &) = delete;

    // Opens encoders and output for the first frame; false with the reason in *why.
    bool open(const MFFrame &first, QString *why);
    // Encodes and writes one frame; its packets are flushed before it returns.
    bool put(const MFFrame &frame, QString *why);
    // Retargets the open video encoder's bitrate from the next frame on; false when it cannot.
    bool setVideoBitrate(int64_t bitsPerSecond) { return video && video->setBitrate(bitsPerSecond); }
    // Drains the encoders and writes the trailer (when flush), then closes the connection or file.
    bool close(bool flush, QString *why);

    int64_t framesWritten() const { return frames; }
    // Frame rate of the format record as an exact rational: the NTSC rates are n*1000/1001.
    static AVRational frameRateOf(double rate);

private:
    bool openVideo(const AVFrame *picture, const MFFormat &format, QString *why);
    bool openAudio(const AVFrame *audio, const MFFormat &format, QString *why);
    bool convertPicture(const AVFrame *source, AVFrame **encoderFrame, QString *why);
    bool writePackets(std::vector<AVPacket *> &video, std::vector<std::pair<int, AVPacket *>> &audio, QString *why);

    QString url;
    MFWriterOptions options;
    AVIOInterruptCB interrupt;
    AVFormatContext *muxer = nullptr;
    bool headerWritten = false;
    const MFCodecEntry *videoEntry = nullptr;
    std::unique_ptr<MFVideoEncoder> video;
    MFVideoSettings videoSettings;
    int videoStream = -1;
    MFAudioEncoder audio;
    bool withAudio = false;
    int audioStreamBase = -1;
    SwsContext *scaler = nullptr;
    AVFrame *converted = nullptr;   // picture in the encoder's size and format
    AVFrame *lastPicture = nullptr; // what a frame without picture repeats
    AVRational frameRate{25, 1};
    int64_t frames = 0;
};
