#include "tst_sourcehelpers.h"

#include "mfaudiochannelmap.h"
#include "mfaudiopipe.h"
#include "mfdevicebackend.h"
#include "mfformat.h"
#include "mfframerate.h"
#include "mftestpattern.h"

#include <QtTest>

extern "C" {
#include <libavutil/pixdesc.h>
}

using namespace sourcetest;

class TstSource : public QObject {
    Q_OBJECT

    static std::shared_ptr<MFormats> openPattern(const QString &options = {}, bool realTime = false) {
        return openVideo(MFTestPatternProvider::deviceName(), options, realTime);
    }
    // The audio of frames [from, to) of a source, its first two channels, and the channels the frames had.
    static QVector<QVector<double>> collect(MFormats &source, const MFFormat &f, int from, int to,
                                            int *channels = nullptr) {
        QVector<QVector<double>> all(2);
        for (int i = 0; i < to; ++i) {
            const MFFramePtr frame = fetch(source, f);
            if (!frame)
                return QVector<QVector<double>>(2);
            if (channels)
                *channels = formatOf(frame).channels;
            for (int c = 0; c < 2 && i >= from; ++c)
                all[c] += channel(frame, c);
        }
        return all;
    }
    // The first tone is at least a hundred times as strong as the second.
    static bool dominates(const QVector<double> &samples, double hz, double over, int rate = 48000) {
        return tonePower(samples, hz, rate) > 100 * tonePower(samples, over, rate);
    }

private slots:
    void fixedAudioEntries() {
        MFormats source;
        QCOMPARE(deviceNames(source, eMFDT_Audio), QStringList({"<From Video>", "<None>"}));
        const QStringList external = deviceNames(source, eMFDT_ExtAudio);
        QVERIFY(external.size() >= 2);
        QCOMPARE(external.mid(0, 2), QStringList({"<None>", "<No External Audio>"}));
        QVERIFY(deviceNames(source, eMFDT_Video).contains("Test Pattern"));
    }

    void testPatternAt720p25WithAudio() {
        auto source = openPattern();
        QVERIFY(source);
        const MFFormat asked = format(1280, 720, 25.0);
        int64_t previousStop = 0;
        QByteArray firstRow;
        for (int i = 0; i < 30; ++i) {
            const MFFramePtr frame = fetch(*source, asked);
            QVERIFY(frame);
            const MFFormat got = formatOf(frame);
            QCOMPARE(QSize(got.width, got.height), QSize(1280, 720));
            QCOMPARE(got.frameRate, 25.0);
            QCOMPARE(got.colorFormat, uint32_t(MFCC_I420)); // the pattern's own format is kept
            QCOMPARE(got.interlace, int(MFIL_PROGRESSIVE));
            QCOMPARE(QVector<int>({got.channels, got.sampleRate, got.bitsPerSample}), QVector<int>({2, 48000, 16}));
            QCOMPARE(frame->MFAudioSamples(), 1920);
            int64_t start = 0, stop = 0;
            frame->MFTimeGet(&start, &stop);
            QCOMPARE(start, previousStop);
            QCOMPARE(stop - start, int64_t(400000));
            previousStop = stop;
            uint8_t *data = nullptr;
            int stride = 0;
            QCOMPARE(frame->MFPictureGet(&data, &stride), int(MF_OK));
            const QByteArray row(reinterpret_cast<const char *>(data) + 360 * stride, 1280);
            if (i == 0)
                firstRow = row;
            else if (i == 29)
                QVERIFY2(row != firstRow, "the picture does not move");
        }
        // After the primed silence the tone arrives: 1000 Hz left, 500 Hz right.
        const auto heard = collect(*source, asked, 5, 15);
        QVERIFY(dominates(heard[0], 1000, 500));
        QVERIFY(dominates(heard[1], 500, 1000));
    }

