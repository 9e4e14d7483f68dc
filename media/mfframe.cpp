#include "mfframe.h"

#include "mfresult.h"

#include <QMutexLocker>

static AVFrame *newReference(const AVFrame *source) {
    if (!source)
        return nullptr;
    AVFrame *frame = av_frame_alloc();
    if (frame && av_frame_ref(frame, source) < 0)
        av_frame_free(&frame);
    return frame;
}

MFFrame::MFFrame(const AVFrame *video, const AVFrame *audio, const MFFormat &format)
    : videoFrame(newReference(video)), audioFrame(newReference(audio)), frameFormat(format) {}

MFFrame::~MFFrame() {
    av_frame_free(&videoFrame);
    av_frame_free(&audioFrame);
}

AVFrame *MFFrame::writableVideo() {
    if (videoFrame && av_frame_make_writable(videoFrame) < 0)
        return nullptr;
    return videoFrame;
}

int MFFrame::MFFormatGet(MFFormat *format) const {
    if (!format)
        return MF_E_INVALIDARG;
    *format = frameFormat;
    return MF_OK;
}

int MFFrame::MFTimeGet(int64_t *start, int64_t *stop) const {
    if (start)
        *start = timeStart;
    if (stop)
        *stop = timeStop;
    return MF_OK;
}

int MFFrame::MFTimeSet(int64_t start, int64_t stop) {
    timeStart = start;
    timeStop = stop;
    return MF_OK;
}

int MFFrame::MFObjGet(const QString &name, std::shared_ptr<IMFFrame> *object) const {
    QMutexLocker lock(&objectsLock);
    auto found = objects.constFind(name);
    if (found == objects.constEnd())
        return MF_E_NOTFOUND;
    if (object)
        *object = found.value();
    return MF_OK;
}

int MFFrame::MFObjSet(const QString &name, const std::shared_ptr<IMFFrame> &object) {
    QMutexLocker lock(&objectsLock);
    if (object)
        objects.insert(name, object);
    else
        objects.remove(name);
    return MF_OK;
}

int MFFrame::MFPrint(const QString &, double, double, double, double, double, int, const QString &) {
    return MF_E_UNSUPPORTED;
}

int MFFrame::MFPictureGet(uint8_t **data, int *stride) {
    AVFrame *picture = writableVideo();
    if (!picture || !picture->data[0])
        return MF_E_UNSUPPORTED;
    if (data)
        *data = picture->data[0];
    if (stride)
        *stride = picture->linesize[0];
    return MF_OK;
}

int MFFrame::MFAudioSamples() const {
    return audioFrame ? audioFrame->nb_samples : 0;
}
