#include "mfwriter.h"

#include "mfcodectable.h"
#include "mfencoderprobe.h"
#include "mfffmpeglog.h"
#include "mfframe.h"
#include "mfresult.h"
#include "mfwriteroptions.h"
#include "mfwriteroutput.h"

#include <QDebug>
#include <QMutex>
#include <QStringList>

#include <atomic>
#include <mutex>

extern "C" {
#include <libavformat/avformat.h>
#include <libavutil/time.h>
}

namespace {

// A frame write normally takes milliseconds; a closing or reconfiguring thread waits this long for it
// before it interrupts the write as stuck.
constexpr int stuckWriteMs = 300;
// Bound on connecting and on the writes of one frame.
constexpr int64_t ioTimeoutUs = 5000000;
// Bound on draining the encoders and writing the trailer at close.
constexpr int64_t closeTimeoutUs = 2000000;

const char *const containers[] = {"mpegts"};
const char *const audioCodecs[] = {"aac"};

} // namespace

struct MFWriter::Impl {
    // Raised by a thread that must end a write stuck in another thread; read by FFmpeg's I/O.
    std::atomic<int> abortRequests{0};
    // Monotonic time (µs) after which the current I/O gives up; 0 for none.
    std::atomic<int64_t> deadline{0};
    // A new video bitrate (kbit/s) for the open output, 0 for none; applied before the next frame is encoded.
    std::atomic<int> pendingVideoKbps{0};

    QMutex lock; // guards everything below: frames, configuration and closing come from different threads
    QString url;
    MFWriterOptions options;
    bool configured = false;
    bool notConfiguredSaid = false;
    std::unique_ptr<MFWriterOutput> output;
    bool failed = false; // the output could not be opened or written; said once, cleared by WriterSet
    QString container = QLatin1String(containers[0]);

    static int interrupted(void *opaque) {
        auto *self = static_cast<Impl *>(opaque);
        if (self->abortRequests.load() > 0)
            return 1;
        const int64_t limit = self->deadline.load();
        return limit > 0 && av_gettime_relative() > limit ? 1 : 0;
    }

    void closeOutput() {
        if (!output)
            return;
        deadline = av_gettime_relative() + closeTimeoutUs;
        QString why;
        if (!output->close(!failed, &why))
            qWarning().noquote() << "MFWriter:" << why;
        output.reset();
        deadline = 0;
    }

    // Takes the lock; when a frame write holds it for too long, interrupts that write first.
    bool lockInterrupting() {
        if (lock.tryLock(stuckWriteMs))
            return false;
        abortRequests.fetch_add(1);
        lock.lock();
        return true;
    }

    void unlockInterrupting(bool interrupted) {
        if (interrupted)
            abortRequests.fetch_sub(1);
        lock.unlock();
    }

    void fail(const QString &why) {
        if (!failed)
            qWarning().noquote() << "MFWriter:" << why;
        failed = true;
    }
};

MFWriter::MFWriter() : d(std::make_unique<Impl>()) {
    static std::once_flag networkStarted;
    std::call_once(networkStarted, [] { avformat_network_init(); });
    mfInstallFfmpegLog();
}

MFWriter::~MFWriter() {
    WriterClose();
}

std::shared_ptr<MFWriter> MFWriter::create() {
    return std::make_shared<MFWriter>();
}

int MFWriter::WriterSet(const QString &url, int mode, const QString &options) {
    Q_UNUSED(mode) // the one mode there is: write what arrives
    const bool interrupted = d->lockInterrupting();
    d->closeOutput();
    d->pendingVideoKbps.store(0);
    d->configured = false;
    d->failed = false;
    d->notConfiguredSaid = false;
    int result = MF_OK;
    QString why;
    MFWriterOptions parsed;
    if (url.trimmed().isEmpty()) {
        why = QStringLiteral("no output address");
        result = MF_E_INVALIDARG;
    } else if (!MFWriterOptions::parse(options, &parsed, &why)) {
        result = MF_E_INVALIDARG;
    } else if (!parsed.format.isEmpty() && parsed.format != d->container && parsed.format != QLatin1String("mpegts")) {
        why = QStringLiteral("container '%1' is not supported").arg(parsed.format);
        result = MF_E_UNSUPPORTED;
    } else if (parsed.hasVideo() && !mfCodecFind(parsed.videoCodec)) {
        why = QStringLiteral("unknown video codec '%1'").arg(parsed.videoCodec);
        result = MF_E_INVALIDARG;
    } else if (parsed.hasAudio() && !parsed.audioCodec.isEmpty() &&
               parsed.audioCodec.compare(QLatin1String("aac"), Qt::CaseInsensitive) != 0) {
        why = QStringLiteral("unknown audio codec '%1'").arg(parsed.audioCodec);
        result = MF_E_INVALIDARG;
    }
    if (result == MF_OK) {
        for (const QString &key : parsed.unknownKeys)
            qDebug().noquote() << "MFWriter: unknown option" << key << "ignored";
        d->url = url.trimmed();
        d->options = parsed;
        d->configured = true;
    } else {
        qWarning().noquote() << "MFWriter: configuration refused:" << why;
    }
    d->unlockInterrupting(interrupted);
    return result;
}

