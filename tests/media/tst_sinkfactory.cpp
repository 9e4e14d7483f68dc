#include "mffactory.h"
#include "mfframe.h"
#include "mfresult.h"

#include <QtTest>

#include <cstring>
#include <limits>
#include <vector>

Q_DECLARE_METATYPE(MFFormat)

namespace {

MFFormat pictureFormat(uint32_t color, int width, int height) {
    MFFormat format;
    format.colorFormat = color;
    format.width = width;
    format.height = height;
    format.frameRate = 25.0;
    format.interlace = MFIL_PROGRESSIVE;
    return format;
}

// Bytes of row y of plane p, as many as the packed input had.
QByteArray row(const AVFrame *frame, int plane, int y, int bytes) {
    return QByteArray(reinterpret_cast<const char *>(frame->data[plane] + frame->linesize[plane] * y), bytes);
}

} // namespace

class TstSinkFactory : public QObject {
    Q_OBJECT

private slots:
    void argb32PixelsExact();
    void uyvyPixelsExactAndBottomUp();
    void planarPictures();
    void interleavedAudio();
    void refusesBadInput_data();
    void refusesBadInput();
    void convertsColourAndSize_data();
    void convertsColourAndSize();
    void convertsAudioWithoutGaps();
    void convertsToVideoFormatCode();
};

void TstSinkFactory::argb32PixelsExact() {
    // 3 x 2 pixels, B G R A in memory; odd width checks that rows are not assumed to be padded.
    const uint8_t pixels[] = {0x10, 0x20, 0x30, 0xff, 0x11, 0x21, 0x31, 0x80, 0x12, 0x22, 0x32, 0x00,
                              0x40, 0x50, 0x60, 0xff, 0x41, 0x51, 0x61, 0xff, 0x42, 0x52, 0x62, 0x01};
    MFFactory factory;
    MFFramePtr frame;
    QCOMPARE(factory.MFFrameCreateFromMem(pictureFormat(MFCC_ARGB32, 3, 2), pixels, sizeof pixels, 0, nullptr, &frame,
                                          QString()),
             int(MF_OK));
    MFFormat got;
    frame->MFFormatGet(&got);
    QCOMPARE(got.colorFormat, uint32_t(MFCC_ARGB32));
    QCOMPARE(got.width, 3);
    QCOMPARE(got.height, 2);
    QCOMPARE(frame->MFAudioSamples(), 0);
    const AVFrame *video = MFFrame::from(frame)->video();
    QCOMPARE(video->format, int(AV_PIX_FMT_BGRA));
    QCOMPARE(row(video, 0, 0, 12), QByteArray(reinterpret_cast<const char *>(pixels), 12));
    QCOMPARE(row(video, 0, 1, 12), QByteArray(reinterpret_cast<const char *>(pixels) + 12, 12));

    uint8_t *data = nullptr;
    int stride = 0;
    QCOMPARE(frame->MFPictureGet(&data, &stride), int(MF_OK));
    QCOMPARE(data[stride + 4 + 2], uint8_t(0x61)); // red of pixel (1, 1)
}

void TstSinkFactory::uyvyPixelsExactAndBottomUp() {
    const uint8_t pixels[] = {0x80, 0x10, 0x81, 0x11, 0x82, 0x12, 0x83, 0x13,  // row 0: U Y0 V Y1 twice
                              0x90, 0xe0, 0x91, 0xe1, 0x92, 0xe2, 0x93, 0xe3}; // row 1
    MFFactory factory;
    MFFramePtr frame;
    QCOMPARE(factory.MFFrameCreateFromMem(pictureFormat(MFCC_UYVY, 4, 2), pixels, sizeof pixels, 0, nullptr, &frame,
                                          QString()),
             int(MF_OK));
    const AVFrame *video = MFFrame::from(frame)->video();
    QCOMPARE(video->format, int(AV_PIX_FMT_UYVY422));
    QCOMPARE(row(video, 0, 0, 8), QByteArray(reinterpret_cast<const char *>(pixels), 8));
    QCOMPARE(row(video, 0, 1, 8), QByteArray(reinterpret_cast<const char *>(pixels) + 8, 8));

    // A negative height is a bottom-up picture: the frame holds it top-down.
    MFFramePtr flipped;
    QCOMPARE(factory.MFFrameCreateFromMem(pictureFormat(MFCC_UYVY, 4, -2), pixels, sizeof pixels, 0, nullptr, &flipped,
                                          QString()),
             int(MF_OK));
    MFFormat got;
    flipped->MFFormatGet(&got);
    QCOMPARE(got.height, 2);
    const AVFrame *top = MFFrame::from(flipped)->video();
    QCOMPARE(row(top, 0, 0, 8), QByteArray(reinterpret_cast<const char *>(pixels) + 8, 8));
    QCOMPARE(row(top, 0, 1, 8), QByteArray(reinterpret_cast<const char *>(pixels), 8));

    // HDYC is UYVY in BT.709: same bytes, marked for the colour matrix.
    MFFramePtr hd;
    QCOMPARE(
        factory.MFFrameCreateFromMem(pictureFormat(MFCC_HDYC, 4, 2), pixels, sizeof pixels, 0, nullptr, &hd, QString()),
        int(MF_OK));
    QCOMPARE(MFFrame::from(hd)->video()->colorspace, AVCOL_SPC_BT709);
}

