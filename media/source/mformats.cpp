#include "mformats.h"

#include "mfalphamask.h"
#include "mfaudiochannelmap.h"
#include "mfaudiopipe.h"
#include "mfdevicebackend.h"
#include "mfformat.h"
#include "mfframe.h"
#include "mfframerate.h"
#include "mfresult.h"
#include "mfsampleformat.h"
#include "mfvideoconvert.h"

#include <QDebug>
#include <QMutex>
#include <QMutexLocker>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <mutex>

extern "C" {
#include <libavutil/channel_layout.h>
#include <libavutil/time.h>
#include <libswscale/swscale.h>
}

namespace {

const QString NONE_ENTRY = QStringLiteral("<None>");
const QString NO_EXTERNAL_AUDIO = QStringLiteral("<No External Audio>");
const QString FROM_VIDEO = QStringLiteral("<From Video>");
const QString PROP_AUDIO_CHANNELS = QStringLiteral("audio_channels");
const QString PROP_LINE_IN = QStringLiteral("line-in");
const QString PROP_START_AT_DEVICESET = QStringLiteral("device.start_at_deviceset");
const QString PROP_VIRTUAL_CLOCK = QStringLiteral("device.virtual_clock");
// The mode the capture asks for, told to the video device so that it captures near it (cameras pick the
// nearest mode, the screen grabs at that rate) instead of its own default.
const QString PROP_FRAME_RATE = QStringLiteral("capture.frame_rate");
const QString PROP_VIDEO_SIZE = QStringLiteral("capture.video_size");

constexpr double DEFAULT_FRAME_RATE = 25.0;
// A fetch waits at most one frame interval plus this for a device's picture, so a stop is never held up.
constexpr int FETCH_SLACK_MS = 500;
// Output frames the consumer may fall behind the clock before frames are dropped to catch up.
constexpr int LATE_FRAMES = 4;
// Audio primed ahead of the frames: two frame intervals plus a burst allowance of the devices.
constexpr int AUDIO_BURST_MS = 40;

enum InternalAudio { FromVideo = 0, NoInternal = 1 };

struct Listed {
    MFDeviceEntry entry;
    MFDeviceProviderPtr provider; // none for the fixed entries
};

// Index of a device type into the listed types; -1 for the fixed internal audio list and unknown types.
int listOf(int type) {
    switch (type) {
    case eMFDT_Video:
        return 0;
    case eMFDT_ExtAudio:
        return 1;
    case eMFDT_Sink:
        return 2;
    default:
        return -1;
    }
}

QList<Listed> buildList(int type) {
    QList<Listed> list;
    if (type == eMFDT_Video) {
        list.append(Listed{MFDeviceEntry{NONE_ENTRY, {}, {}}, nullptr});
    } else if (type == eMFDT_ExtAudio) {
        list.append(Listed{MFDeviceEntry{NONE_ENTRY, {}, {}}, nullptr});
        list.append(Listed{MFDeviceEntry{NO_EXTERNAL_AUDIO, {}, {}}, nullptr});
    }
    for (const MFDeviceProviderPtr &provider : MFDeviceRegistry::providers())
        for (const MFDeviceEntry &entry : provider->list(type))
            list.append(Listed{entry, provider});
    return list;
}

// No size asked for: the source's own format, interleaved (16-bit when there is no source yet).
AVSampleFormat sampleFormatFor(int bitsPerSample, AVSampleFormat source) {
    const AVSampleFormat asked = mfSampleFormatOfBits(bitsPerSample);
    if (asked != AV_SAMPLE_FMT_NONE)
        return asked;
    return source == AV_SAMPLE_FMT_NONE ? AV_SAMPLE_FMT_S16 : av_get_packed_sample_fmt(source);
}

int bitsOf(AVSampleFormat format) {
    return av_get_bytes_per_sample(format) * 8;
}

// "key=value" pairs separated by blanks.
MFDeviceProps parseOptions(const QString &options) {
    MFDeviceProps props;
    for (const QString &pair : options.split(QLatin1Char(' '), Qt::SkipEmptyParts)) {
        const int eq = pair.indexOf(QLatin1Char('='));
        if (eq > 0)
            props.insert(pair.left(eq), pair.mid(eq + 1));
    }
    return props;
}

// A frame rate as the devices read it back (QString::toDouble): three decimals tell every broadcast rate
// apart (23.976, 29.97, 59.94) and keep 30000/1001 from turning into a long fraction.
QString rateText(double rate) {
    return QString::number(std::round(rate * 1000.0) / 1000.0, 'g', 10);
}

} // namespace

