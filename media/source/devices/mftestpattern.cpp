#include "mftestpattern.h"

#include "mfvideoconvert.h"

#include <QDateTime>
#include <QDebug>
#include <QStringList>

#include <chrono>
#include <cmath>
#include <cstring>

extern "C" {
#include <libavutil/imgutils.h>
#include <libavutil/pixdesc.h>
#include <libavutil/time.h>
#include <libswscale/swscale.h>
}

namespace {

constexpr int CHANNELS = 2;
constexpr double TONE_AMPLITUDE = 8192.0; // about -12 dBFS, room for mixing channels
constexpr int MAX_SIDE = 8192;
constexpr int BOX_SIDE = 160;
constexpr int GLYPH_W = 5;
constexpr int GLYPH_H = 7;
constexpr int GLYPH_SCALE = 6;
constexpr int64_t POLL_US = 100000; // the worker looks at its stop flag at least this often

// 5x7 glyphs, one byte per row, bit 4 the leftmost pixel.
const uint8_t *glyph(char c) {
    static const uint8_t digits[10][GLYPH_H] = {
        {0x0E, 0x11, 0x13, 0x15, 0x19, 0x11, 0x0E}, {0x04, 0x0C, 0x04, 0x04, 0x04, 0x04, 0x0E},
        {0x0E, 0x11, 0x01, 0x02, 0x04, 0x08, 0x1F}, {0x1F, 0x02, 0x04, 0x02, 0x01, 0x11, 0x0E},
        {0x02, 0x06, 0x0A, 0x12, 0x1F, 0x02, 0x02}, {0x1F, 0x10, 0x1E, 0x01, 0x01, 0x11, 0x0E},
        {0x06, 0x08, 0x10, 0x1E, 0x11, 0x11, 0x0E}, {0x1F, 0x01, 0x02, 0x04, 0x08, 0x08, 0x08},
        {0x0E, 0x11, 0x11, 0x0E, 0x11, 0x11, 0x0E}, {0x0E, 0x11, 0x11, 0x0F, 0x01, 0x02, 0x0C}};
    static const uint8_t colon[GLYPH_H] = {0x00, 0x0C, 0x0C, 0x00, 0x0C, 0x0C, 0x00};
    static const uint8_t dot[GLYPH_H] = {0x00, 0x00, 0x00, 0x00, 0x00, 0x0C, 0x0C};
    static const uint8_t blank[GLYPH_H] = {};
    if (c >= '0' && c <= '9')
        return digits[c - '0'];
    if (c == ':')
        return colon;
    if (c == '.')
        return dot;
    return blank;
}

// Draws text in white on a black band into the luma plane of a YUV 4:2:0 frame (chroma made neutral).
void drawText(AVFrame *frame, const QByteArray &text, int x, int y) {
    const int advance = (GLYPH_W + 1) * GLYPH_SCALE;
    const int bandW = qMin(int(text.size()) * advance + GLYPH_SCALE * 2, frame->width - x);
    const int bandH = qMin((GLYPH_H + 2) * GLYPH_SCALE, frame->height - y);
    if (bandW <= 0 || bandH <= 0)
        return;
    for (int row = 0; row < bandH; ++row)
        memset(frame->data[0] + (y + row) * frame->linesize[0] + x, 16, bandW);
    for (int plane = 1; plane <= 2; ++plane)
        for (int row = y / 2; row < (y + bandH) / 2; ++row)
            memset(frame->data[plane] + row * frame->linesize[plane] + x / 2, 128, bandW / 2);
    for (int i = 0; i < text.size(); ++i) {
        const uint8_t *g = glyph(text.at(i));
        const int gx = x + GLYPH_SCALE + i * advance;
        for (int gy = 0; gy < GLYPH_H; ++gy)
            for (int bit = 0; bit < GLYPH_W; ++bit) {
                if (!(g[gy] & (0x10 >> bit)))
                    continue;
                for (int sy = 0; sy < GLYPH_SCALE; ++sy) {
                    const int py = y + GLYPH_SCALE + gy * GLYPH_SCALE + sy;
                    const int px = gx + bit * GLYPH_SCALE;
                    if (py >= frame->height || px + GLYPH_SCALE > frame->width)
                        continue;
                    memset(frame->data[0] + py * frame->linesize[0] + px, 235, GLYPH_SCALE);
                }
            }
    }
}

} // namespace

QList<MFDeviceEntry> MFTestPatternProvider::list(int type) {
    if (type != eMFDT_Video)
        return {};
    return {MFDeviceEntry{deviceName(), {}, QStringLiteral("testpattern")},
            MFDeviceEntry{alphaDeviceName(), {}, QStringLiteral("testpattern_alpha")}};
}

