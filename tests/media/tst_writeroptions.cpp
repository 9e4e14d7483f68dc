// The writer's option text and codec table, as units.
#include "mfcodectable.h"
#include "mfencoderprobe.h"
#include "mfffmpeglog.h"
#include "mfvideoencoder.h"
#include "mfwriteroptions.h"
#include "mfwriteroutput.h"
#include "testkit.h"

#include <QtTest>

extern "C" {
#include <libavutil/frame.h>
#include <libavutil/opt.h>
}

namespace {

const QStringList rateControls = {"", "auto", "vbr", "cbr", "cqp", "avbr", "vbr_la", "quality"};

MFVideoSettings settingsFor(const QString &codec, const QString &rc, int quality, const QString &preset = {}) {
    MFVideoSettings s;
    s.width = 320;
    s.height = 180;
    s.frameRate = AVRational{25, 1};
    s.gop = 25;
    s.options.videoCodec = codec;
    s.options.videoProfile = codec == "libopenh264" ? "constrained_baseline" : "Main";
    s.options.videoBitrate = 1000000;
    s.options.videoMaxrate = 1000000;
    s.options.rcType = rc;
    s.options.quality = quality;
    s.options.preset = preset;
    return s;
}

// True when the encoder (or every encoder context) knows the option, and a named value is one of its
// constants.
bool encoderKnows(const AVCodec *codec, const char *key, const char *value, QString *why) {
    const AVClass *privateClass = codec->priv_class;
    const AVOption *option =
        privateClass ? av_opt_find(&privateClass, key, nullptr, 0, AV_OPT_SEARCH_FAKE_OBJ) : nullptr;
    if (!option) {
        const AVClass *contextClass = avcodec_get_class();
        option = av_opt_find(&contextClass, key, nullptr, 0, AV_OPT_SEARCH_FAKE_OBJ);
    }
    if (!option) {
        *why = QString("%1 has no option %2").arg(codec->name, key);
        return false;
    }
    if (option->unit && (option->type == AV_OPT_TYPE_INT || option->type == AV_OPT_TYPE_FLAGS)) {
        bool isNumber = false;
        QString(value).toInt(&isNumber);
        if (!isNumber && !av_opt_find(&privateClass, value, option->unit, 0, AV_OPT_SEARCH_FAKE_OBJ)) {
            *why = QString("%1: %2 has no value %3").arg(codec->name, key, value);
            return false;
        }
    }
    return true;
}

} // namespace

class TestWriterOptions : public QObject {
    Q_OBJECT

private slots:
    void initTestCase() { mfInstallFfmpegLog(); }
    void captureExample();
    void recordingText();
    void videoOffKeepsExtraOptions();
    void quotingAndUnknownKeys();
    void refusedTexts_data();
    void refusedTexts();
    void bitrates_data();
    void bitrates();
    void codecTable_data();
    void codecTable();
    void nvencPresets();
    void hardwareOptionsExist_data();
    void hardwareOptionsExist();
    void vaapiFallback_data();
    void vaapiFallback();
    void probeNamesHiddenHardware();
    void softwareEncodersOpen_data();
    void softwareEncodersOpen();
    void liveSettings();
    void gopAndFrameRates_data();
    void gopAndFrameRates();
};

