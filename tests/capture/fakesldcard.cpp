// A capture card driver for the tests, behind the same C interface as a real one. Configured from the
// environment at the time of each call:
//   FAKE_SLD_CARDS     "status,kind,first,second;..." (default one usable card "Fake,Input 1")
//   FAKE_SLD_FPS       25 (default), 29.97, 50 ...
//   FAKE_SLD_CHANNELS  2 (default) or 8
//   FAKE_SLD_SIZE      "320x180" (default); any two numbers, so that a driver's impossible sizes can be had
//   FAKE_SLD_FAIL_AFTER  after this many frames (counted over every open of the card) the card fails: every
//                        read and every open, for FAKE_SLD_FAIL_MS (default: for good); then it works again.
//                        The failure's start and end are written to the standard error with the wall-clock time
//                        ("fakesldcard: failing at <ms since the epoch>", "fakesldcard: working again at <ms>"),
//                        so that a test watching the program's output knows when the fault was
//   FAKE_SLD_FORMAT_FAILS  "1": the video format call fails and leaves garbage in the record
//   FAKE_SLD_NOISE     PERCENT: a band of this share of the picture below the counter row is new noise every
//                      frame, so that an encoder fills whatever bitrate it is given (a link test needs a stream
//                      as wide as asked; a simple picture compresses far below it). The rest stays still, so
//                      that a key frame is a few times larger than the others, as in a real picture.
// The picture is ARGB32: a box moving left to right over a grey ground, and across the top a row of
// FAKE_SLD_COUNTER_BITS black or white cells that spell the frame number in binary, most significant
// first, readable after lossy encoding. The audio is a 1 kHz tone, signed 16-bit at 48 kHz, on every
// channel. Frames are due on the real clock from the open: frame n at n / rate.
#include "sldcarddriver.h"

#include <QByteArray>
#include <QList>
#include <QtGlobal>

#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <mutex>

namespace {

constexpr int kCounterBits = 16;
constexpr int kSampleRate = 48000;
constexpr double kToneHz = 1000.0;

struct Card {
    int32_t status;
    int32_t kind;
    QByteArray first;
    QByteArray second;
};

QList<Card> cards() {
    const QByteArray text =
        qEnvironmentVariableIsSet("FAKE_SLD_CARDS") ? qgetenv("FAKE_SLD_CARDS") : QByteArray("1,2,Fake,Input 1");
    QList<Card> list;
    for (const QByteArray &item : text.split(';')) {
        const QList<QByteArray> f = item.split(',');
        if (f.size() == 4)
            list.append(Card{f[0].toInt(), f[1].toInt(), f[2], f[3]});
    }
    return list;
}

double envDouble(const char *name, double fallback) {
    bool ok = false;
    const double value = qgetenv(name).toDouble(&ok);
    return ok ? value : fallback;
}

int64_t nowUs() {
    return std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

// The card's failure, as the hardware's: it outlasts a close and an open. Started afresh whenever the cards are
// counted (the card source does so when it starts) or the failure variables change, so that each test gets its own.
void tell(const char *what) {
    const auto now =
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::system_clock::now().time_since_epoch());
    std::fprintf(stderr, "fakesldcard: %s at %lld\n", what, static_cast<long long>(now.count()));
    std::fflush(stderr);
}

struct Failure {
    std::mutex lock;
    QByteArray config;
    int64_t delivered = 0;
    int64_t startedUs = -1;
    bool over = false;

    void reset() {
        std::lock_guard<std::mutex> locker(lock);
        restart(QByteArray());
    }
    void restart(const QByteArray &newConfig) { // with the lock held
        config = newConfig;
        delivered = 0;
        startedUs = -1;
        over = false;
    }
    // Whether the card fails now; counts a frame when it does not and one is delivered.
    bool failing(bool deliver) {
        std::lock_guard<std::mutex> locker(lock);
        const QByteArray now = qgetenv("FAKE_SLD_FAIL_AFTER") + '/' + qgetenv("FAKE_SLD_FAIL_MS");
        if (now != config)
            restart(now);
        const int64_t after = int64_t(envDouble("FAKE_SLD_FAIL_AFTER", -1));
        const int64_t lastsUs = int64_t(envDouble("FAKE_SLD_FAIL_MS", -1) * 1000);
        if (after >= 0 && delivered >= after) {
            if (startedUs < 0) {
                startedUs = nowUs();
                tell("failing");
            }
            if (lastsUs < 0 || nowUs() - startedUs < lastsUs)
                return true;
            if (!over)
                tell("working again");
            over = true;
        }
        if (deliver)
            ++delivered;
        return false;
    }
};
Failure failure;

} // namespace

struct SldCapture {
    int width = 320;
    int height = 180;
    double rate = 25.0;
    int channels = 2;
    int noisePercent = 0;
    uint64_t noiseState = 0x9e3779b97f4a7c15ull;
    int64_t openedUs = 0;

    int64_t dueFrame() const { return int64_t(double(nowUs() - openedUs) * rate / 1e6); }
};

