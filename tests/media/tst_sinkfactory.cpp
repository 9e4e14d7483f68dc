#include "mediatestkit.h"
#include "mffactory.h"
#include "mfframe.h"
#include "mfresult.h"

#include <QtTest>

#include <cstring>
#include <limits>
#include <vector>

Q_DECLARE_METATYPE(MFFormat)

using namespace mediatest;

namespace {

MFFormat pictureFormat(uint32_t color, int width, int height) {
    return {0, color, width, height, MFIL_PROGRESSIVE, 0, 0, 25.0};
}

// Bytes of row y of plane p, as many as the packed input had.
QByteArray row(const AVFrame *frame, int plane, int y, int bytes) {
    return QByteArray(reinterpret_cast<const char *>(frame->data[plane] + frame->linesize[plane] * y), bytes);
}

QByteArray bytes(const uint8_t *data, int from, int count) {
    return QByteArray(reinterpret_cast<const char *>(data) + from, count);
}

} // namespace

class TstSinkFactory : public QObject {
    Q_OBJECT

private slots:
    void argb32PixelsExact() {
        // 3 x 2 pixels, B G R A in memory; odd width checks that rows are not assumed to be padded.
        const uint8_t pixels[] = {0x10, 0x20, 0x30, 0xff, 0x11, 0x21, 0x31, 0x80, 0x12, 0x22, 0x32, 0x00,
                                  0x40, 0x50, 0x60, 0xff, 0x41, 0x51, 0x61, 0xff, 0x42, 0x52, 0x62, 0x01};
        const MFFramePtr frame = fromMemory(pictureFormat(MFCC_ARGB32, 3, 2), pixels, sizeof pixels);
        QVERIFY(frame);
        const MFFormat got = formatOf(frame);
        QCOMPARE(got.colorFormat, uint32_t(MFCC_ARGB32));
        QCOMPARE(QSize(got.width, got.height), QSize(3, 2));
        QCOMPARE(frame->MFAudioSamples(), 0);
        const AVFrame *video = MFFrame::from(frame)->video();
        QCOMPARE(video->format, int(AV_PIX_FMT_BGRA));
        QCOMPARE(row(video, 0, 0, 12), bytes(pixels, 0, 12));
        QCOMPARE(row(video, 0, 1, 12), bytes(pixels, 12, 12));
        uint8_t *data = nullptr;
        int stride = 0;
        QCOMPARE(frame->MFPictureGet(&data, &stride), int(MF_OK));
        QCOMPARE(data[stride + 4 + 2], uint8_t(0x61)); // red of pixel (1, 1)
    }

    void uyvyPixelsExactAndBottomUp() {
        const uint8_t pixels[] = {0x80, 0x10, 0x81, 0x11, 0x82, 0x12, 0x83, 0x13,  // row 0: U Y0 V Y1 twice
                                  0x90, 0xe0, 0x91, 0xe1, 0x92, 0xe2, 0x93, 0xe3}; // row 1
        const MFFramePtr frame = fromMemory(pictureFormat(MFCC_UYVY, 4, 2), pixels, sizeof pixels);
        QVERIFY(frame);
        const AVFrame *video = MFFrame::from(frame)->video();
        QCOMPARE(video->format, int(AV_PIX_FMT_UYVY422));
        QCOMPARE(row(video, 0, 0, 8), bytes(pixels, 0, 8));
        QCOMPARE(row(video, 0, 1, 8), bytes(pixels, 8, 8));
        // A negative height is a bottom-up picture: the frame holds it top-down.
        const MFFramePtr flipped = fromMemory(pictureFormat(MFCC_UYVY, 4, -2), pixels, sizeof pixels);
        QVERIFY(flipped);
        QCOMPARE(formatOf(flipped).height, 2);
        QCOMPARE(row(MFFrame::from(flipped)->video(), 0, 0, 8), bytes(pixels, 8, 8));
        QCOMPARE(row(MFFrame::from(flipped)->video(), 0, 1, 8), bytes(pixels, 0, 8));
        // HDYC is UYVY in BT.709: same bytes, marked for the colour matrix.
        const MFFramePtr hd = fromMemory(pictureFormat(MFCC_HDYC, 4, 2), pixels, sizeof pixels);
        QVERIFY(hd);
        QCOMPARE(MFFrame::from(hd)->video()->colorspace, AVCOL_SPC_BT709);
    }

    void planarPictures() {
        // 4 x 2 I420: 8 luma bytes, then 2 U, then 2 V.
        const uint8_t i420[] = {1, 2, 3, 4, 5, 6, 7, 8, 100, 101, 200, 201};
        MFFramePtr frame = fromMemory(pictureFormat(MFCC_I420, 4, 2), i420, sizeof i420);
        QVERIFY(frame);
        const AVFrame *video = MFFrame::from(frame)->video();
        QCOMPARE(row(video, 0, 1, 4), QByteArray("\x05\x06\x07\x08", 4));
        QCOMPARE(row(video, 1, 0, 2), QByteArray("\x64\x65", 2));
        QCOMPARE(row(video, 2, 0, 2), QByteArray("\xc8\xc9", 2));
        QVERIFY(!fromMemory(pictureFormat(MFCC_I420, 4, 2), i420, sizeof i420 - 1));
        // NV12: luma, then interleaved U V.
        const uint8_t nv12[] = {1, 2, 3, 4, 5, 6, 7, 8, 100, 200, 101, 201};
        frame = fromMemory(pictureFormat(MFCC_NV12, 4, 2), nv12, sizeof nv12);
        QVERIFY(frame);
        QCOMPARE(row(MFFrame::from(frame)->video(), 1, 0, 4), QByteArray("\x64\xc8\x65\xc9", 4));
    }