int MFWriter::WriterClose() {
    const bool interrupted = d->lockInterrupting();
    d->closeOutput();
    d->failed = false;
    d->unlockInterrupting(interrupted);
    return MF_OK;
}

int MFWriter::WriterOptionGetCount(int kind, int *count) {
    if (!count)
        return MF_E_INVALIDARG;
    switch (kind) {
    case Container:
        *count = int(std::size(containers));
        return MF_OK;
    case VideoCodec:
        *count = int(mfAvailableVideoCodecs().size());
        return MF_OK;
    case AudioCodec:
        *count = int(std::size(audioCodecs));
        return MF_OK;
    default:
        return MF_E_INVALIDARG;
    }
}

int MFWriter::WriterOptionGetByIndex(int kind, int index, QString *name, QString *description) {
    QString n;
    QString text;
    if (index < 0)
        return MF_E_INVALIDARG;
    if (kind == Container) {
        if (index >= int(std::size(containers)))
            return MF_E_INVALIDARG;
        n = QLatin1String(containers[index]);
        const AVOutputFormat *format = av_guess_format(containers[index], nullptr, nullptr);
        text = format && format->long_name ? QString::fromUtf8(format->long_name) : n;
    } else if (kind == VideoCodec) {
        const QStringList codecs = mfAvailableVideoCodecs();
        if (index >= codecs.size())
            return MF_E_INVALIDARG;
        n = codecs.at(index);
        const MFCodecEntry *entry = mfCodecFind(n);
        const AVCodec *codec = entry ? avcodec_find_encoder_by_name(entry->encoder) : nullptr;
        text = codec && codec->long_name ? QString::fromUtf8(codec->long_name)
                                         : QStringLiteral("%1 (%2)").arg(n, QLatin1String(entry->encoder));
    } else if (kind == AudioCodec) {
        if (index >= int(std::size(audioCodecs)))
            return MF_E_INVALIDARG;
        n = QLatin1String(audioCodecs[index]);
        const AVCodec *codec = avcodec_find_encoder_by_name(audioCodecs[index]);
        text = codec && codec->long_name ? QString::fromUtf8(codec->long_name) : n;
    } else {
        return MF_E_INVALIDARG;
    }
    if (name)
        *name = n;
    if (description)
        *description = text;
    return MF_OK;
}

int MFWriter::WriterOptionSet(int kind, const QString &name) {
    if (kind != Container)
        return MF_E_INVALIDARG;
    for (const char *container : containers) {
        if (name == QLatin1String(container)) {
            QMutexLocker locker(&d->lock);
            d->container = name;
            return MF_OK;
        }
    }
    return MF_E_NOTFOUND;
}

bool MFWriter::changesVideoBitrateInPlace(const QString &codecId, const QString &rcType) {
    const MFCodecEntry *entry = mfCodecFind(codecId);
    return entry && MFVideoEncoder::changesBitrateInPlace(*entry, rcType);
}

int MFWriter::WriterSetVideoBitrate(int kbps) {
    if (kbps <= 0)
        return MF_E_INVALIDARG;
    // Taken up by the next frame: the lock is held for a whole encode and write, which a GUI thread must not wait
    // for.
    d->pendingVideoKbps.store(kbps);
    return MF_OK;
}

int MFWriter::ReceiverFramePut(const MFFramePtr &frame, int timeoutMs, const QString &options) {
    Q_UNUSED(options)
    MFFrame *media = MFFrame::from(frame);
    if (!media)
        return MF_E_INVALIDARG;
    if (timeoutMs == 0) {
        if (!d->lock.tryLock())
            return MF_FALSE; // busy reconfiguring: the frame is dropped, as a full receiver does
    } else {
        d->lock.lock();
    }
    int result = MF_OK;
    if (!d->configured) {
        if (!d->notConfiguredSaid)
            qWarning() << "MFWriter: a frame arrived before the writer was configured";
        d->notConfiguredSaid = true;
        result = MF_E_NOTREADY;
    } else if (d->failed) {
        result = MF_E_FAIL;
    } else {
        QString why;
        d->deadline = av_gettime_relative() + ioTimeoutUs;
        if (!d->output) {
            d->output =
                std::make_unique<MFWriterOutput>(d->url, d->options, AVIOInterruptCB{&Impl::interrupted, d.get()});
            if (!d->output->open(*media, &why)) {
                d->fail(why);
                d->closeOutput();
                result = MF_E_FAIL;
            }
        }
        if (const int kbps = d->pendingVideoKbps.exchange(0); result == MF_OK && kbps > 0) {
            if (d->output->setVideoBitrate(int64_t(kbps) * 1000))
                qDebug() << "MFWriter: video bitrate now" << kbps << "kbit/s";
            else
                qWarning() << "MFWriter: this encoder cannot change its bitrate while it runs; it stays as it was";
        }
        if (result == MF_OK && !d->output->put(*media, &why)) {
            d->fail(why);
            result = MF_E_FAIL;
        }
        d->deadline = 0;
    }
    d->lock.unlock();
    return result;
}