namespace {

int32_t deviceCount() {
    failure.reset();
    return int32_t(cards().size());
}

int32_t deviceRecord(int32_t index, SldDeviceRecord *record) {
    const QList<Card> list = cards();
    if (index < 0 || index >= list.size() || !record)
        return -1;
    const Card &card = list.at(index);
    record->status = card.status;
    record->kind = card.kind;
    qstrncpy(record->first_name, card.first.constData(), SLD_NAME_SIZE);
    qstrncpy(record->second_name, card.second.constData(), SLD_NAME_SIZE);
    return 0;
}

SldCapture *deviceOpen(int32_t index, int32_t mode) {
    if (index < 0 || index >= int32_t(cards().size()) || mode != SLD_OPEN_CAPTURE || failure.failing(false))
        return nullptr;
    auto *capture = new SldCapture;
    const QList<QByteArray> size = qgetenv("FAKE_SLD_SIZE").split('x');
    if (size.size() == 2) {
        capture->width = size[0].toInt();
        capture->height = size[1].toInt();
    }
    capture->rate = envDouble("FAKE_SLD_FPS", 25.0);
    capture->channels = int(envDouble("FAKE_SLD_CHANNELS", 2));
    capture->noisePercent = qBound(0, qEnvironmentVariableIntValue("FAKE_SLD_NOISE"), 100);
    capture->openedUs = nowUs();
    return capture;
}

int32_t videoFormat(SldCapture *capture, SldVideoFormat *format) {
    if (qgetenv("FAKE_SLD_FORMAT_FAILS") == "1") {
        std::memset(format, 0x7f, sizeof(*format));
        return -3;
    }
    format->width = capture->width;
    format->height = capture->height;
    format->frame_rate = capture->rate;
    return 0;
}

int32_t audioFormat(SldCapture *capture, SldAudioFormat *format) {
    std::memset(format, 0, sizeof(*format));
    format->sample_rate = kSampleRate;
    format->channels = capture->channels;
    format->reserved2 = 1.0;
    return 0;
}

// xorshift64: cheap enough for a whole 720p picture every frame.
uint64_t nextRandom(uint64_t &state) {
    state ^= state << 13;
    state ^= state >> 7;
    state ^= state << 17;
    return state;
}

void drawNoise(SldCapture &c, uint8_t *buffer, int32_t rowBytes) {
    const int fromRow = c.height / 4;
    const int toRow = fromRow + (c.height - fromRow) * c.noisePercent / 100;
    for (int y = fromRow; y < toRow; ++y) {
        uint32_t *row = reinterpret_cast<uint32_t *>(buffer + int64_t(y) * rowBytes);
        for (int x = 0; x + 1 < c.width; x += 2) {
            const uint64_t bits = nextRandom(c.noiseState);
            row[x] = 0xff000000u | uint32_t(bits & 0xffffffu);
            row[x + 1] = 0xff000000u | uint32_t((bits >> 32) & 0xffffffu);
        }
    }
}

void drawPicture(const SldCapture &c, int64_t frame, uint8_t *buffer, int32_t rowBytes) {
    const int boxSize = c.height / 3;
    const int boxX = int(frame * 4 % qMax(1, c.width - boxSize));
    const int cellWidth = c.width / kCounterBits;
    const int counterRows = c.height / 4;
    for (int y = 0; y < c.height; ++y) {
        uint32_t *row = reinterpret_cast<uint32_t *>(buffer + int64_t(y) * rowBytes);
        for (int x = 0; x < c.width; ++x) {
            uint32_t pixel = 0xff808080u;
            if (y < counterRows) {
                const int bit = x / qMax(1, cellWidth);
                const bool set = bit < kCounterBits && ((frame >> (kCounterBits - 1 - bit)) & 1);
                pixel = set ? 0xffffffffu : 0xff000000u;
            } else if (y >= c.height / 2 && y < c.height / 2 + boxSize && x >= boxX && x < boxX + boxSize) {
                pixel = 0xffff4000u;
            }
            row[x] = pixel;
        }
    }
}

int32_t readVideo(SldCapture *capture, uint8_t *buffer, int64_t size, int32_t rowBytes, int64_t *pos, int64_t *extra,
                  int32_t) {
    const int64_t due = capture->dueFrame();
    if (*pos > due)
        return SLD_READ_NO_FRAME;
    if (failure.failing(true))
        return -5;
    // A reader that fell behind gets the newest frame, as a card's ring buffer would give it.
    if (*pos < due - 2)
        *pos = due;
    if (rowBytes < capture->width * 4 || size < int64_t(rowBytes) * capture->height)
        return -2;
    drawPicture(*capture, *pos, buffer, rowBytes);
    if (capture->noisePercent > 0)
        drawNoise(*capture, buffer, rowBytes);
    *extra = 0;
    return SLD_READ_OK;
}

int32_t readAudio(SldCapture *capture, uint8_t *buffer, int64_t size, int64_t pos, int32_t *bytes, int32_t,
                  uint32_t mask) {
    int channels = 0;
    for (uint32_t m = mask; m; m >>= 1)
        channels += int(m & 1u);
    const auto sampleAt = [capture](int64_t frame) {
        return int64_t(std::floor(double(frame) * kSampleRate / capture->rate));
    };
    const int64_t first = sampleAt(pos);
    const int64_t count = sampleAt(pos + 1) - first;
    if (channels == 0 || count * channels * 2 > size) {
        *bytes = 0;
        return -1;
    }
    auto *out = reinterpret_cast<int16_t *>(buffer);
    for (int64_t s = 0; s < count; ++s) {
        const double phase = 2.0 * M_PI * kToneHz * double(first + s) / kSampleRate;
        const auto value = int16_t(std::lround(8000.0 * std::sin(phase)));
        for (int ch = 0; ch < channels; ++ch)
            *out++ = value;
    }
    *bytes = int32_t(count * channels * 2);
    return 0;
}

const SldDriver kDriver = {SLD_DRIVER_ABI_VERSION,
                           deviceCount,
                           deviceRecord,
                           deviceOpen,
                           [](SldCapture *capture) { delete capture; },
                           videoFormat,
                           audioFormat,
                           [](SldCapture *capture, int64_t *frame, int64_t *extra) {
                               *frame = capture->dueFrame();
                               *extra = 0;
                               return int32_t(0);
                           },
                           readVideo,
                           readAudio};

} // namespace

extern "C" Q_DECL_EXPORT const SldDriver *sld_driver(void) {
    return &kDriver;
}
