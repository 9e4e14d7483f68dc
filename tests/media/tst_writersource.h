#pragma once

#include "imfframe.h"

#include <QString>

extern "C" {
#include <libavfilter/avfilter.h>
}

// Frames for the writer tests and the benchmark, made by FFmpeg's lavfi: a moving test picture with a
// little noise (so that the encoders have real work and meet their bitrates) and a stereo tone, each
// frame with exactly its share of samples. Without noise the picture is lavfi's plain testsrc2, the same
// work as an ffmpeg command line reading it.
class WriterTestSource {
public:
    WriterTestSource(int width, int height, double frameRate, int interlace = 3, int sampleRate = 48000,
                     int channels = 2, const QString &pixelFormat = QStringLiteral("yuv420p"), bool noise = true);
    ~WriterTestSource();
    WriterTestSource(const WriterTestSource &) = delete;
    WriterTestSource &operator=(const WriterTestSource &) = delete;

    bool isValid() const { return videoSink && audioSink; }
    // The next frame, or nullptr when the graph failed.
    MFFramePtr next();

private:
    AVFilterGraph *videoGraph = nullptr;
    AVFilterGraph *audioGraph = nullptr;
    AVFilterContext *videoSink = nullptr;
    AVFilterContext *audioSink = nullptr;
    int width;
    int height;
    double rate;
    int interlace;
    int sampleRate;
    int channels;
    int64_t frames = 0;
};