void TestWriterOptions::captureExample() {
    const QString text =
        "format='mpegts' play_while_rec='false'  video::codec='q264hw'  video::profile='Main'  video::g='25'  "
        "video::b='4000K' video::maxrate='4000K'  audio::codec='aac'  audio::b='128K'  audio::minrate='128K' "
        "audio::maxrate='128K'  audio::ar='48000' ";
    QCOMPARE(text.size(), 242);
    MFWriterOptions o;
    QString error;
    QVERIFY2(MFWriterOptions::parse(text + " video::rc_type='vbr' video::quality='4'", &o, &error), qPrintable(error));
    QCOMPARE(o.format, QString("mpegts"));
    QCOMPARE(o.playWhileRec, false);
    QCOMPARE(o.videoCodec, QString("q264hw"));
    QCOMPARE(o.videoProfile, QString("Main"));
    QCOMPARE(o.gop, 25);
    QCOMPARE(o.videoBitrate, int64_t(4000000));
    QCOMPARE(o.videoMaxrate, int64_t(4000000));
    QCOMPARE(o.audioCodec, QString("aac"));
    QCOMPARE(o.audioBitrate, int64_t(128000));
    QCOMPARE(o.audioMinrate, int64_t(128000));
    QCOMPARE(o.audioMaxrate, int64_t(128000));
    QCOMPARE(o.sampleRate, 48000);
    QCOMPARE(o.rcType, QString("vbr"));
    QCOMPARE(o.quality, 4);
    QVERIFY(o.unknownKeys.isEmpty());
    QVERIFY(o.hasVideo());
    QVERIFY(o.hasAudio());
    QVERIFY(!o.splitChannels);
}

void TestWriterOptions::recordingText() {
    const QString text = "format='mpegts' play_while_rec='false' video::codec='mpeg2video' video::profile='main'  "
                         "video::b='5120K' video::maxrate='5120K'  audio::codec='aac' audio::b='128K'  "
                         "audio::minrate='128K' audio::maxrate='128K' mpeg::split_channels='1' ";
    QCOMPARE(text.size(), 234);
    MFWriterOptions o;
    QString error;
    QVERIFY2(MFWriterOptions::parse(text, &o, &error), qPrintable(error));
    QCOMPARE(o.videoCodec, QString("mpeg2video"));
    QCOMPARE(o.videoBitrate, int64_t(5120000));
    QCOMPARE(o.gop, 0);
    QCOMPARE(o.sampleRate, 0);
    QVERIFY(o.splitChannels);
    QVERIFY(o.unknownKeys.isEmpty());
}

void TestWriterOptions::videoOffKeepsExtraOptions() {
    MFWriterOptions o;
    QString error;
    QVERIFY(MFWriterOptions::parse("format='mpegts' play_while_rec='false'  video::codec='null'  video::rc_type='cbr' "
                                   "video::preset='low_latency' audio::codec='null'  audio::ar='48000' ",
                                   &o, &error));
    QVERIFY(!o.hasVideo());
    QVERIFY(!o.hasAudio());
    QCOMPARE(o.rcType, QString("cbr"));
    QCOMPARE(o.preset, QString("low_latency"));
    QCOMPARE(o.sampleRate, 48000);
}

void TestWriterOptions::quotingAndUnknownKeys() {
    MFWriterOptions o;
    QString error;
    QVERIFY2(MFWriterOptions::parse("  video::codec=\"q264sw\"\tvideo::g=50 video::x264opts='a=1 b=2' "
                                    "video::b='1M' foo::bar='' video::g='12' video::x264opts='c'",
                                    &o, &error),
             qPrintable(error));
    QCOMPARE(o.videoCodec, QString("q264sw"));
    QCOMPARE(o.gop, 12); // the last of a repeated key wins
    QCOMPARE(o.videoBitrate, int64_t(1000000));
    QCOMPARE(o.unknownKeys, QStringList({"video::x264opts", "foo::bar"}));
    QCOMPARE(o.values.value("video::x264opts"), QString("c"));
    QVERIFY(MFWriterOptions::parse("", &o, &error));
    QVERIFY(o.videoCodec.isEmpty());
}

void TestWriterOptions::refusedTexts_data() {
    QTest::addColumn<QString>("text");
    QTest::newRow("unterminated quote") << "video::codec='q264sw video::b='1K'";
    QTest::newRow("no value") << "format='mpegts' video::codec";
    QTest::newRow("no key") << "='x'";
    QTest::newRow("text after quote") << "video::codec='a'b";
    QTest::newRow("bad bitrate") << "video::b='fastK'";
    QTest::newRow("negative bitrate") << "audio::b='-128K'";
    QTest::newRow("quality above 7") << "video::quality='8'";
    QTest::newRow("quality 0") << "video::quality='0'";
    QTest::newRow("gop text") << "video::g='many'";
    QTest::newRow("bad bool") << "mpeg::split_channels='maybe'";
}