    void realTimeDeliversPacedFramesWithTone() {
        auto source = openPattern(QString(), true);
        QVERIFY(source);
        QVector<double> left;
        for (int i = 0; i < 12; ++i) {
            const MFFramePtr frame = fetch(*source, format(640, 360, 25.0));
            QVERIFY(frame);
            QCOMPARE(frame->MFAudioSamples(), 1920);
            if (i >= 6)
                left += channel(frame, 0);
        }
        QVERIFY(tonePower(left, 1000, 48000) > 0.001);
    }

    void cadenceAt2997() {
        auto source = openPattern();
        QVERIFY(source);
        int64_t total = 0, group = 0, lastStop = 0;
        for (int i = 0; i < 300; ++i) {
            const MFFramePtr frame = fetch(*source, format(640, 360, 29.97));
            QVERIFY(frame);
            const int samples = frame->MFAudioSamples();
            QVERIFY2(samples == 1601 || samples == 1602, qPrintable(QString::number(samples)));
            total += samples;
            group += samples;
            if (i % 5 == 4) {
                QCOMPARE(group, int64_t(8008));
                group = 0;
            }
            frame->MFTimeGet(nullptr, &lastStop);
        }
        // 300 frames last 10.01 s: exactly 480480 samples, 48000 per 1.001 s.
        QCOMPARE(total, int64_t(480480));
        QCOMPARE(lastStop, int64_t(100100000));
    }

    void frameRateRationals_data() {
        QTest::addColumn<double>("rate");
        QTest::addColumn<QString>("rational");
        QTest::newRow("29.97") << 29.97 << "30000/1001";
        QTest::newRow("59.94") << 59.94 << "60000/1001";
        QTest::newRow("23.976") << 23.976 << "24000/1001";
        QTest::newRow("25") << 25.0 << "25/1";
        QTest::newRow("30") << 30.0 << "30/1";
        QTest::newRow("12.5") << 12.5 << "25/2";
        QTest::newRow("zero") << 0.0 << "0/1";
    }
    void frameRateRationals() {
        QFETCH(double, rate);
        QFETCH(QString, rational);
        const AVRational r = mfFrameRateRational(rate);
        QCOMPARE(QString("%1/%2").arg(r.num).arg(r.den), rational);
    }

    void channelMapParser_data() {
        QTest::addColumn<QString>("text");
        QTest::addColumn<bool>("valid");
        QTest::addColumn<QString>("layout"); // outputs separated by "|", sources by " "
        QTest::newRow("empty keeps source") << "" << true << "";
        QTest::newRow("pair") << "0,1" << true << "0|1";
        QTest::newRow("swap") << "1,0" << true << "1|0";
        QTest::newRow("mono mix") << "2+3" << true << "2 3";
        QTest::newRow("trailing plus") << "0+1+2,3+4+" << true << "0 1 2|3 4";
        QTest::newRow("blanks") << " 0 + 1 , 2 " << true << "0 1|2";
        QTest::newRow("letters") << "a,b" << false << "";
        QTest::newRow("empty channel") << "0,,1" << false << "";
        QTest::newRow("trailing comma") << "0," << false << "";
        QTest::newRow("lone plus") << "+" << false << "";
        QTest::newRow("double plus") << "0++1" << false << "";
        QTest::newRow("negative") << "-1" << false << "";
        QTest::newRow("too high") << "64" << false << "";
        QTest::newRow("highest") << "63" << true << "63";
    }
    void channelMapParser() {
        QFETCH(QString, text);
        QFETCH(bool, valid);
        QFETCH(QString, layout);
        MFAudioChannelMap map;
        QCOMPARE(MFAudioChannelMap::parse(text, &map), valid);
        QStringList outputs;
        for (int o = 0; valid && o < map.outputChannels(); ++o) {
            QStringList sources;
            for (int s : map.sources(o))
                sources << QString::number(s);
            outputs << sources.join(' ');
        }
        QCOMPARE(outputs.join('|'), layout);
    }