struct MFormats::Impl {
    // Serialises opening, closing and property changes (GUI side). The frame fetch takes it only to start
    // a device that was opened without starting; it is never held while a fetch waits for a picture.
    QMutex control;

    QMutex lock; // guards everything below; held for short work only, never across a wait
    MFDeviceProps props;
    MFAudioChannelMap channelMap;
    QList<Listed> lists[3];
    int openIndex[3] = {-1, 0, -1}; // video (or sink), internal audio, external audio
    int videoType = eMFDT_Video;
    QStringList videoLines;
    std::shared_ptr<MFVideoDevice> video;
    bool videoStarted = false;
    std::shared_ptr<MFAudioDevice> extAudio;
    bool extStarted = false;
    bool virtualClock = false;

    // The mode asked by the last fetch (empty: none asked) and what the open video device was told, so
    // that a device hears of it once per change and not once per frame. videoGeneration counts opened
    // video devices; told* belong to the one of toldGeneration.
    QString wantedRate;
    QString wantedSize;
    uint64_t videoGeneration = 0;
    uint64_t toldGeneration = 0;
    QString toldRate;
    QString toldSize;

    // Output clock: frame n of the current rate is due at t0Us + n intervals.
    bool pacing = false;
    AVRational fps{0, 1};
    int64_t t0Us = 0;
    int64_t n = 0;
    int64_t base100ns = 0; // time of frame 0 of the current rate

    // Conversion state.
    SwsContext *sws = nullptr;
    AVFrame *lastOutput = nullptr; // the last converted picture, reused while the device has no new one
    uint64_t lastSequence = 0;
    const MFVideoDevice *lastDevice = nullptr;
    // The masked form of the last picture with alpha, reused like lastOutput.
    SwsContext *maskScale = nullptr;
    SwsContext *maskToYuv = nullptr;
    AVFrame *lastMask = nullptr;
    uint64_t lastMaskSequence = 0;
    const MFVideoDevice *lastMaskDevice = nullptr;
    MFAudioPipe audio;
    const MFAudioFifo *audioSource = nullptr;
    bool reportedNoPicture = false;

