#pragma once

// The media layer's own frame. Only code inside media/ (and its tests) includes this header, because it
// exposes FFmpeg types.

#include "imfframe.h"

#include <QMap>
#include <QMutex>

extern "C" {
#include <libavutil/frame.h>
}

class MFFrame : public IMFFrame {
public:
    // Takes new references to the given frames (either may be null): the caller keeps its own.
    MFFrame(const AVFrame *video, const AVFrame *audio, const MFFormat &format);
    ~MFFrame() override;
    MFFrame(const MFFrame &) = delete;
    MFFrame &operator=(const MFFrame &) = delete;

    static std::shared_ptr<MFFrame> make(const AVFrame *video, const AVFrame *audio, const MFFormat &format) {
        return std::make_shared<MFFrame>(video, audio, format);
    }
    // The media layer's frame behind an interface pointer, or nullptr for a frame of another kind.
    static MFFrame *from(const MFFramePtr &frame) { return dynamic_cast<MFFrame *>(frame.get()); }

    const AVFrame *video() const { return videoFrame; }
    // Writable picture: makes the picture data exclusive to this frame first (copy on write), so that
    // drawing into it never changes a frame that shares the buffer.
    AVFrame *writableVideo();
    const AVFrame *audio() const { return audioFrame; }
    const MFFormat &format() const { return frameFormat; }

    int MFFormatGet(MFFormat *format) const override;
    int MFTimeGet(int64_t *start, int64_t *stop) const override;
    int MFTimeSet(int64_t start, int64_t stop) override;
    int MFObjGet(const QString &name, std::shared_ptr<IMFFrame> *object) const override;
    int MFObjSet(const QString &name, const std::shared_ptr<IMFFrame> &object) override;
    int MFPrint(const QString &markup, double fontScale, double x, double y, double width, double height, int flags,
                const QString &attributes) override;
    int MFPictureGet(uint8_t **data, int *stride) override;
    int MFAudioSamples() const override;

private:
    AVFrame *videoFrame = nullptr;
    AVFrame *audioFrame = nullptr;
    MFFormat frameFormat;
    int64_t timeStart = 0;
    int64_t timeStop = 0;
    mutable QMutex objectsLock; // guards objects: overlays may attach while the preview reads
    QMap<QString, std::shared_ptr<IMFFrame>> objects;
};