    void swappedChannelsByFrequency() {
        auto source = openPattern();
        QVERIFY(source);
        QCOMPARE(source->PropsSet("audio_channels", "1,0"), int(MF_OK));
        int channels = 0;
        const auto heard = collect(*source, format(320, 180, 25.0), 5, 15, &channels);
        QCOMPARE(channels, 2);
        QVERIFY(dominates(heard[0], 500, 1000));
        QVERIFY(dominates(heard[1], 1000, 500));
    }

    void mixedMonoCarriesBothTones() {
        auto source = openPattern();
        QVERIFY(source);
        QCOMPARE(source->PropsSet("audio_channels", "0+1"), int(MF_OK));
        int channels = 0;
        const QVector<double> mono = collect(*source, format(320, 180, 25.0, 2), 5, 15, &channels)[0];
        QCOMPARE(channels, 1);
        QVERIFY(tonePower(mono, 1000, 48000) > 0.005);
        QVERIFY(tonePower(mono, 500, 48000) > 0.005);
    }

    void invalidMapRefusedChannelsStay() {
        auto source = openPattern();
        QVERIFY(source);
        QCOMPARE(source->PropsSet("audio_channels", "1,0"), int(MF_OK));
        QVERIFY(MF_FAILED(source->PropsSet("audio_channels", "1,x")));
        QString value;
        source->PropsGet("audio_channels", &value);
        QCOMPARE(value, QString("1,0"));
        int channels = 0;
        QVERIFY(dominates(collect(*source, format(320, 180, 25.0), 5, 15, &channels)[0], 500, 1000)); // still swapped
        QCOMPARE(channels, 2);
        // Empty text goes back to the source's own channels.
        QCOMPARE(source->PropsSet("audio_channels", ""), int(MF_OK));
        QVERIFY(dominates(collect(*source, format(320, 180, 25.0), 5, 15)[0], 1000, 500));
    }

    void sampleRateAndFormatConversion() {
        auto source = openPattern();
        QVERIFY(source);
        MFFormat asked = format(320, 180, 25.0, 1, 44100);
        asked.bitsPerSample = 32;
        QVector<double> mono;
        int64_t total = 0;
        for (int i = 0; i < 20; ++i) {
            const MFFramePtr frame = fetch(*source, asked);
            QVERIFY(frame);
            const MFFormat got = formatOf(frame);
            QCOMPARE(QVector<int>({got.channels, got.sampleRate, got.bitsPerSample}), QVector<int>({1, 44100, 32}));
            total += frame->MFAudioSamples();
            if (i >= 5)
                mono += channel(frame, 0);
        }
        QCOMPARE(total, int64_t(20 * 1764));
        // Down-mixed stereo keeps both tones at the new rate.
        QVERIFY(tonePower(mono, 1000, 44100) > 0.001);
        QVERIFY(tonePower(mono, 500, 44100) > 0.001);
    }

    void sizeAndColourConversion() {
        auto source = openPattern();
        QVERIFY(source);
        MFFormat asked = format(320, 240, 25.0);
        asked.colorFormat = MFCC_ARGB32;
        const MFFramePtr frame = fetch(*source, asked);
        QVERIFY(frame);
        const MFFormat got = formatOf(frame);
        QCOMPARE(QSize(got.width, got.height), QSize(320, 240));
        QCOMPARE(got.colorFormat, uint32_t(MFCC_ARGB32));
        const AVFrame *picture = MFFrame::from(frame)->video();
        QCOMPARE(QSize(picture->width, picture->height), QSize(320, 240));
        QCOMPARE(picture->format, int(AV_PIX_FMT_BGRA));
        // The first bar is white, opaque (above the moving box and the text).
        const uint8_t *px = picture->data[0] + 5 * picture->linesize[0];
        QVERIFY(px[0] > 200 && px[1] > 200 && px[2] > 200);
        QCOMPARE(int(px[3]), 255);
    }