    MFDeviceProps deviceProps() const {
        MFDeviceProps p = props;
        if (virtualClock)
            p.insert(PROP_VIRTUAL_CLOCK, QStringLiteral("1"));
        if (!wantedRate.isEmpty())
            p.insert(PROP_FRAME_RATE, wantedRate);
        if (!wantedSize.isEmpty())
            p.insert(PROP_VIDEO_SIZE, wantedSize);
        return p;
    }
    void askMode(const MFFormat &format) {
        wantedRate = format.frameRate > 0.0 ? rateText(format.frameRate) : QString();
        wantedSize = format.width && format.height
                         ? QStringLiteral("%1x%2").arg(std::abs(format.width)).arg(std::abs(format.height))
                         : QString();
    }
    // The current video device started with these properties.
    void toldAtStart(const MFDeviceProps &started) {
        toldGeneration = videoGeneration;
        toldRate = started.value(PROP_FRAME_RATE);
        toldSize = started.value(PROP_VIDEO_SIZE);
    }
    // What the running video device has not yet been told of the asked mode; counted as told from now on,
    // so that a device refusing a value is not asked again on every frame.
    MFDeviceProps untoldMode() {
        if (toldGeneration != videoGeneration)
            toldAtStart(MFDeviceProps());
        MFDeviceProps changes;
        if (!wantedRate.isEmpty() && wantedRate != toldRate)
            changes.insert(PROP_FRAME_RATE, toldRate = wantedRate);
        if (!wantedSize.isEmpty() && wantedSize != toldSize)
            changes.insert(PROP_VIDEO_SIZE, toldSize = wantedSize);
        return changes;
    }
    void resetConversion() {
        av_frame_free(&lastOutput);
        lastSequence = 0;
        lastDevice = nullptr;
        av_frame_free(&lastMask);
        lastMaskSequence = 0;
        lastMaskDevice = nullptr;
    }
    // The masked form of a picture with alpha for an ARGB32 output, or null (the frame then has none).
    AVFrame *maskFor(const AVFrame *picture, const MFVideoDevice *device, uint64_t sequence, int width, int height,
                     bool heightAsked) {
        // An asked height already counts the mask (the output's height is doubled for it); at the source's
        // own size the masked frame is twice as high.
        const int pictureHeight = heightAsked ? height / 2 : height;
        if (pictureHeight <= 0)
            return nullptr;
        if (!(lastMask && lastMaskDevice == device && lastMaskSequence == sequence && lastMask->width == width &&
              lastMask->height == pictureHeight * 2)) {
            if (!lastMask)
                lastMask = av_frame_alloc();
            if (!lastMask ||
                MF_FAILED(mfBuildAlphaMask(&maskScale, &maskToYuv, picture, width, pictureHeight, lastMask))) {
                av_frame_free(&lastMask);
                return nullptr;
            }
            lastMaskDevice = device;
            lastMaskSequence = sequence;
        }
        return av_frame_clone(lastMask);
    }
};

MFormats::MFormats() : d(new Impl) {}

MFormats::~MFormats() {
    DeviceClose();
    sws_freeContext(d->sws);
    sws_freeContext(d->maskScale);
    sws_freeContext(d->maskToYuv);
    av_frame_free(&d->lastOutput);
    av_frame_free(&d->lastMask);
}

std::shared_ptr<MFormats> MFormats::create() {
    return std::make_shared<MFormats>();
}

void MFormats::setVirtualClock(bool enabled) {
    QMutexLocker locker(&d->lock);
    d->virtualClock = enabled;
    d->pacing = false;
}

int MFormats::DeviceGetCount(int type, int *count) {
    if (!count)
        return MF_E_INVALIDARG;
    if (type == eMFDT_Audio) {
        *count = 2;
        return MF_OK;
    }
    const int l = listOf(type);
    if (l < 0)
        return MF_E_INVALIDARG;
    // Listing asks the backends, which may take a moment: done outside the lock.
    QList<Listed> fresh = buildList(type);
    QMutexLocker locker(&d->lock);
    d->lists[l] = fresh;
    *count = fresh.size();
    return MF_OK;
}

int MFormats::DeviceGetByIndex(int type, int index, QString *name) {
    if (!name)
        return MF_E_INVALIDARG;
    if (type == eMFDT_Audio) {
        if (index < 0 || index > 1)
            return MF_E_INVALIDARG;
        *name = index == FromVideo ? FROM_VIDEO : NONE_ENTRY;
        return MF_OK;
    }
    const int l = listOf(type);
    if (l < 0)
        return MF_E_INVALIDARG;
    {
        QMutexLocker locker(&d->lock);
        if (!d->lists[l].isEmpty()) {
            if (index < 0 || index >= d->lists[l].size())
                return MF_E_INVALIDARG;
            *name = d->lists[l].at(index).entry.name;
            return MF_OK;
        }
    }
    int count = 0;
    DeviceGetCount(type, &count);
    QMutexLocker locker(&d->lock);
    if (index < 0 || index >= d->lists[l].size())
        return MF_E_INVALIDARG;
    *name = d->lists[l].at(index).entry.name;
    return MF_OK;
}

