// An NDI runtime for the tests, behind the same load entry point and function table as the real one (the
// declarations of media/ndi/ndiapi.h). It offers two sources, each a moving picture (a white box crossing a
// grey ground, BGRA) with a tone (planar float stereo at 48 kHz), delivered on the real clock from the
// moment a receiver connects:
//   "FAKE (Camera 1)"  320x180 at 25 fps, 1000 Hz
//   "FAKE (Camera 2)"  640x360 at 50 fps, 500 Hz
// and it counts what is sent to it; the tests read the counts through the fake_ndi_* functions.
#include "ndiapi.h"

#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace {

constexpr int kSampleRate = 48000;
constexpr int kChunkSamples = 960; // 20 ms
constexpr int kChannels = 2;

struct Source {
    const char *name;
    int width;
    int height;
    int rate;
    double toneHz;
};

const Source kSources[] = {{"FAKE (Camera 1)", 320, 180, 25, 1000.0}, {"FAKE (Camera 2)", 640, 360, 50, 500.0}};
const NDIlib_source_t kListed[] = {{kSources[0].name, "127.0.0.1:5961"}, {kSources[1].name, "127.0.0.1:5962"}};

std::atomic<int64_t> videoSent{0};
std::atomic<int64_t> audioSamplesSent{0};
std::atomic<int> lastSentWidth{0};
std::mutex senderLock; // guards senderName
std::string senderName;

int64_t nowUs() {
    using namespace std::chrono;
    return duration_cast<microseconds>(steady_clock::now().time_since_epoch()).count();
}

struct Receiver {
    const Source *source = nullptr;
    int64_t startUs = 0;
    int64_t videoIndex = 0;
    int64_t audioSamples = 0;
};

NDIlib_recv_instance_t recvCreate(const NDIlib_recv_create_t *settings) {
    auto *receiver = new Receiver;
    const char *wanted = settings ? settings->source_to_connect_to.p_ndi_name : nullptr;
    for (const Source &source : kSources)
        if (wanted && std::strcmp(wanted, source.name) == 0)
            receiver->source = &source;
    receiver->startUs = nowUs();
    return receiver;
}

void fillVideo(const Receiver &r, NDIlib_video_frame_v2_t *video) {
    const Source &s = *r.source;
    const int stride = s.width * 4;
    auto *data = static_cast<uint8_t *>(std::malloc(size_t(stride) * s.height));
    std::memset(data, 0x80, size_t(stride) * s.height);
    const int box = s.height / 3;
    const int left = int(r.videoIndex * 8 % (s.width - box));
    for (int y = box; y < 2 * box; ++y)
        std::memset(data + size_t(y) * stride + size_t(left) * 4, 0xff, size_t(box) * 4);
    *video = NDIlib_video_frame_v2_t{};
    video->xres = s.width;
    video->yres = s.height;
    video->FourCC = NDIlib_FourCC_type_BGRA;
    video->frame_rate_N = s.rate;
    video->frame_rate_D = 1;
    video->frame_format_type = NDIlib_frame_format_type_progressive;
    video->p_data = data;
    video->line_stride_in_bytes = stride;
}

void fillAudio(const Receiver &r, NDIlib_audio_frame_v2_t *audio) {
    auto *data = static_cast<float *>(std::malloc(sizeof(float) * kChunkSamples * kChannels));
    for (int i = 0; i < kChunkSamples; ++i) {
        const double t = double(r.audioSamples + i) / kSampleRate;
        const float value = float(0.5 * std::sin(2.0 * M_PI * r.source->toneHz * t));
        for (int c = 0; c < kChannels; ++c)
            data[c * kChunkSamples + i] = value;
    }
    *audio = NDIlib_audio_frame_v2_t{};
    audio->sample_rate = kSampleRate;
    audio->no_channels = kChannels;
    audio->no_samples = kChunkSamples;
    audio->p_data = data;
    audio->channel_stride_in_bytes = int(sizeof(float)) * kChunkSamples;
}