void TestWriterOptions::refusedTexts() {
    QFETCH(QString, text);
    MFWriterOptions o;
    o.videoCodec = "untouched";
    QString error;
    QVERIFY(!MFWriterOptions::parse(text, &o, &error));
    QVERIFY(!error.isEmpty());
    QCOMPARE(o.videoCodec, QString("untouched"));
}

void TestWriterOptions::bitrates_data() {
    QTest::addColumn<QString>("text");
    QTest::addColumn<qint64>("bits");
    QTest::newRow("K") << "4000K" << qint64(4000000);
    QTest::newRow("k") << "128k" << qint64(128000);
    QTest::newRow("M") << "5M" << qint64(5000000);
    QTest::newRow("plain") << "64000" << qint64(64000);
    QTest::newRow("zero") << "0K" << qint64(0);
    QTest::newRow("empty") << "" << qint64(-1);
    QTest::newRow("suffix only") << "K" << qint64(-1);
    QTest::newRow("garbage") << "12x" << qint64(-1);
    QTest::newRow("overflow") << "99999999999999999999K" << qint64(-1);
}

void TestWriterOptions::bitrates() {
    QFETCH(QString, text);
    QFETCH(qint64, bits);
    QCOMPARE(qint64(MFWriterOptions::parseBitrate(text)), bits);
}

void TestWriterOptions::codecTable_data() {
    QTest::addColumn<QString>("id");
    QTest::addColumn<QString>("encoder");
    testkit::row("q264hw", "q264hw", "h264_qsv");
    testkit::row("q264sw", "q264sw", "libx264");
    testkit::row("c264", "c264", "h264_nvenc");
    testkit::row("n264", "n264", "h264_nvenc");
    testkit::row("libopenh264", "libopenh264", "libopenh264");
    testkit::row("mpeg2video", "mpeg2video", "mpeg2video");
    testkit::row("hevc_qsv", "hevc_qsv", "hevc_qsv");
    testkit::row("q265hw", "q265hw", "hevc_qsv");
    testkit::row("n265", "n265", "hevc_nvenc");
    testkit::row("x265sw", "x265sw", "libx265");
}

void TestWriterOptions::codecTable() {
    QFETCH(QString, id);
    QFETCH(QString, encoder);
    const MFCodecEntry *entry = mfCodecFind(id);
    QVERIFY(entry);
    QCOMPARE(QString(entry->encoder), encoder);
    QVERIFY(!mfCodecFind(id.toUpper()));
    QVERIFY(mfCodecIds().contains(id));
    QCOMPARE(mfCodecIds().size(), 10);
}

void TestWriterOptions::nvencPresets() {
    const QStringList names = {"default",        "high_quality",   "high_performance", "low_latency",
                               "low_latency_hq", "low_latency_hp", "blue_ray_disk"};
    QSet<QString> seen;
    for (const QString &name : names) {
        const char *preset = mfNvencPreset(name);
        QVERIFY2(preset, qPrintable(name));
        seen.insert(preset);
    }
    QCOMPARE(seen.size(), names.size());
    QVERIFY(!mfNvencPreset("turbo"));
    QCOMPARE(QString(mfNvencPreset("low_latency")), QString("ll"));
    // Quality 1 is the fastest, 7 the best, and every step changes something.
    QCOMPARE(QString(mfX264Preset(1)), QString("ultrafast"));
    QVERIFY(mfConstantQuality(7) < mfConstantQuality(1));
    QSet<QString> x264;
    for (int q = 1; q <= 7; ++q)
        x264.insert(mfX264Preset(q));
    QCOMPARE(x264.size(), 7);
    // Without a quality x265 takes the entry the quality list shows first: its fastest.
    QSet<QString> x265;
    for (int q = 1; q <= 7; ++q)
        x265.insert(mfX265Preset(q));
    QCOMPARE(x265.size(), 7);
    QCOMPARE(QString(mfX265Preset(0)), QString(mfX265Preset(1)));
}