    void sourceColourFormatKeptWhenZero_data() {
        QTest::addColumn<QString>("pixelFormat");
        QTest::addColumn<uint>("code");
        QTest::newRow("uyvy") << "uyvy422" << uint(MFCC_UYVY);
        QTest::newRow("i420") << "yuv420p" << uint(MFCC_I420);
        QTest::newRow("bgra") << "bgra" << uint(MFCC_ARGB32);
        QTest::newRow("no code: 4:2:0") << "yuv444p" << uint(MFCC_I420);
    }
    void sourceColourFormatKeptWhenZero() {
        QFETCH(QString, pixelFormat);
        QFETCH(uint, code);
        auto source = openPattern("test_pattern.size=640x360 test_pattern.pixel_format=" + pixelFormat);
        QVERIFY(source);
        const MFFramePtr frame = fetch(*source, format(0, 0, 25.0));
        QVERIFY(frame);
        const MFFormat got = formatOf(frame);
        QCOMPARE(got.colorFormat, uint32_t(code));
        QCOMPARE(QSize(got.width, got.height), QSize(640, 360));
    }

    void interlaceCodeCarried_data() {
        QTest::addColumn<int>("asked");
        QTest::addColumn<int>("expected");
        QTest::addColumn<bool>("interlaced");
        QTest::addColumn<bool>("topFirst");
        QTest::newRow("as source") << 0 << int(MFIL_PROGRESSIVE) << false << false;
        QTest::newRow("top first") << 1 << int(MFIL_TOP_FIRST) << true << true;
        QTest::newRow("bottom first") << 2 << int(MFIL_BOTTOM_FIRST) << true << false;
        QTest::newRow("progressive") << 3 << int(MFIL_PROGRESSIVE) << false << false;
    }
    void interlaceCodeCarried() {
        QFETCH(int, asked);
        QFETCH(int, expected);
        QFETCH(bool, interlaced);
        QFETCH(bool, topFirst);
        auto source = openPattern();
        QVERIFY(source);
        MFFormat f = format(720, 576, 25.0);
        f.interlace = asked;
        for (int i = 0; i < 3; ++i) { // repeated pictures carry the flags too
            const MFFramePtr frame = fetch(*source, f);
            QVERIFY(frame);
            QCOMPARE(formatOf(frame).interlace, expected);
            QCOMPARE(bool(MFFrame::from(frame)->video()->interlaced_frame), interlaced);
            QCOMPARE(bool(MFFrame::from(frame)->video()->top_field_first), topFirst);
        }
    }

    void higherOutputRateRepeatsPictures() {
        auto source = openPattern();
        QVERIFY(source);
        // 50 frames per second from a 25 fps pattern: each picture twice, and the same buffer is shared.
        const MFFramePtr a = fetch(*source, format(640, 360, 50.0)), b = fetch(*source, format(640, 360, 50.0));
        QVERIFY(a && b);
        QCOMPARE(MFFrame::from(a)->video()->data[0], MFFrame::from(b)->video()->data[0]);
        QCOMPARE(a->MFAudioSamples(), 960);
    }

