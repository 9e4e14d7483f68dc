#include "tst_writersource.h"

#include "mfformat.h"
#include "mfframe.h"

#include <cmath>

extern "C" {
#include <libavfilter/buffersink.h>
#include <libavutil/mathematics.h>
}

namespace {

AVFilterContext *buildGraph(AVFilterGraph **graph, const QString &description, bool audio) {
    *graph = avfilter_graph_alloc();
    AVFilterContext *sink = nullptr;
    const AVFilter *sinkFilter = avfilter_get_by_name(audio ? "abuffersink" : "buffersink");
    if (avfilter_graph_create_filter(&sink, sinkFilter, "out", nullptr, nullptr, *graph) < 0)
        return nullptr;
    AVFilterInOut *inputs = avfilter_inout_alloc();
    inputs->name = av_strdup("out");
    inputs->filter_ctx = sink;
    inputs->pad_idx = 0;
    inputs->next = nullptr;
    AVFilterInOut *outputs = nullptr;
    const int parsed = avfilter_graph_parse_ptr(*graph, description.toUtf8().constData(), &inputs, &outputs, nullptr);
    avfilter_inout_free(&inputs);
    avfilter_inout_free(&outputs);
    if (parsed < 0 || avfilter_graph_config(*graph, nullptr) < 0)
        return nullptr;
    return sink;
}

} // namespace

WriterTestSource::WriterTestSource(int w, int h, double frameRate, int interlaceCode, int audioRate, int audioChannels,
                                   const QString &pixelFormat, bool noise)
    : width(w), height(h), rate(frameRate), interlace(interlaceCode), sampleRate(audioRate), channels(audioChannels) {
    const QString rateText =
        std::abs(frameRate - 29.97) < 0.001 ? QStringLiteral("30000/1001") : QString::number(frameRate);
    videoSink = buildGraph(&videoGraph,
                           QStringLiteral("testsrc2=size=%1x%2:rate=%3%4,format=%5")
                               .arg(w)
                               .arg(h)
                               .arg(rateText, noise ? QStringLiteral(",noise=alls=10:allf=t") : QString(), pixelFormat),
                           false);
    audioSink = buildGraph(&audioGraph,
                           QStringLiteral("sine=frequency=1000:sample_rate=%1,aformat=sample_fmts=s16:"
                                          "channel_layouts=%2")
                               .arg(audioRate)
                               .arg(audioChannels == 1 ? QStringLiteral("mono") : QStringLiteral("stereo")),
                           true);
}

WriterTestSource::~WriterTestSource() {
    avfilter_graph_free(&videoGraph);
    avfilter_graph_free(&audioGraph);
}

MFFramePtr WriterTestSource::next() {
    if (!isValid())
        return nullptr;
    AVFrame *picture = av_frame_alloc();
    AVFrame *samples = av_frame_alloc();
    // This frame's share of samples: the rounding never drifts (1601/1602 at 29.97 and 48 kHz).
    const double exactRate = std::abs(rate - 29.97) < 0.001 ? 30000.0 / 1001.0 : rate;
    const auto at = [&](int64_t n) { return int64_t(std::llround(double(n) * sampleRate / exactRate)); };
    const int share = int(at(frames + 1) - at(frames));
    MFFramePtr frame;
    if (av_buffersink_get_frame(videoSink, picture) >= 0 && av_buffersink_get_samples(audioSink, samples, share) >= 0) {
        MFFormat format;
        format.colorFormat = MFCC_I420;
        format.width = width;
        format.height = height;
        format.interlace = interlace;
        format.frameRate = rate;
        format.aspectX = 16;
        format.aspectY = 9;
        format.channels = channels;
        format.sampleRate = sampleRate;
        format.bitsPerSample = 16;
        auto media = MFFrame::make(picture, samples, format);
        const int64_t start = av_rescale(frames, int64_t(MF_TIME_UNITS_PER_SECOND * 1000), int64_t(exactRate * 1000));
        media->MFTimeSet(start, start + int64_t(MF_TIME_UNITS_PER_SECOND / exactRate));
        frame = media;
        ++frames;
    }
    av_frame_free(&picture);
    av_frame_free(&samples);
    return frame;
}
