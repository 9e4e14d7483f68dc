#include "mfencoderprobe.h"

#include "mfcodectable.h"
#include "mfffmpeglog.h"
#include "mfvideoencoder.h"

#include <QDebug>

#include <mutex>

extern "C" {
#include <libavutil/frame.h>
}

namespace {

// Small, but above the minimum picture size of the hardware encoders.
constexpr int probeWidth = 256;
constexpr int probeHeight = 144;

} // namespace

bool mfProbeVideoCodec(const MFCodecEntry &entry, const QString &renderNodeDirectory, QString *why) {
    std::unique_ptr<MFVideoEncoder> encoder = MFVideoEncoder::create(entry);
    if (!encoder) {
        *why = QStringLiteral("no encoder %1 in this build").arg(QLatin1String(entry.encoder));
        return false;
    }
    MFVideoSettings settings;
    settings.width = probeWidth;
    settings.height = probeHeight;
    settings.frameRate = AVRational{25, 1};
    settings.gop = 25;
    settings.renderNodeDirectory = renderNodeDirectory;
    settings.options.videoCodec = QLatin1String(entry.id);
    settings.options.videoBitrate = 500000;
    settings.options.videoMaxrate = 500000;
    if (!encoder->open(settings, why))
        return false;
    AVFrame *frame = av_frame_alloc();
    frame->format = encoder->pixelFormat();
    frame->width = probeWidth;
    frame->height = probeHeight;
    bool ok = av_frame_get_buffer(frame, 0) >= 0;
    if (ok) {
        for (int plane = 0; plane < AV_NUM_DATA_POINTERS && frame->buf[plane]; ++plane)
            memset(frame->buf[plane]->data, plane == 0 ? 16 : 128, frame->buf[plane]->size);
        frame->pts = 0;
        std::vector<AVPacket *> packets;
        ok = encoder->encode(frame, &packets, why) && encoder->encode(nullptr, &packets, why) && !packets.empty();
        if (ok && packets.empty())
            *why = QStringLiteral("no output");
        for (AVPacket *packet : packets)
            av_packet_free(&packet);
    }
    av_frame_free(&frame);
    return ok;
}

QStringList mfAvailableVideoCodecs() {
    static std::once_flag probed;
    static QStringList available;
    std::call_once(probed, [] {
        mfInstallFfmpegLog();
        // Failing hardware encoders print their errors; they are expected here and said once below.
        mfFfmpegLogQuiet(true);
        QStringList missing;
        for (const QString &id : mfCodecIds()) {
            QString why;
            if (mfProbeVideoCodec(*mfCodecFind(id), MFVideoSettings().renderNodeDirectory, &why))
                available << id;
            else
                missing << QStringLiteral("%1 (%2)").arg(id, why);
        }
        mfFfmpegLogQuiet(false);
        qDebug().noquote() << "MFWriter: video codecs available:" << available.join(QLatin1Char(' '));
        if (!missing.isEmpty())
            qDebug().noquote() << "MFWriter: video codecs not available:" << missing.join(QStringLiteral(", "));
    });
    return available;
}

bool mfVideoCodecAvailable(const QString &id) {
    return mfAvailableVideoCodecs().contains(id);
}