int MFormats::DeviceSet(int type, int index, const QString &options) {
    QMutexLocker control(&d->control);
    if (type == eMFDT_Audio) {
        if (index < 0 || index > 1)
            return MF_E_INVALIDARG;
        QMutexLocker locker(&d->lock);
        d->openIndex[1] = index;
        return MF_OK;
    }
    const int l = listOf(type);
    if (l < 0)
        return MF_E_INVALIDARG;
    Listed chosen;
    MFDeviceProps props;
    {
        QMutexLocker locker(&d->lock);
        if (d->lists[l].isEmpty()) {
            locker.unlock();
            int count = 0;
            DeviceGetCount(type, &count);
            locker.relock();
        }
        if (index < 0 || index >= d->lists[l].size()) {
            qWarning() << "live source: no device" << index << "of type" << type;
            return MF_E_INVALIDARG;
        }
        chosen = d->lists[l].at(index);
        if (type != eMFDT_ExtAudio) {
            // An input line belongs to the device it was chosen on; a new video device starts on its own
            // default line rather than on a same-named line of the previous one.
            d->props.remove(PROP_LINE_IN);
        }
        props = d->deviceProps();
    }
    props.insert(parseOptions(options));
    const bool startNow = props.value(PROP_START_AT_DEVICESET) != QLatin1String("false");

    if (type == eMFDT_ExtAudio) {
        std::unique_ptr<MFAudioDevice> device;
        if (chosen.provider) {
            device = chosen.provider->openAudio(chosen.entry);
            if (!device) {
                qWarning() << "live source: cannot open audio device" << chosen.entry.name;
                return MF_E_FAIL;
            }
            if (startNow && MF_FAILED(device->start(props))) {
                qWarning() << "live source: cannot start audio device" << chosen.entry.name;
                return MF_E_FAIL;
            }
        }
        std::shared_ptr<MFAudioDevice> old;
        {
            QMutexLocker locker(&d->lock);
            old = std::move(d->extAudio);
            d->extAudio = std::move(device);
            d->extStarted = startNow;
            d->openIndex[2] = index;
            d->audioSource = nullptr; // the pipe follows the new device's samples from the next frame
        }
        if (old)
            old->stop();
        return MF_OK;
    }

    std::unique_ptr<MFVideoDevice> device;
    if (chosen.provider) {
        device = chosen.provider->openVideo(chosen.entry);
        if (!device) {
            qWarning() << "live source: cannot open video device" << chosen.entry.name;
            return MF_E_FAIL;
        }
        if (startNow && MF_FAILED(device->start(props))) {
            qWarning() << "live source: cannot start video device" << chosen.entry.name;
            return MF_E_FAIL;
        }
    }
    std::shared_ptr<MFVideoDevice> old;
    {
        QMutexLocker locker(&d->lock);
        old = std::move(d->video);
        d->video = std::move(device);
        d->videoStarted = startNow;
        d->videoType = type;
        d->videoLines = chosen.entry.lines;
        d->openIndex[0] = index;
        ++d->videoGeneration;
        if (startNow)
            d->toldAtStart(props);
        d->resetConversion();
        d->reportedNoPicture = false;
        d->audioSource = nullptr;
    }
    // Stopped outside the lock; a fetch still holding it lets it go when it returns.
    if (old)
        old->stop();
    return MF_OK;
}

int MFormats::DeviceGet(int type, int *index, QString *name) {
    QMutexLocker locker(&d->lock);
    int i = -1;
    QString n;
    if (type == eMFDT_Audio) {
        i = d->openIndex[1];
        n = i == FromVideo ? FROM_VIDEO : NONE_ENTRY;
    } else if (type == eMFDT_ExtAudio) {
        i = d->openIndex[2];
    } else if (type == eMFDT_Video || type == eMFDT_Sink) {
        i = d->videoType == type ? d->openIndex[0] : -1;
    } else {
        return MF_E_INVALIDARG;
    }
    const int l = listOf(type);
    if (l >= 0 && i >= 0 && i < d->lists[l].size())
        n = d->lists[l].at(i).entry.name;
    if (index)
        *index = i;
    if (name)
        *name = i < 0 ? QString() : n;
    return MF_OK;
}