    void interleavedAudio() {
        MFFormat format{0, MFCC_ARGB32, 2, 2, MFIL_PROGRESSIVE, 0, 0, 25.0, 2, 48000, 16};
        const uint32_t pixels[4] = {};
        const int16_t samples[] = {100, -100, 200, -200, 300, -300};
        MFFramePtr frame = fromMemory(format, pixels, sizeof pixels, 3, samples);
        QVERIFY(frame);
        QCOMPARE(frame->MFAudioSamples(), 3);
        const AVFrame *audio = MFFrame::from(frame)->audio();
        QCOMPARE(QVector<int>({audio->format, audio->ch_layout.nb_channels, audio->sample_rate}),
                 QVector<int>({AV_SAMPLE_FMT_S16, 2, 48000}));
        QVERIFY(std::memcmp(audio->data[0], samples, sizeof samples) == 0);

        // Float samples, no picture: an audio-only frame.
        format.bitsPerSample = 32;
        format.channels = 1;
        const float tone[] = {0.5f, -0.25f};
        frame = fromMemory(format, nullptr, 0, 2, tone);
        QVERIFY(frame);
        audio = MFFrame::from(frame)->audio();
        QCOMPARE(audio->format, int(AV_SAMPLE_FMT_FLT));
        QCOMPARE(reinterpret_cast<const float *>(audio->data[0])[1], -0.25f);
        QVERIFY(!MFFrame::from(frame)->video());
    }

    void refusesBadInput_data() {
        QTest::addColumn<MFFormat>("format");
        QTest::addColumn<qint64>("bytes");
        QTest::addColumn<int>("samples");
        QTest::addColumn<bool>("withAudio");
        const MFFormat argb = pictureFormat(MFCC_ARGB32, 16, 16);
        const qint64 most = std::numeric_limits<qint64>::max();
        QTest::newRow("one byte short") << argb << qint64(16 * 16 * 4 - 1) << 0 << false;
        QTest::newRow("no bytes") << argb << qint64(0) << 0 << false;
        QTest::newRow("negative bytes") << argb << qint64(-1) << 0 << false;
        QTest::newRow("zero width") << pictureFormat(MFCC_ARGB32, 0, 16) << qint64(1 << 20) << 0 << false;
        QTest::newRow("zero height") << pictureFormat(MFCC_ARGB32, 16, 0) << qint64(1 << 20) << 0 << false;
        QTest::newRow("negative width") << pictureFormat(MFCC_ARGB32, -16, 16) << qint64(1 << 20) << 0 << false;
        QTest::newRow("size overflows") << pictureFormat(MFCC_ARGB32, 1 << 16, 1 << 16) << most << 0 << false;
        QTest::newRow("int overflow of the row")
            << pictureFormat(MFCC_ARGB32, std::numeric_limits<int>::max(), 1) << most << 0 << false;
        QTest::newRow("as the source colour") << pictureFormat(MFCC_NONE, 16, 16) << qint64(1 << 20) << 0 << false;
        QTest::newRow("unknown colour") << pictureFormat(0x12345678u, 16, 16) << qint64(1 << 20) << 0 << false;
        // With sound: channels, sample rate, bits.
        const auto sound = [argb](int channels, int rate, int bits) {
            return MFFormat{0, argb.colorFormat, 16, 16, MFIL_PROGRESSIVE, 0, 0, 25.0, channels, rate, bits};
        };
        QTest::newRow("samples without audio") << sound(2, 48000, 16) << qint64(1 << 20) << 10 << false;
        QTest::newRow("negative samples") << sound(2, 48000, 16) << qint64(1 << 20) << -1 << true;
        QTest::newRow("no channels") << sound(0, 48000, 16) << qint64(1 << 20) << 10 << true;
        QTest::newRow("no sample rate") << sound(2, 0, 16) << qint64(1 << 20) << 10 << true;
        QTest::newRow("12-bit samples") << sound(2, 48000, 12) << qint64(1 << 20) << 10 << true;
        QTest::newRow("absurd sample count")
            << sound(2, 48000, 16) << qint64(1 << 20) << std::numeric_limits<int>::max() << true;
    }
    void refusesBadInput() {
        QFETCH(MFFormat, format);
        QFETCH(qint64, bytes);
        QFETCH(int, samples);
        QFETCH(bool, withAudio);
        // The buffers are small on purpose: the sizes claimed above must be refused before anything is read.
        std::vector<uint8_t> picture(16 * 16 * 4, 0x7f);
        std::vector<uint8_t> audio(64, 0);
        MFFramePtr frame = MFFramePtr(std::make_shared<MFFrame>(nullptr, nullptr, MFFormat()));
        QCOMPARE(MFFactory().MFFrameCreateFromMem(format, picture.data(), bytes, samples,
                                                  withAudio ? audio.data() : nullptr, &frame, QString()),
                 int(MF_E_INVALIDARG));
        QVERIFY(!frame);
    }