void TestWriterOptions::gopAndFrameRates_data() {
    QTest::addColumn<double>("rate");
    QTest::addColumn<int>("num");
    QTest::addColumn<int>("den");
    QTest::addColumn<int>("gop");
    QTest::addColumn<int>("frames");
    QTest::newRow("25") << 25.0 << 25 << 1 << 25 << 25;
    QTest::newRow("25 gop 50") << 25.0 << 25 << 1 << 50 << 50;
    QTest::newRow("29.97 gop 2997") << 29.97 << 30000 << 1001 << 2997 << 30;
    QTest::newRow("29.97 gop 60") << 29.97 << 30000 << 1001 << 60 << 60;
    QTest::newRow("59.94") << 59.94 << 60000 << 1001 << 0 << 60;
    QTest::newRow("23.976") << 23.976 << 24000 << 1001 << 0 << 24;
    QTest::newRow("50 no gop") << 50.0 << 50 << 1 << 0 << 50;
    QTest::newRow("12.5") << 12.5 << 25 << 2 << 0 << 13;
}

void TestWriterOptions::gopAndFrameRates() {
    QFETCH(double, rate);
    QFETCH(int, num);
    QFETCH(int, den);
    QFETCH(int, gop);
    QFETCH(int, frames);
    const AVRational r = MFWriterOutput::frameRateOf(rate);
    QCOMPARE(r.num, num);
    QCOMPARE(r.den, den);
    MFVideoSettings s;
    s.frameRate = r;
    s.gop = gop;
    QCOMPARE(mfGopFrames(s), frames);
}

void TestWriterOptions::hardwareOptionsExist_data() {
    QTest::addColumn<QString>("codec");
    QTest::addColumn<QString>("preset");
    for (const char *codec : {"q264hw", "n264", "c264", "hevc_qsv", "q265hw", "n265"}) {
        for (const char *preset : {"default", "high_quality", "low_latency_hp", "blue_ray_disk"})
            QTest::newRow(QByteArray(codec) + " " + preset) << codec << preset;
    }
}

void TestWriterOptions::hardwareOptionsExist() {
    // No Quick Sync or NVENC device here: check that every option we would hand them is one they know.
    QFETCH(QString, codec);
    QFETCH(QString, preset);
    const MFCodecEntry *entry = mfCodecFind(codec);
    const AVCodec *encoder = avcodec_find_encoder_by_name(entry->encoder);
    if (!encoder)
        QSKIP("FFmpeg was built without this encoder");
    for (const QString &rc : rateControls) {
        for (int quality : {0, 1, 4, 7}) {
            AVCodecContext *context = avcodec_alloc_context3(encoder);
            AVDictionary *options = nullptr;
            mfApplyVideoOptions(*entry, settingsFor(codec, rc, quality, preset), context, &options);
            QString why;
            bool ok = true;
            AVDictionaryEntry *option = nullptr;
            while (ok && (option = av_dict_get(options, "", option, AV_DICT_IGNORE_SUFFIX)))
                ok = encoderKnows(encoder, option->key, option->value, &why);
            const int64_t maxrate = context->rc_max_rate;
            const int64_t bitrate = context->bit_rate;
            const int64_t minrate = context->rc_min_rate;
            av_dict_free(&options);
            avcodec_free_context(&context);
            QVERIFY2(ok, qPrintable(QString("%1 rc '%2': %3").arg(codec, rc, why)));
            QVERIFY(context == nullptr);
            if (rc == "cbr" && entry->family == MFEncoderFamily::Qsv) {
                QCOMPARE(maxrate, bitrate);
                QCOMPARE(minrate, bitrate);
            }
            // The VAAPI encoder the Quick Sync ids fall back to, with the same option text.
            const AVCodec *vaapi = entry->vaapiEncoder ? avcodec_find_encoder_by_name(entry->vaapiEncoder) : nullptr;
            if (!vaapi)
                continue;
            context = avcodec_alloc_context3(vaapi);
            mfApplyVaapiOptions(*entry, settingsFor(codec, rc, quality, preset), context, &options);
            while (ok && (option = av_dict_get(options, "", option, AV_DICT_IGNORE_SUFFIX)))
                ok = encoderKnows(vaapi, option->key, option->value, &why);
            const int level = context->compression_level;
            av_dict_free(&options);
            avcodec_free_context(&context);
            QVERIFY2(ok, qPrintable(QString("%1 rc '%2': %3").arg(vaapi->name, rc, why)));
            // The driver's levels run from best (1) to fastest (7), the quality list the other way.
            if (quality > 0)
                QCOMPARE(level, 8 - quality);
        }
    }
}