int MFormats::DeviceClose() {
    QMutexLocker control(&d->control);
    std::shared_ptr<MFVideoDevice> video;
    std::shared_ptr<MFAudioDevice> ext;
    {
        QMutexLocker locker(&d->lock);
        video = std::move(d->video);
        ext = std::move(d->extAudio);
        d->video.reset();
        d->extAudio.reset();
        d->openIndex[0] = -1;
        d->openIndex[2] = -1;
        ++d->videoGeneration;
        d->pacing = false;
        d->resetConversion();
        d->audio.close();
        d->audioSource = nullptr;
    }
    if (video)
        video->stop();
    if (ext)
        ext->stop();
    return MF_OK;
}

int MFormats::PropsSet(const QString &name, const QString &value) {
    if (name.isEmpty())
        return MF_E_INVALIDARG;
    QMutexLocker control(&d->control);
    if (name == PROP_AUDIO_CHANNELS) {
        MFAudioChannelMap map;
        if (!MFAudioChannelMap::parse(value, &map)) {
            qWarning() << "live source: audio channel map refused:" << value;
            return MF_E_INVALIDARG;
        }
        QMutexLocker locker(&d->lock);
        d->props.insert(name, value);
        d->channelMap = map;
        return MF_OK;
    }
    std::shared_ptr<MFVideoDevice> video;
    std::shared_ptr<MFAudioDevice> ext;
    {
        QMutexLocker locker(&d->lock);
        video = d->video;
        ext = d->extAudio;
    }
    // An open device may refuse the value (a line it does not have): the old value then stays.
    if (video) {
        const int result = video->setProperty(name, value);
        if (MF_FAILED(result))
            return result;
    }
    if (ext) {
        const int result = ext->setProperty(name, value);
        if (MF_FAILED(result))
            return result;
    }
    QMutexLocker locker(&d->lock);
    d->props.insert(name, value);
    return MF_OK;
}

int MFormats::PropsGet(const QString &name, QString *value) {
    if (!value)
        return MF_E_INVALIDARG;
    QMutexLocker locker(&d->lock);
    const auto found = d->props.constFind(name);
    if (found == d->props.constEnd()) {
        value->clear();
        return MF_FALSE;
    }
    *value = found.value();
    return MF_OK;
}

int MFormats::PropsOptionGetCount(const QString &name, int *count) {
    if (!count)
        return MF_E_INVALIDARG;
    *count = 0;
    if (name != PROP_LINE_IN)
        return MF_OK;
    QMutexLocker locker(&d->lock);
    if (d->video)
        *count = d->video->lines(d->videoLines).size();
    return MF_OK;
}

int MFormats::PropsOptionGetByIndex(const QString &name, int index, QString *value, QString *description) {
    if (name != PROP_LINE_IN)
        return MF_E_NOTFOUND;
    QStringList lines;
    {
        QMutexLocker locker(&d->lock);
        if (d->video)
            lines = d->video->lines(d->videoLines);
    }
    if (index < 0 || index >= lines.size())
        return MF_E_INVALIDARG;
    if (value)
        *value = lines.at(index);
    if (description)
        *description = lines.at(index);
    return MF_OK;
}

int MFormats::PropsOptionSetByIndex(const QString &name, int index) {
    QString value;
    const int result = PropsOptionGetByIndex(name, index, &value, nullptr);
    if (MF_FAILED(result))
        return result;
    return PropsSet(name, value);
}