std::unique_ptr<MFVideoDevice> MFTestPatternProvider::openVideo(const MFDeviceEntry &entry) {
    if (entry.name != deviceName() && entry.name != alphaDeviceName())
        return nullptr;
    return std::make_unique<MFTestPatternDevice>(entry.name == alphaDeviceName());
}

MFTestPatternDevice::~MFTestPatternDevice() {
    stop();
    sws_freeContext(sws);
    av_frame_free(&canvas);
    av_frame_free(&converted);
}

int MFTestPatternDevice::start(const MFDeviceProps &props) {
    stop();
    const QStringList size = props.value(QStringLiteral("test_pattern.size")).split(QLatin1Char('x'));
    if (size.size() == 2) {
        const int w = size.at(0).toInt();
        const int h = size.at(1).toInt();
        if (w >= 16 && h >= 16 && w <= MAX_SIDE && h <= MAX_SIDE) {
            width = w & ~1;
            height = h & ~1;
        }
    }
    const double r = props.value(QStringLiteral("test_pattern.rate")).toDouble();
    if (r >= 1.0 && r <= 240.0)
        rate = r;
    const QString pixelName = props.value(QStringLiteral("test_pattern.pixel_format"));
    if (!pixelName.isEmpty()) {
        const AVPixelFormat f = av_get_pix_fmt(pixelName.toLatin1().constData());
        if (f == AV_PIX_FMT_NONE) {
            qWarning() << "test pattern: unknown pixel format" << pixelName;
            return MF_E_INVALIDARG;
        }
        outputFormat = f;
    }
    virtualClock = props.value(QStringLiteral("device.virtual_clock")) == QLatin1String("1");
    if (withAlpha)
        outputFormat = AV_PIX_FMT_BGRA;

    av_frame_free(&canvas);
    canvas = av_frame_alloc();
    if (!canvas)
        return MF_E_FAIL;
    canvas->format = AV_PIX_FMT_YUV420P;
    canvas->width = width;
    canvas->height = height;
    if (av_frame_get_buffer(canvas, 0) < 0)
        return MF_E_FAIL;

    ownAudio = std::make_unique<MFAudioFifo>();
    if (MF_FAILED(ownAudio->configure(AV_SAMPLE_FMT_S16, CHANNELS, SAMPLE_RATE)))
        return MF_E_FAIL;

    startUs = av_gettime_relative();
    nextFrame = 0;
    samplesWritten = 0;
    if (virtualClock) {
        produceUntil(startUs);
        return MF_OK;
    }
    produceUntil(startUs);
    running = true;
    worker = std::thread([this] { run(); });
    return MF_OK;
}

void MFTestPatternDevice::stop() {
    running = false;
    if (worker.joinable())
        worker.join();
}

bool MFTestPatternDevice::advanceTo(int64_t nowUs) {
    if (!virtualClock)
        return false;
    produceUntil(nowUs);
    return true;
}

void MFTestPatternDevice::run() {
    const double periodUs = 1e6 / rate;
    while (running) {
        const int64_t due = startUs + int64_t(std::llround(nextFrame * periodUs));
        const int64_t now = av_gettime_relative();
        if (now < due) {
            av_usleep(unsigned(qMin(due - now, POLL_US)));
            continue;
        }
        produceUntil(now);
    }
}

void MFTestPatternDevice::produceUntil(int64_t nowUs) {
    if (nowUs < startUs)
        return;
    // Only the newest due picture is drawn: a consumer only ever sees the newest one anyway.
    const int64_t due = int64_t(std::floor((nowUs - startUs) * rate / 1e6));
    if (due >= nextFrame && renderPicture(due)) {
        const int64_t stamp = startUs + int64_t(std::llround(due * 1e6 / rate));
        if (outputFormat == AV_PIX_FMT_YUV420P) {
            slot.put(canvas, stamp);
        } else {
            if (!converted)
                converted = av_frame_alloc();
            if (converted && MF_SUCCEEDED(mfScaleFrame(&sws, canvas, converted, width, height, outputFormat))) {
                if (withAlpha)
                    drawAlpha(converted, due);
                slot.put(converted, stamp);
            }
        }
    }
    if (due >= nextFrame)
        nextFrame = due + 1;
    produceAudio(nowUs);
}