    void timecodeCellsDrawn_data() {
        QTest::addColumn<uint>("colour");
        QTest::newRow("i420") << uint(MFCC_I420);
        QTest::newRow("uyvy") << uint(MFCC_UYVY);
        QTest::newRow("argb32") << uint(MFCC_ARGB32);
    }
    void timecodeCellsDrawn() {
        QFETCH(uint, colour);
        auto source = openPattern();
        QVERIFY(source);
        MFFormat f = format(900, 100, 50.0);
        f.colorFormat = colour;
        const MFFramePtr frame = fetch(*source, f), twin = fetch(*source, f);
        QVERIFY(frame && twin);
        QString markup;
        for (int bit = 0; bit < 90; ++bit)
            markup += bit % 2 ? "<text bg-color='black'>  </text>" : "<text bg-color='white'>  </text>";
        QCOMPARE(frame->MFPrint(markup, 0.5, 0.0, 97.0, 900.0, 3.0, 256,
                                "face='Times New Roman'  vert-align='bottom' bg-color='black' "),
                 int(MF_OK));
        // Cells of 10 pixels: white, black, white ... over the bottom three rows; the row above is untouched.
        const AVFrame *p = MFFrame::from(frame)->video();
        const AVFrame *t = MFFrame::from(twin)->video();
        auto luma = [](const AVFrame *pic, int x, int y) {
            const uint8_t *row = pic->data[0] + y * pic->linesize[0];
            switch (pic->format) {
            case AV_PIX_FMT_UYVY422:
                return int(row[2 * x + 1]);
            case AV_PIX_FMT_BGRA:
                return int(row[4 * x + 1]); // green
            default:
                return int(row[x]);
            }
        };
        for (int y = 97; y < 100; ++y) {
            QVERIFY(luma(p, 5, y) > 200 && luma(p, 885, y) > 200);
            QVERIFY(luma(p, 15, y) < 30 && luma(p, 895, y) < 30);
        }
        QCOMPARE(luma(p, 15, 96), luma(t, 15, 96));
        // The repeated twin shared the picture: drawing on one frame must not change the other.
        QVERIFY(std::abs(luma(t, 15, 98) - luma(t, 15, 2)) <= 4);
    }

    void audioDriftFollowedWithoutGapsOrDrops_data() {
        QTest::addColumn<int>("perMille"); // the device's clock against the frames' clock, in 1/1000
        QTest::addColumn<bool>("correct");
        QTest::newRow("fast device, corrected") << 3 << true;
        QTest::newRow("slow device, corrected") << -3 << true;
        QTest::newRow("fast device, left alone") << 3 << false;
        QTest::newRow("slow device, left alone") << -3 << false;
    }
    void audioDriftFollowedWithoutGapsOrDrops() {
        QFETCH(int, perMille);
        QFETCH(bool, correct);
        // 200 s at 25 frames per second: the device delivers a little more or less than the frames take.
        MFAudioFifo fifo;
        QCOMPARE(fifo.configure(AV_SAMPLE_FMT_S16, 2, 48000, 1000), int(MF_OK));
        MFAudioPipe pipe;
        const MFAudioParams params{AV_SAMPLE_FMT_S16, 2, 48000};
        QCOMPARE(pipe.open(params, params, MFAudioChannelMap(), 2 * 1920 + 1920), int(MF_OK));
        QVector<int16_t> chunk(2 * 2000, 0);
        int64_t delivered = 0, taken = 0;
        AVFrame *out = av_frame_alloc();
        for (int frame = 0; frame < 5000; ++frame) {
            const int64_t due = int64_t(frame + 1) * 1920 * (1000 + perMille) / 1000;
            const int n = int(due - delivered);
            const uint8_t *planes[1] = {reinterpret_cast<const uint8_t *>(chunk.constData())};
            fifo.write(planes, n);
            delivered += n;
            QCOMPARE(pipe.take(&fifo, 1920, out, correct), int(MF_OK));
            QCOMPARE(out->nb_samples, 1920);
            taken += out->nb_samples;
        }
        av_frame_free(&out);
        QCOMPARE(taken, int64_t(5000) * 1920); // each frame its share, whatever the device does
        // Left alone, the drift shows as padded silence or dropped excess; corrected, it never does.
        QCOMPARE(pipe.silencePadded() == 0 && pipe.excessDropped() == 0, correct);
    }

    void closedSourceFailsWithinBound() {
        auto source = openPattern(QString(), true);
        QVERIFY(source);
        QCOMPARE(source->DeviceClose(), int(MF_OK));
        QElapsedTimer timer;
        timer.start();
        MFFramePtr frame;
        QVERIFY(MF_FAILED(source->SourceFrameConvertedGetByFormat(format(320, 180, 25.0), &frame, -1, QString())));
        QVERIFY(!frame);
        QVERIFY(timer.elapsed() < 2000);
    }
};

QTEST_GUILESS_MAIN(TstSource)
#include "tst_source.moc"
