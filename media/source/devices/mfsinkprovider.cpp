#include "mfsinkprovider.h"
#include "mfframe.h"
#include "mfresult.h"
#include "mfsink.h"

extern "C" {
#include <libavutil/time.h>
}

namespace {
const QString kSinkScheme = QStringLiteral("mp://");
// Each wait for a frame is short, so a stop is seen quickly.
constexpr int kWaitMs = 100;
constexpr int kNoSinkPollMs = 20;
} // namespace

QList<MFDeviceEntry> MFSinkProvider::list(int type) {
    QList<MFDeviceEntry> entries;
    if (type != eMFDT_Sink)
        return entries;
    for (const QString &sink : MFSink::names())
        entries.append(MFDeviceEntry{kSinkScheme + sink, {}, sink});
    return entries;
}

std::unique_ptr<MFVideoDevice> MFSinkProvider::openVideo(const MFDeviceEntry &entry) {
    return std::make_unique<MFSinkDevice>(entry.id);
}

MFSinkDevice::MFSinkDevice(const QString &sinkName) : name(sinkName) {}

MFSinkDevice::~MFSinkDevice() {
    stop();
}

int MFSinkDevice::start(const MFDeviceProps &) {
    if (running.load())
        return MF_OK;
    ownAudio = std::make_unique<MFAudioFifo>();
    running = true;
    worker = std::thread([this] { run(); });
    return MF_OK;
}

void MFSinkDevice::stop() {
    running = false;
    if (worker.joinable())
        worker.join();
}

void MFSinkDevice::run() {
    // Looked up by name on every pass: a card restarted under the same name feeds the same entry.
    int64_t lastFrameUs = av_gettime_relative();
    while (running.load()) {
        std::shared_ptr<MFSink> sink = MFSink::findByName(name);
        MFFramePtr frame;
        if (!sink) {
            slot.clear();
            av_usleep(kNoSinkPollMs * 1000);
            continue;
        }
        if (MF_FAILED(sink->SourceFrameConvertedGetByFormat(MFFormat(), &frame, kWaitMs, QString())) || !frame) {
            if (av_gettime_relative() - lastFrameUs > int64_t(SILENCE_MS) * 1000)
                slot.clear();
            continue;
        }
        MFFrame *media = MFFrame::from(frame);
        if (!media)
            continue;
        lastFrameUs = av_gettime_relative();
        if (media->format().frameRate > 0.0)
            rate.store(media->format().frameRate);
        if (const AVFrame *sound = media->audio()) {
            const AVSampleFormat format = AVSampleFormat(sound->format);
            if (ownAudio->format() != format || ownAudio->channels() != sound->ch_layout.nb_channels ||
                ownAudio->sampleRate() != sound->sample_rate)
                ownAudio->configure(format, sound->ch_layout.nb_channels, sound->sample_rate);
            ownAudio->write(sound);
        }
        if (const AVFrame *picture = media->video())
            slot.put(picture, lastFrameUs);
    }
}
