#include "mfframe.h"

#include "mfcellmarkup.h"
#include "mfresult.h"

#include <cmath>

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

int MFFrame::MFPrint(const QString &markup, double fontScale, double x, double y, double width, double height,
                     int flags, const QString &attributes) {
    // Cells only: each cell takes the share of the rectangle's width that its characters have of all
    // characters, over the rectangle's full height. Glyphs are not drawn (font scale and flags unused).
    (void)fontScale;
    (void)flags;
    if (width <= 0.0 || height <= 0.0)
        return MF_E_INVALIDARG;
    const QVector<MFCell> cells = mfParseCellMarkup(markup, attributes);
    int total = 0;
    for (const MFCell &cell : cells)
        total += cell.characters;
    if (total <= 0)
        return MF_OK;
    AVFrame *picture = writableVideo();
    if (!picture || !picture->data[0])
        return MF_E_UNSUPPORTED;
    const int top = int(std::lround(y));
    const int bottom = int(std::lround(y + height));
    int done = 0;
    for (const MFCell &cell : cells) {
        const int left = int(std::lround(x + width * done / total));
        done += cell.characters;
        const int right = int(std::lround(x + width * done / total));
        if (!cell.filled || right <= left)
            continue;
        const int result = mfFillRect(picture, left, top, right - left, bottom - top, cell.red, cell.green, cell.blue);
        if (MF_FAILED(result))
            return result;
    }
    return MF_OK;
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