void TstSinkFactory::planarPictures() {
    // 4 x 2 I420: 8 luma bytes, then 2 U, then 2 V.
    const uint8_t i420[] = {1, 2, 3, 4, 5, 6, 7, 8, 100, 101, 200, 201};
    MFFactory factory;
    MFFramePtr frame;
    QCOMPARE(
        factory.MFFrameCreateFromMem(pictureFormat(MFCC_I420, 4, 2), i420, sizeof i420, 0, nullptr, &frame, QString()),
        int(MF_OK));
    const AVFrame *video = MFFrame::from(frame)->video();
    QCOMPARE(row(video, 0, 1, 4), QByteArray("\x05\x06\x07\x08", 4));
    QCOMPARE(row(video, 1, 0, 2), QByteArray("\x64\x65", 2));
    QCOMPARE(row(video, 2, 0, 2), QByteArray("\xc8\xc9", 2));
    QVERIFY(MF_FAILED(factory.MFFrameCreateFromMem(pictureFormat(MFCC_I420, 4, 2), i420, sizeof i420 - 1, 0, nullptr,
                                                   &frame, QString())));

    // NV12: luma, then interleaved U V.
    const uint8_t nv12[] = {1, 2, 3, 4, 5, 6, 7, 8, 100, 200, 101, 201};
    QCOMPARE(
        factory.MFFrameCreateFromMem(pictureFormat(MFCC_NV12, 4, 2), nv12, sizeof nv12, 0, nullptr, &frame, QString()),
        int(MF_OK));
    video = MFFrame::from(frame)->video();
    QCOMPARE(row(video, 1, 0, 4), QByteArray("\x64\xc8\x65\xc9", 4));
}

void TstSinkFactory::interleavedAudio() {
    MFFormat format = pictureFormat(MFCC_ARGB32, 2, 2);
    format.channels = 2;
    format.sampleRate = 48000;
    format.bitsPerSample = 16;
    const uint32_t pixels[4] = {};
    const int16_t samples[] = {100, -100, 200, -200, 300, -300};
    MFFactory factory;
    MFFramePtr frame;
    QCOMPARE(factory.MFFrameCreateFromMem(format, reinterpret_cast<const uint8_t *>(pixels), sizeof pixels, 3,
                                          reinterpret_cast<const uint8_t *>(samples), &frame, QString()),
             int(MF_OK));
    QCOMPARE(frame->MFAudioSamples(), 3);
    const AVFrame *audio = MFFrame::from(frame)->audio();
    QCOMPARE(audio->format, int(AV_SAMPLE_FMT_S16));
    QCOMPARE(audio->ch_layout.nb_channels, 2);
    QCOMPARE(audio->sample_rate, 48000);
    QVERIFY(std::memcmp(audio->data[0], samples, sizeof samples) == 0);

    // Float samples, no picture: an audio-only frame.
    format.bitsPerSample = 32;
    format.channels = 1;
    const float tone[] = {0.5f, -0.25f};
    QCOMPARE(
        factory.MFFrameCreateFromMem(format, nullptr, 0, 2, reinterpret_cast<const uint8_t *>(tone), &frame, QString()),
        int(MF_OK));
    audio = MFFrame::from(frame)->audio();
    QCOMPARE(audio->format, int(AV_SAMPLE_FMT_FLT));
    QCOMPARE(reinterpret_cast<const float *>(audio->data[0])[1], -0.25f);
    QVERIFY(!MFFrame::from(frame)->video());
}