NDIlib_frame_type_e recvCapture(NDIlib_recv_instance_t instance, NDIlib_video_frame_v2_t *video,
                                NDIlib_audio_frame_v2_t *audio, void *, uint32_t timeoutMs) {
    auto *r = static_cast<Receiver *>(instance);
    if (!r->source) {
        std::this_thread::sleep_for(std::chrono::milliseconds(timeoutMs));
        return NDIlib_frame_type_none;
    }
    const int64_t videoDue = r->startUs + r->videoIndex * 1000000 / r->source->rate;
    const int64_t audioDue = r->startUs + r->audioSamples * 1000000 / kSampleRate;
    const bool videoFirst = video && (!audio || videoDue <= audioDue);
    const int64_t due = videoFirst ? videoDue : audioDue;
    const int64_t wait = due - nowUs();
    if (wait > int64_t(timeoutMs) * 1000) {
        std::this_thread::sleep_for(std::chrono::milliseconds(timeoutMs));
        return NDIlib_frame_type_none;
    }
    if (wait > 0)
        std::this_thread::sleep_for(std::chrono::microseconds(wait));
    if (videoFirst) {
        fillVideo(*r, video);
        ++r->videoIndex;
        return NDIlib_frame_type_video;
    }
    fillAudio(*r, audio);
    r->audioSamples += kChunkSamples;
    return NDIlib_frame_type_audio;
}

NDIlib_send_instance_t sendCreate(const NDIlib_send_create_t *settings) {
    std::lock_guard<std::mutex> locker(senderLock);
    senderName = settings && settings->p_ndi_name ? settings->p_ndi_name : "";
    return new int(0);
}
void sendVideo(NDIlib_send_instance_t, const NDIlib_video_frame_v2_t *video) {
    if (video && video->p_data && video->xres > 0) {
        lastSentWidth = video->xres;
        ++videoSent;
    }
}
void sendAudio(NDIlib_send_instance_t, const NDIlib_audio_frame_v2_t *audio) {
    if (audio && audio->p_data)
        audioSamplesSent += audio->no_samples;
}

NDIlib_v5 makeTable() {
    NDIlib_v5 table{};
    table.initialize = [] { return true; };
    table.destroy = [] {};
    table.version = [] { return "fake NDI 5"; };
    table.find_create_v2 = [](const NDIlib_find_create_t *) -> NDIlib_find_instance_t { return new int(0); };
    table.find_destroy = [](NDIlib_find_instance_t finder) { delete static_cast<int *>(finder); };
    table.find_wait_for_sources = [](NDIlib_find_instance_t, uint32_t) { return false; };
    table.find_get_current_sources = [](NDIlib_find_instance_t, uint32_t *count) {
        *count = 2;
        return kListed;
    };
    table.send_create = sendCreate;
    table.send_destroy = [](NDIlib_send_instance_t sender) { delete static_cast<int *>(sender); };
    table.recv_create_v2 = recvCreate;
    table.recv_destroy = [](NDIlib_recv_instance_t receiver) { delete static_cast<Receiver *>(receiver); };
    table.recv_free_video_v2 = [](NDIlib_recv_instance_t, const NDIlib_video_frame_v2_t *v) { std::free(v->p_data); };
    table.recv_free_audio_v2 = [](NDIlib_recv_instance_t, const NDIlib_audio_frame_v2_t *a) { std::free(a->p_data); };
    table.recv_capture_v2 = recvCapture;
    table.send_send_video_v2 = sendVideo;
    table.send_send_audio_v2 = sendAudio;
    return table;
}

} // namespace

extern "C" {

__attribute__((visibility("default"))) const NDIlib_v5 *NDIlib_v5_load() {
    static const NDIlib_v5 table = makeTable();
    return &table;
}

__attribute__((visibility("default"))) int64_t fake_ndi_video_frames_sent() {
    return videoSent.load();
}
__attribute__((visibility("default"))) int64_t fake_ndi_audio_samples_sent() {
    return audioSamplesSent.load();
}
__attribute__((visibility("default"))) int fake_ndi_last_sent_width() {
    return lastSentWidth.load();
}
// The name of the last sender made; valid until the next is made.
__attribute__((visibility("default"))) const char *fake_ndi_sender_name() {
    static thread_local std::string copy;
    std::lock_guard<std::mutex> locker(senderLock);
    copy = senderName;
    return copy.c_str();
}

} // extern "C"