bool MFTestPatternDevice::renderPicture(int64_t frameNumber) {
    // The canvas may still be referenced by a consumer's frame: draw into fresh buffers then (everything
    // is redrawn, so nothing needs copying over).
    if (!av_frame_is_writable(canvas)) {
        av_frame_unref(canvas);
        canvas->format = AV_PIX_FMT_YUV420P;
        canvas->width = width;
        canvas->height = height;
        if (av_frame_get_buffer(canvas, 0) < 0)
            return false;
    }
    static const uint8_t bars[8][3] = {{235, 128, 128}, {210, 16, 146}, {170, 166, 16}, {145, 54, 34},
                                       {106, 202, 222}, {81, 90, 240},  {41, 240, 110}, {16, 128, 128}};
    const int shift = int((frameNumber * 4) % width);
    uint8_t *y0 = canvas->data[0];
    for (int x = 0; x < width; ++x)
        y0[x] = bars[(((x + shift) % width) * 8) / width][0];
    for (int row = 1; row < height; ++row)
        memcpy(canvas->data[0] + row * canvas->linesize[0], y0, width);
    for (int plane = 1; plane <= 2; ++plane) {
        uint8_t *c0 = canvas->data[plane];
        for (int x = 0; x < width / 2; ++x)
            c0[x] = bars[(((2 * x + shift) % width) * 8) / width][plane];
        for (int row = 1; row < height / 2; ++row)
            memcpy(canvas->data[plane] + row * canvas->linesize[plane], c0, width / 2);
    }
    // A grey box that moves to and fro across the middle, so that motion is visible at any rate.
    const int side = qMin(BOX_SIDE, qMin(width, height) / 2) & ~1;
    const int span = qMax(1, width - side);
    const int phase = int((frameNumber * 8) % (2 * span));
    const int bx = (phase < span ? phase : 2 * span - phase) & ~1;
    const int by = ((height - side) / 2) & ~1;
    for (int row = 0; row < side; ++row)
        memset(canvas->data[0] + (by + row) * canvas->linesize[0] + bx, 128, side);
    for (int plane = 1; plane <= 2; ++plane)
        for (int row = 0; row < side / 2; ++row)
            memset(canvas->data[plane] + (by / 2 + row) * canvas->linesize[plane] + bx / 2, 128, side / 2);

    const QByteArray counter = QByteArray::number(qlonglong(frameNumber)).rightJustified(8, '0');
    const QByteArray clock = QDateTime::currentDateTime().toString(QStringLiteral("hh:mm:ss.zzz")).toLatin1();
    const int margin = (GLYPH_SCALE * 4) & ~1;
    drawText(canvas, counter, margin, margin);
    drawText(canvas, clock, margin, (margin + (GLYPH_H + 4) * GLYPH_SCALE) & ~1);
    return true;
}

void MFTestPatternDevice::drawAlpha(AVFrame *bgra, int64_t frameNumber) const {
    const int radius = qMax(2, qMin(width, height) / 4);
    const int span = qMax(1, height - 2 * radius);
    const int phase = int((frameNumber * 4) % (2 * span));
    const int cy = radius + (phase < span ? phase : 2 * span - phase);
    const int cx = width / 2;
    for (int row = 0; row < height; ++row) {
        uint8_t *pixel = bgra->data[0] + row * bgra->linesize[0];
        const int dy = row - cy;
        for (int x = 0; x < width; ++x) {
            const int dx = x - cx;
            const double distance = std::sqrt(double(dx * dx + dy * dy)) / radius;
            pixel[4 * x + 3] = distance >= 1.0 ? 0 : uint8_t(std::lround(255.0 * (1.0 - distance)));
        }
    }
}

void MFTestPatternDevice::produceAudio(int64_t nowUs) {
    const int64_t target = (nowUs - startUs) * SAMPLE_RATE / 1000000;
    int64_t missing = target - samplesWritten;
    constexpr int CHUNK = 4800;
    int16_t buffer[CHUNK * CHANNELS];
    while (missing > 0) {
        const int n = int(qMin<int64_t>(missing, CHUNK));
        for (int i = 0; i < n; ++i) {
            const int64_t s = samplesWritten + i;
            // Phases from the integer sample index stay exact over any run length.
            const double left = 2.0 * M_PI * double((s * TONE_LEFT_HZ) % SAMPLE_RATE) / SAMPLE_RATE;
            const double right = 2.0 * M_PI * double((s * TONE_RIGHT_HZ) % SAMPLE_RATE) / SAMPLE_RATE;
            buffer[2 * i] = int16_t(std::lround(TONE_AMPLITUDE * std::sin(left)));
            buffer[2 * i + 1] = int16_t(std::lround(TONE_AMPLITUDE * std::sin(right)));
        }
        const uint8_t *planes[1] = {reinterpret_cast<const uint8_t *>(buffer)};
        ownAudio->write(planes, n);
        samplesWritten += n;
        missing -= n;
    }
}