void TestWriterOptions::vaapiFallback_data() {
    QTest::addColumn<QString>("codec");
    QTest::addColumn<QStringList>("nodes");   // files made in the render-node directory
    QTest::addColumn<QStringList>("reasons"); // what the reason names
    const QStringList noNode = {"no render node in"};
    for (const char *codec : {"q264hw", "hevc_qsv", "q265hw"}) {
        QTest::addRow("%s: no directory", codec) << codec << QStringList{"-"} << noNode;
        QTest::addRow("%s: no node", codec) << codec << QStringList() << noNode;
        QTest::addRow("%s: only a card node", codec) << codec << QStringList{"card0"} << noNode;
        QTest::addRow("%s: nodes that do not open", codec)
            << codec << QStringList{"renderD129", "card0", "renderD128"}
            << QStringList{"renderD128 does not open", "renderD129 does not open"};
    }
}

void TestWriterOptions::vaapiFallback() {
    // No GPU here: the Quick Sync ids are refused, and the reason says what each way to encode answered.
    QFETCH(QString, codec);
    QFETCH(QStringList, nodes);
    QFETCH(QStringList, reasons);
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    QString directory = dir.path();
    if (nodes == QStringList{"-"}) {
        directory = dir.filePath("absent");
    } else {
        for (const QString &node : nodes) {
            QFile file(dir.filePath(node));
            QVERIFY(file.open(QIODevice::WriteOnly));
        }
    }
    const MFCodecEntry *entry = mfCodecFind(codec);
    if (!avcodec_find_encoder_by_name(entry->vaapiEncoder))
        QSKIP("FFmpeg was built without VAAPI");
    QString why;
    QVERIFY(!mfProbeVideoCodec(*entry, directory, &why));
    QVERIFY2(why.contains(QLatin1String(entry->encoder)), qPrintable(why));
    QVERIFY2(why.contains("; VAAPI: "), qPrintable(why));
    for (const QString &reason : reasons)
        QVERIFY2(why.contains(reason), qPrintable(why));
}

void TestWriterOptions::probeNamesHiddenHardware() {
    // The process's own probe, as the encoder list asks it: every Quick Sync hardware id is hidden with both
    // reasons in one log line.
    if (!QDir("/dev/dri").entryList({"renderD*"}, QDir::System | QDir::Files).isEmpty())
        QSKIP("this machine has a render node");
    const testkit::MessageCapture messages;
    const QStringList available = mfAvailableVideoCodecs();
    const QStringList lines = messages.messages();
    const QString hidden = lines.filter("video codecs not available").value(0);
    QVERIFY2(!hidden.isEmpty(), qPrintable(lines.join('\n')));
    for (const char *codec : {"q264hw", "hevc_qsv", "q265hw"}) {
        QVERIFY(!available.contains(codec));
        QVERIFY2(hidden.contains(QString("%1 (").arg(codec)), qPrintable(hidden));
    }
    QVERIFY2(hidden.contains("VAAPI: no render node in /dev/dri"), qPrintable(hidden));
    QVERIFY(available.contains("x265sw"));
}