int MFormats::SourceFrameConvertedGetByFormat(const MFFormat &format, MFFramePtr *frame, int timeoutMs,
                                              const QString &options) {
    (void)options;
    if (!frame)
        return MF_E_INVALIDARG;
    frame->reset();

    // Devices opened with "device.start_at_deviceset" = "false" start with the first fetch, a running video
    // device hears of a change of the asked rate or size. While the GUI side holds the control lock
    // (opening a device) this is left for a later fetch instead of waiting.
    if (d->control.tryLock()) {
        std::unique_lock<QMutex> control(d->control, std::adopt_lock);
        std::shared_ptr<MFVideoDevice> video;
        std::shared_ptr<MFAudioDevice> ext;
        std::shared_ptr<MFVideoDevice> running;
        MFDeviceProps props;
        MFDeviceProps modeChanges;
        {
            QMutexLocker locker(&d->lock);
            d->askMode(format);
            if (d->video && !d->videoStarted)
                video = d->video;
            if (d->extAudio && !d->extStarted)
                ext = d->extAudio;
            props = d->deviceProps();
            if (video) {
                d->toldAtStart(props); // it starts in the asked mode: no reopen afterwards
            } else if (d->video) {
                modeChanges = d->untoldMode();
                if (!modeChanges.isEmpty())
                    running = d->video;
            }
        }
        for (auto change = modeChanges.cbegin(); change != modeChanges.cend(); ++change) {
            // A device that cannot take the mode keeps capturing in its own; the conversion still delivers
            // the asked format.
            if (MF_FAILED(running->setProperty(change.key(), change.value())))
                qWarning() << "live source: the video device keeps its own mode, it refused" << change.key()
                           << change.value();
        }
        const bool videoOk = !video || MF_SUCCEEDED(video->start(props));
        const bool extOk = !ext || MF_SUCCEEDED(ext->start(props));
        QMutexLocker locker(&d->lock);
        if (video && d->video == video)
            d->videoStarted = true; // a failed start is not retried on every frame
        if (ext && d->extAudio == ext)
            d->extStarted = true;
        if (!videoOk || !extOk)
            qWarning() << "live source: a device failed to start";
    }

    std::shared_ptr<MFVideoDevice> video;
    {
        QMutexLocker locker(&d->lock);
        video = d->video;
    }
    // "As the source" is the device's own rate, which a device that learns it from its input (an NDI source)
    // knows only once its first picture has come; pacing at the default rate before would keep that rate.
    if (!(format.frameRate > 0.0) && video && !(video->frameRate() > 0.0) && video->pictures().sequence() == 0)
        video->pictures().waitNewer(0, timeoutMs < 0 ? FETCH_SLACK_MS + 1000 / int(DEFAULT_FRAME_RATE) : timeoutMs);
    int64_t dueUs = 0;
    int64_t periodUs = 0;
    bool virtualClock = false;
    {
        QMutexLocker locker(&d->lock);
        video = d->video;
        virtualClock = d->virtualClock;
        double rate = format.frameRate;
        if (!(rate > 0.0) && video)
            rate = video->frameRate();
        AVRational fps = mfFrameRateRational(rate > 0.0 ? rate : DEFAULT_FRAME_RATE);
        if (!d->pacing || av_cmp_q(fps, d->fps) != 0) {
            // A new rate starts its own count where the previous one ended, so time stamps keep rising.
            if (d->pacing)
                d->base100ns += mfFrameTime(d->n, d->fps, MF_TIME_UNITS_PER_SECOND);
            d->fps = fps;
            d->t0Us = av_gettime_relative();
            d->n = 0;
            d->pacing = true;
        }
        periodUs = mfFrameTime(1, d->fps, 1000000);
        dueUs = d->t0Us + mfFrameTime(d->n, d->fps, 1000000);
    }
    const int64_t boundUs = timeoutMs < 0 ? periodUs + FETCH_SLACK_MS * 1000LL : int64_t(timeoutMs) * 1000;

    if (!video) {
        // Nothing to wait for; pausing one interval keeps a retrying caller from spinning.
        av_usleep(unsigned(std::min(periodUs, boundUs)));
        return MF_E_NOTREADY;
    }

    if (virtualClock && video->advanceTo(dueUs)) {
        // The device produced up to the due time synchronously.
    } else {
        const int64_t now = av_gettime_relative();
        if (dueUs > now) {
            if (dueUs - now > boundUs) {
                av_usleep(unsigned(boundUs));
                return MF_E_TIMEOUT;
            }
            av_usleep(unsigned(dueUs - now));
        } else if (now - dueUs > LATE_FRAMES * periodUs) {
            // The consumer fell behind: drop output frames so that the stream keeps to the clock.
            QMutexLocker locker(&d->lock);
            const int64_t behind = (now - dueUs) / periodUs;
            d->n += behind;
        }
    }

    AVFrame *picture = av_frame_alloc();
    if (!picture)
        return MF_E_FAIL;
    uint64_t sequence = 0;
    if (video->pictures().get(picture, &sequence) == MF_E_NOTREADY) {
        if (video->pictures().waitNewer(0, int(boundUs / 1000)))
            video->pictures().get(picture, &sequence);
    }
    if (!picture->data[0] && !picture->buf[0]) {
        av_frame_free(&picture);
        QMutexLocker locker(&d->lock);
        if (!d->reportedNoPicture) {
            d->reportedNoPicture = true;
            qWarning() << "live source: the video device delivers no picture";
        }
        return MF_E_NOTREADY;
    }

    QMutexLocker locker(&d->lock);
    d->reportedNoPicture = false;

    // Picture: the device's own frame by reference when it already has the asked format; a converted one
    // otherwise, converted once per device picture however often it is repeated.
    const AVPixelFormat sourceFormat = AVPixelFormat(picture->format);
    const int width = format.width ? std::abs(format.width) : picture->width;
    const int height = format.height ? std::abs(format.height) : picture->height;
    AVPixelFormat wanted = format.colorFormat ? mfPixelFormatFromColor(format.colorFormat) : AV_PIX_FMT_NONE;
    if (wanted == AV_PIX_FMT_NONE)
        wanted = mfColorFromPixelFormat(sourceFormat) ? sourceFormat : AV_PIX_FMT_YUV420P;
    AVFrame *out = av_frame_alloc();
    int result = out ? MF_OK : MF_E_FAIL;
    if (MF_SUCCEEDED(result)) {
        if (d->lastOutput && d->lastDevice == video.get() && d->lastSequence == sequence &&
            d->lastOutput->width == width && d->lastOutput->height == height && d->lastOutput->format == wanted) {
            result = av_frame_ref(out, d->lastOutput) < 0 ? MF_E_FAIL : MF_OK;
        } else if (sourceFormat == wanted && picture->width == width && picture->height == height) {
            result = av_frame_ref(out, picture) < 0 ? MF_E_FAIL : MF_OK;
        } else {
            result = mfScaleFrame(&d->sws, picture, out, width, height, wanted);
            if (MF_SUCCEEDED(result)) {
                av_frame_free(&d->lastOutput);
                d->lastOutput = av_frame_clone(out);
                d->lastDevice = video.get();
                d->lastSequence = sequence;
            }
        }
    }
    if (MF_FAILED(result)) {
        av_frame_free(&picture);
        av_frame_free(&out);
        qWarning() << "live source: cannot convert the picture to" << width << "x" << height;
        return result;
    }
    int interlace = format.interlace;
    if (interlace < MFIL_TOP_FIRST || interlace > MFIL_PROGRESSIVE)
        interlace = picture->interlaced_frame ? (picture->top_field_first ? MFIL_TOP_FIRST : MFIL_BOTTOM_FIRST)
                                              : MFIL_PROGRESSIVE;
    out->interlaced_frame = interlace != MFIL_PROGRESSIVE;
    out->top_field_first = interlace == MFIL_TOP_FIRST;

    MFFormat outFormat;
    outFormat.colorFormat = mfColorFromPixelFormat(wanted);
    outFormat.width = width;
    outFormat.height = height;
    outFormat.interlace = interlace;
    if (format.aspectX > 0 && format.aspectY > 0) {
        outFormat.aspectX = format.aspectX;
        outFormat.aspectY = format.aspectY;
    } else {
        const AVRational sar = picture->sample_aspect_ratio.num > 0 ? picture->sample_aspect_ratio : AVRational{1, 1};
        int ax = 0, ay = 0;
        av_reduce(&ax, &ay, int64_t(picture->width) * sar.num, int64_t(picture->height) * sar.den, INT16_MAX);
        outFormat.aspectX = int16_t(ax);
        outFormat.aspectY = int16_t(ay);
    }
    outFormat.frameRate = format.frameRate > 0.0 ? format.frameRate : av_q2d(d->fps);
    AVFrame *mask = wanted == AV_PIX_FMT_BGRA && mfHasAlpha(sourceFormat)
                        ? d->maskFor(picture, video.get(), sequence, width, height, format.height != 0)
                        : nullptr;
    av_frame_free(&picture);

    // Audio: exactly this frame's share, from the external device if one is open, else the video's own.
    MFAudioFifo *source =
        d->extAudio ? &d->extAudio->samples() : (d->openIndex[1] == FromVideo ? video->audio() : nullptr);
    AVFrame *sound = nullptr;
    if (source && source->format() != AV_SAMPLE_FMT_NONE) {
        const MFAudioParams in{source->format(), source->channels(), source->sampleRate()};
        MFAudioParams outParams;
        outParams.channels = MFAudioPipe::outputChannels(in.channels, d->channelMap, format.channels);
        outParams.sampleRate = format.sampleRate > 0 ? format.sampleRate : in.sampleRate;
        outParams.format = sampleFormatFor(format.bitsPerSample, in.format);
        if (d->audioSource != source || !d->audio.matches(in, outParams, d->channelMap.text())) {
            const int latency = int(mfSamplesBefore(2, outParams.sampleRate, d->fps) +
                                    int64_t(outParams.sampleRate) * AUDIO_BURST_MS / 1000);
            if (MF_FAILED(d->audio.open(in, outParams, d->channelMap, latency)))
                qWarning() << "live source: audio dropped, conversion failed";
            source->reset(); // start in step: what queued before this frame is stale
            d->audioSource = source;
        }
        if (d->audio.isOpen()) {
            const int needed = int(mfSamplesBefore(d->n + 1, outParams.sampleRate, d->fps) -
                                   mfSamplesBefore(d->n, outParams.sampleRate, d->fps));
            sound = av_frame_alloc();
            if (!sound || MF_FAILED(d->audio.take(source, needed, sound, !virtualClock)))
                av_frame_free(&sound);
        }
    } else {
        d->audio.close();
        d->audioSource = nullptr;
        const int channels = MFAudioPipe::outputChannels(format.channels, d->channelMap, format.channels);
        if (channels > 0 && format.sampleRate > 0) {
            // No audio device but audio asked for: silence keeps the stream's audio track continuous.
            const int needed = int(mfSamplesBefore(d->n + 1, format.sampleRate, d->fps) -
                                   mfSamplesBefore(d->n, format.sampleRate, d->fps));
            sound = av_frame_alloc();
            if (sound) {
                sound->format = sampleFormatFor(format.bitsPerSample, AV_SAMPLE_FMT_NONE);
                av_channel_layout_default(&sound->ch_layout, channels);
                sound->sample_rate = format.sampleRate;
                sound->nb_samples = needed;
                if (needed > 0 && av_frame_get_buffer(sound, 0) < 0)
                    av_frame_free(&sound);
                else if (needed > 0)
                    av_samples_set_silence(sound->extended_data, 0, needed, channels, AVSampleFormat(sound->format));
            }
        }
    }
    if (sound) {
        outFormat.channels = sound->ch_layout.nb_channels;
        outFormat.sampleRate = sound->sample_rate;
        outFormat.bitsPerSample = bitsOf(AVSampleFormat(sound->format));
    }

    const int64_t start = d->base100ns + mfFrameTime(d->n, d->fps, MF_TIME_UNITS_PER_SECOND);
    const int64_t stop = d->base100ns + mfFrameTime(d->n + 1, d->fps, MF_TIME_UNITS_PER_SECOND);
    auto made = MFFrame::make(out, sound, outFormat);
    made->MFTimeSet(start, stop);
    if (mask) {
        // The masked frame stands in for the whole frame, so it carries the frame's audio and times too.
        MFFormat maskFormat = outFormat;
        maskFormat.colorFormat = MFCC_HDYC;
        maskFormat.height = mask->height;
        auto masked = MFFrame::make(mask, sound, maskFormat);
        masked->MFTimeSet(start, stop);
        made->MFObjSet(QLatin1String(kMFAlphaMaskObject), masked);
        av_frame_free(&mask);
    }
    av_frame_free(&out);
    av_frame_free(&sound);
    ++d->n;
    *frame = made;
    return MF_OK;
}