void TstSinkFactory::refusesBadInput_data() {
    QTest::addColumn<MFFormat>("format");
    QTest::addColumn<qint64>("bytes");
    QTest::addColumn<int>("samples");
    QTest::addColumn<bool>("withAudio");

    const MFFormat argb = pictureFormat(MFCC_ARGB32, 16, 16);
    MFFormat withSound = argb;
    withSound.channels = 2;
    withSound.sampleRate = 48000;
    withSound.bitsPerSample = 16;

    QTest::newRow("one byte short") << argb << qint64(16 * 16 * 4 - 1) << 0 << false;
    QTest::newRow("no bytes") << argb << qint64(0) << 0 << false;
    QTest::newRow("negative bytes") << argb << qint64(-1) << 0 << false;
    QTest::newRow("zero width") << pictureFormat(MFCC_ARGB32, 0, 16) << qint64(1 << 20) << 0 << false;
    QTest::newRow("zero height") << pictureFormat(MFCC_ARGB32, 16, 0) << qint64(1 << 20) << 0 << false;
    QTest::newRow("negative width") << pictureFormat(MFCC_ARGB32, -16, 16) << qint64(1 << 20) << 0 << false;
    QTest::newRow("size overflows") << pictureFormat(MFCC_ARGB32, 1 << 16, 1 << 16)
                                    << std::numeric_limits<qint64>::max() << 0 << false;
    QTest::newRow("int overflow of the row") << pictureFormat(MFCC_ARGB32, std::numeric_limits<int>::max(), 1)
                                             << std::numeric_limits<qint64>::max() << 0 << false;
    QTest::newRow("as the source colour") << pictureFormat(MFCC_NONE, 16, 16) << qint64(1 << 20) << 0 << false;
    QTest::newRow("unknown colour") << pictureFormat(0x12345678u, 16, 16) << qint64(1 << 20) << 0 << false;
    QTest::newRow("samples without audio") << withSound << qint64(1 << 20) << 10 << false;
    QTest::newRow("negative samples") << withSound << qint64(1 << 20) << -1 << true;
    MFFormat noChannels = withSound;
    noChannels.channels = 0;
    QTest::newRow("no channels") << noChannels << qint64(1 << 20) << 10 << true;
    MFFormat noRate = withSound;
    noRate.sampleRate = 0;
    QTest::newRow("no sample rate") << noRate << qint64(1 << 20) << 10 << true;
    MFFormat oddBits = withSound;
    oddBits.bitsPerSample = 12;
    QTest::newRow("12-bit samples") << oddBits << qint64(1 << 20) << 10 << true;
    MFFormat hugeCount = withSound;
    QTest::newRow("absurd sample count") << hugeCount << qint64(1 << 20) << std::numeric_limits<int>::max() << true;
}

void TstSinkFactory::refusesBadInput() {
    QFETCH(MFFormat, format);
    QFETCH(qint64, bytes);
    QFETCH(int, samples);
    QFETCH(bool, withAudio);
    // The buffers are small on purpose: the sizes claimed above must be refused before anything is read.
    std::vector<uint8_t> picture(16 * 16 * 4, 0x7f);
    std::vector<uint8_t> audio(64, 0);
    MFFactory factory;
    MFFramePtr frame = MFFramePtr(std::make_shared<MFFrame>(nullptr, nullptr, MFFormat()));
    QCOMPARE(factory.MFFrameCreateFromMem(format, picture.data(), bytes, samples, withAudio ? audio.data() : nullptr,
                                          &frame, QString()),
             int(MF_E_INVALIDARG));
    QVERIFY(!frame);
}

void TstSinkFactory::convertsColourAndSize_data() {
    QTest::addColumn<uint32_t>("color");
    QTest::addColumn<int>("y");
    QTest::addColumn<int>("u");
    QTest::addColumn<int>("v");
    // Opaque red in studio range.
    QTest::newRow("UYVY, BT.601") << uint32_t(MFCC_UYVY) << 81 << 90 << 240;
    QTest::newRow("HDYC, BT.709") << uint32_t(MFCC_HDYC) << 63 << 102 << 240;
}