void TestWriterOptions::softwareEncodersOpen_data() {
    QTest::addColumn<QString>("codec");
    QTest::addColumn<QString>("rc");
    for (const char *codec : {"q264sw", "mpeg2video", "libopenh264", "x265sw"}) {
        for (const QString &rc : rateControls)
            QTest::newRow(QByteArray(codec) + " " + rc.toLatin1()) << codec << rc;
    }
}

void TestWriterOptions::softwareEncodersOpen() {
    // Every rate control and quality opens the real encoder and gives a picture.
    QFETCH(QString, codec);
    QFETCH(QString, rc);
    for (int quality : {0, 1, 7}) {
        std::unique_ptr<MFVideoEncoder> encoder = MFVideoEncoder::create(*mfCodecFind(codec));
        QVERIFY(encoder);
        QString why;
        QVERIFY2(encoder->open(settingsFor(codec, rc, quality), &why), qPrintable(why));
        AVFrame *frame = av_frame_alloc();
        frame->format = encoder->pixelFormat();
        frame->width = 320;
        frame->height = 180;
        QVERIFY(av_frame_get_buffer(frame, 0) >= 0);
        for (int plane = 0; plane < 3; ++plane)
            memset(frame->data[plane], 100, size_t(frame->linesize[plane]) * (plane ? 90 : 180));
        frame->pts = 0;
        std::vector<AVPacket *> packets;
        const bool encoded = encoder->encode(frame, &packets, &why) && encoder->encode(nullptr, &packets, &why);
        av_frame_free(&frame);
        const bool key = !packets.empty() && (packets.front()->flags & AV_PKT_FLAG_KEY);
        for (AVPacket *packet : packets)
            av_packet_free(&packet);
        QVERIFY2(encoded, qPrintable(why));
        QVERIFY(key);
    }
}

void TestWriterOptions::liveSettings() {
    // x264 for live: zero-latency tuning, no B-frames, the VBV from maxrate, a fixed key-frame cadence.
    const MFCodecEntry *entry = mfCodecFind("q264sw");
    const AVCodec *codec = avcodec_find_encoder_by_name(entry->encoder);
    QVERIFY(codec);
    AVCodecContext *context = avcodec_alloc_context3(codec);
    AVDictionary *options = nullptr;
    MFVideoSettings s = settingsFor("q264sw", "vbr", 3);
    s.options.videoMaxrate = 1500000;
    s.interlace = 2;
    mfApplyVideoOptions(*entry, s, context, &options);
    QCOMPARE(QString(av_dict_get(options, "tune", nullptr, 0)->value), QString("zerolatency"));
    QCOMPARE(QString(av_dict_get(options, "preset", nullptr, 0)->value), QString("veryfast"));
    QCOMPARE(QString(av_dict_get(options, "profile", nullptr, 0)->value), QString("main"));
    QVERIFY(QString(av_dict_get(options, "x264-params", nullptr, 0)->value).contains("bff=1"));
    QCOMPARE(context->max_b_frames, 0);
    QCOMPARE(context->rc_max_rate, int64_t(1500000));
    QCOMPARE(context->rc_buffer_size, 1500000);
    QCOMPARE(context->gop_size, 25);
    QCOMPARE(context->keyint_min, 25);
    QCOMPARE(context->field_order, AV_FIELD_BB);
    QVERIFY(context->flags & AV_CODEC_FLAG_INTERLACED_DCT);
    av_dict_free(&options);
    avcodec_free_context(&context);
}

QTEST_GUILESS_MAIN(TestWriterOptions)
#include "tst_writeroptions.moc"