    void convertsColourAndSize_data() {
        QTest::addColumn<uint32_t>("color");
        QTest::addColumn<int>("y");
        QTest::addColumn<int>("u");
        QTest::addColumn<int>("v");
        // Opaque red in studio range.
        QTest::newRow("UYVY, BT.601") << uint32_t(MFCC_UYVY) << 81 << 90 << 240;
        QTest::newRow("HDYC, BT.709") << uint32_t(MFCC_HDYC) << 63 << 102 << 240;
    }
    void convertsColourAndSize() {
        QFETCH(uint32_t, color);
        QFETCH(int, y);
        QFETCH(int, u);
        QFETCH(int, v);
        std::vector<uint32_t> red(16 * 16, 0xffff0000u); // 0xAARRGGBB, little-endian: B G R A in memory
        const MFFramePtr frame = fromMemory(pictureFormat(MFCC_ARGB32, 16, 16), red.data(), 16 * 16 * 4);
        QVERIFY(frame);
        frame->MFTimeSet(400000, 800000);
        MFFramePtr converted;
        QCOMPARE(MFFactory().MFFrameConvert(frame, {0, color, 8, 4}, &converted), int(MF_OK));
        const MFFormat got = formatOf(converted);
        QCOMPARE(got.colorFormat, color);
        QCOMPARE(QSize(got.width, got.height), QSize(8, 4));
        QCOMPARE(got.frameRate, 25.0);
        int64_t start = 0, stop = 0;
        converted->MFTimeGet(&start, &stop);
        QCOMPARE(QVector<int64_t>({start, stop}), QVector<int64_t>({400000, 800000}));
        const AVFrame *video = MFFrame::from(converted)->video();
        QCOMPARE(video->width, 8);
        const uint8_t *pixel = video->data[0] + video->linesize[0] * 2 + 4; // U Y0 V Y1 of pixels 2 and 3
        const QString yuv = QStringLiteral("%1 %2 %3").arg(pixel[1]).arg(pixel[0]).arg(pixel[2]);
        QVERIFY2(qAbs(pixel[0] - u) <= 2 && qAbs(pixel[1] - y) <= 2 && qAbs(pixel[2] - v) <= 2, qPrintable(yuv));
        // The source frame is untouched by the conversion.
        QCOMPARE(MFFrame::from(frame)->video()->data[0][2], uint8_t(0xff));
    }

    void convertsAudioWithoutGaps() {
        // 100 frames of 1920 samples at 48 kHz (40 ms each) to 44.1 kHz: 1764 per frame on average.
        const MFFormat format{0, 0, 0, 0, 0, 0, 0, 0.0, 2, 48000, 16};
        std::vector<int16_t> samples(1920 * 2);
        for (size_t i = 0; i < samples.size(); ++i)
            samples[i] = int16_t((i % 2 ? -1 : 1) * 8000);
        MFFactory factory;
        int total = 0;
        for (int i = 0; i < 100; ++i) {
            const MFFramePtr frame = fromMemory(format, nullptr, 0, 1920, samples.data());
            QVERIFY(frame);
            MFFramePtr converted;
            QCOMPARE(factory.MFFrameConvert(frame, {0, 0, 0, 0, 0, 0, 0, 0.0, 1, 44100, 32}, &converted), int(MF_OK));
            const AVFrame *audio = MFFrame::from(converted)->audio();
            if (!audio)
                continue;
            QCOMPARE(audio->format, int(AV_SAMPLE_FMT_FLT));
            QCOMPARE(audio->ch_layout.nb_channels, 1);
            total += audio->nb_samples;
        }
        // The resampler keeps a few samples back for its filter; nothing else may go missing.
        QVERIFY2(total <= 176400 && total >= 176400 - 64, qPrintable(QString::number(total)));
    }

    void convertsToVideoFormatCode() {
        std::vector<uint32_t> grey(64 * 36, 0xff808080u);
        const MFFramePtr frame = fromMemory(pictureFormat(MFCC_ARGB32, 64, 36), grey.data(), 64 * 36 * 4);
        QVERIFY(frame);
        MFFramePtr converted;
        QCOMPARE(MFFactory().MFFrameConvert(frame, {14}, &converted), int(MF_OK)); // HD1080_50i
        const MFFormat got = formatOf(converted);
        QCOMPARE(got.videoFormat, 14);
        QCOMPARE(QSize(got.width, got.height), QSize(1920, 1080));
        QCOMPARE(got.frameRate, 25.0);
        QCOMPARE(got.interlace, int(MFIL_TOP_FIRST));
        QCOMPARE(got.colorFormat, uint32_t(MFCC_ARGB32));
    }
};

QTEST_GUILESS_MAIN(TstSinkFactory)
#include "tst_sinkfactory.moc"