void TstSinkFactory::convertsColourAndSize() {
    QFETCH(uint32_t, color);
    QFETCH(int, y);
    QFETCH(int, u);
    QFETCH(int, v);
    std::vector<uint32_t> red(16 * 16, 0xffff0000u); // 0xAARRGGBB, little-endian: B G R A in memory
    MFFactory factory;
    MFFramePtr frame;
    QCOMPARE(factory.MFFrameCreateFromMem(pictureFormat(MFCC_ARGB32, 16, 16),
                                          reinterpret_cast<const uint8_t *>(red.data()), 16 * 16 * 4, 0, nullptr,
                                          &frame, QString()),
             int(MF_OK));
    frame->MFTimeSet(400000, 800000);
    MFFormat wanted;
    wanted.colorFormat = color;
    wanted.width = 8;
    wanted.height = 4;
    MFFramePtr converted;
    QCOMPARE(factory.MFFrameConvert(frame, wanted, &converted), int(MF_OK));
    MFFormat got;
    converted->MFFormatGet(&got);
    QCOMPARE(got.colorFormat, color);
    QCOMPARE(got.width, 8);
    QCOMPARE(got.height, 4);
    QCOMPARE(got.frameRate, 25.0);
    int64_t start = 0, stop = 0;
    converted->MFTimeGet(&start, &stop);
    QCOMPARE(start, int64_t(400000));
    QCOMPARE(stop, int64_t(800000));
    const AVFrame *video = MFFrame::from(converted)->video();
    QCOMPARE(video->width, 8);
    const uint8_t *pixel = video->data[0] + video->linesize[0] * 2 + 4; // U Y0 V Y1 of pixels 2 and 3
    QVERIFY2(qAbs(pixel[0] - u) <= 2, qPrintable(QString::number(pixel[0])));
    QVERIFY2(qAbs(pixel[1] - y) <= 2, qPrintable(QString::number(pixel[1])));
    QVERIFY2(qAbs(pixel[2] - v) <= 2, qPrintable(QString::number(pixel[2])));

    // The source frame is untouched by the conversion.
    QCOMPARE(MFFrame::from(frame)->video()->data[0][2], uint8_t(0xff));
}

void TstSinkFactory::convertsAudioWithoutGaps() {
    // 100 frames of 1920 samples at 48 kHz (40 ms each) to 44.1 kHz: 1764 per frame on average.
    MFFormat format;
    format.channels = 2;
    format.sampleRate = 48000;
    format.bitsPerSample = 16;
    std::vector<int16_t> samples(1920 * 2);
    for (size_t i = 0; i < samples.size(); ++i)
        samples[i] = int16_t((i % 2 ? -1 : 1) * 8000);
    MFFactory factory;
    MFFormat wanted;
    wanted.channels = 1;
    wanted.sampleRate = 44100;
    wanted.bitsPerSample = 32;
    int total = 0;
    for (int i = 0; i < 100; ++i) {
        MFFramePtr frame;
        QCOMPARE(factory.MFFrameCreateFromMem(format, nullptr, 0, 1920,
                                              reinterpret_cast<const uint8_t *>(samples.data()), &frame, QString()),
                 int(MF_OK));
        MFFramePtr converted;
        QCOMPARE(factory.MFFrameConvert(frame, wanted, &converted), int(MF_OK));
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

void TstSinkFactory::convertsToVideoFormatCode() {
    std::vector<uint32_t> grey(64 * 36, 0xff808080u);
    MFFactory factory;
    MFFramePtr frame;
    QCOMPARE(factory.MFFrameCreateFromMem(pictureFormat(MFCC_ARGB32, 64, 36),
                                          reinterpret_cast<const uint8_t *>(grey.data()), 64 * 36 * 4, 0, nullptr,
                                          &frame, QString()),
             int(MF_OK));
    MFFormat wanted;
    wanted.videoFormat = 14; // HD1080_50i
    MFFramePtr converted;
    QCOMPARE(factory.MFFrameConvert(frame, wanted, &converted), int(MF_OK));
    MFFormat got;
    converted->MFFormatGet(&got);
    QCOMPARE(got.videoFormat, 14);
    QCOMPARE(got.width, 1920);
    QCOMPARE(got.height, 1080);
    QCOMPARE(got.frameRate, 25.0);
    QCOMPARE(got.interlace, int(MFIL_TOP_FIRST));
    QCOMPARE(got.colorFormat, uint32_t(MFCC_ARGB32));
}

QTEST_GUILESS_MAIN(TstSinkFactory)
#include "tst_sinkfactory.moc"
