// The option text and output address the capture thread hands to the writer, as the writer receives them.
#include "capturefakes.h"
#include "capturestreamer.h"
#include "testkit.h"

#include <QtTest>

namespace {

struct Rig {
    std::shared_ptr<RecordingWriter> writer = std::make_shared<RecordingWriter>();
    std::unique_ptr<CaptureStreamer> streamer;

    Rig() {
        CaptureMedia media;
        media.createSource = [] { return std::make_shared<ScriptedSource>(); };
        media.createWriter = [w = writer] { return w; };
        media.createPreview = [] { return std::make_shared<CountingPreview>(); };
        streamer = std::make_unique<CaptureStreamer>(media);
    }
    ~Rig() {
        streamer->stopCapture();
        streamer->wait(5000);
    }
};

const char kExample[] = "format='mpegts' play_while_rec='false'  video::codec='q264hw'  video::profile='Main'  "
                        "video::g='25'  video::b='4000K' video::maxrate='4000K'  audio::codec='aac'  "
                        "audio::b='128K'  audio::minrate='128K' audio::maxrate='128K'  audio::ar='48000' ";

// What one Start asks for.
struct Run {
    QString codec;
    int frameRate, gopMultiplier, videoKbps;
    QString extra;
    int audioKbps, sampleRate;
};

} // namespace

Q_DECLARE_METATYPE(Run)

class TestWriterOptions : public QObject {
    Q_OBJECT

private slots:
    void theWriterGetsTheOptionText_data() {
        QTest::addColumn<Run>("run");
        QTest::addColumn<QString>("expected");

        const QString head = QStringLiteral("format='mpegts' play_while_rec='false' ");
        const QString aac = QStringLiteral(
            " audio::codec='aac'  audio::b='128K'  audio::minrate='128K' audio::maxrate='128K'  audio::ar='48000' ");
        // The text of a run with 128 kbit/s AAC at 48 kHz: the head, this video part, the AAC part.
        const auto withAac = [&](const char *video) { return head + video + aac; };

        testkit::row("hardware H.264 example", Run{"q264hw", 25, 1, 4000, "", 128, 48000}, kExample);
        testkit::row("video off keeps the extra options", Run{"q264hw", 25, 1, 0, " video::rc_type='cbr' ", 128, 48000},
                     withAac(" video::codec='null'  video::rc_type='cbr' "));
        testkit::row("negative video bitrate is off too", Run{"libopenh264", 25, 1, -5, "", 128, 48000},
                     withAac(" video::codec='null' "));
        testkit::row("mpeg2video has no profile", Run{"mpeg2video", 50, 1, 8000, "", 128, 48000},
                     withAac(" video::codec='mpeg2video'  video::g='50'  video::b='8000K' video::maxrate='8000K' "));
        testkit::row("libopenh264 is constrained baseline", Run{"libopenh264", 30, 1, 2500, "", 128, 48000},
                     withAac(" video::codec='libopenh264'  video::profile='constrained_baseline'  video::g='30'  "
                             "video::b='2500K' video::maxrate='2500K' "));
        testkit::row("HEVC is Main", Run{"n265", 60, 1, 6000, "", 128, 48000},
                     withAac(" video::codec='n265'  video::profile='Main'  video::g='60'  video::b='6000K' "
                             "video::maxrate='6000K' "));
        testkit::row("a near-miss of libopenh264 is Main", Run{"libopenh264 ", 25, 1, 1000, "", 128, 48000},
                     withAac(" video::codec='libopenh264 '  video::profile='Main'  video::g='25'  video::b='1000K' "
                             "video::maxrate='1000K' "));
        testkit::row(
            "original frame rate has no GOP", Run{"q264sw", -1, 1, 3000, "", 128, 48000},
            withAac(" video::codec='q264sw'  video::profile='Main'  video::b='3000K' video::maxrate='3000K' "));
        testkit::row("29.97 keeps the passed value as GOP", Run{"q264sw", 2997, 1, 3000, "", 128, 48000},
                     withAac(" video::codec='q264sw'  video::profile='Main'  video::g='2997'  video::b='3000K' "
                             "video::maxrate='3000K' "));
        testkit::row("GOP multiplier", Run{"q264sw", 50, 2, 3000, "", 128, 48000},
                     withAac(" video::codec='q264sw'  video::profile='Main'  video::g='100'  video::b='3000K' "
                             "video::maxrate='3000K' "));
        testkit::row("no audio still names the sample rate",
                     Run{"q264sw", 25, 1, 3000, " video::quality='3' ", 0, 48000},
                     head + " video::codec='q264sw'  video::profile='Main'  video::g='25'  video::b='3000K' "
                            "video::maxrate='3000K'  video::quality='3'  audio::codec='null'  audio::ar='48000' ");
        testkit::row("sample rate 0 leaves it out", Run{"q264sw", 25, 1, 3000, "", 96, 0},
                     head + " video::codec='q264sw'  video::profile='Main'  video::g='25'  video::b='3000K' "
                            "video::maxrate='3000K'  audio::codec='aac'  audio::b='96K'  audio::minrate='96K' "
                            "audio::maxrate='96K' ");
    }

    void theWriterGetsTheOptionText() {
        QFETCH(Run, run);
        QFETCH(QString, expected);
        Rig rig;
        rig.streamer->setOutputParams(QSize(1280, 720), run.videoKbps, run.audioKbps);
        QVERIFY(rig.streamer->startCapture(6000, run.frameRate, 3, run.gopMultiplier, run.codec, run.extra, QString(),
                                           run.sampleRate));
        QCOMPARE(rig.writer->lastOptions(), expected);
        QCOMPARE(rig.writer->mode, 1);
    }

    void theOutputGoesToTheRelaysLoopbackPort() {
        Rig rig;
        rig.streamer->setOutputParams(QSize(), 4000, 128);
        QVERIFY(rig.streamer->startCapture(5000, 25, 3, 1, "q264hw", QString(), QString(), 48000));
        QCOMPARE(rig.writer->lastUrl(), QStringLiteral("tcp://127.0.0.1:5000"));
        rig.streamer->stopCapture();
        QVERIFY(rig.streamer->wait(5000));
        // Every run configures the writer anew, with the port of the relay that was just started.
        QVERIFY(rig.streamer->startCapture(65535, 25, 3, 1, "q264hw", QString(), QString(), 48000));
        QCOMPARE(rig.writer->lastUrl(), QStringLiteral("tcp://127.0.0.1:65535"));
    }

    void theBitratesOfTheLastOutputParamsApply() {
        Rig rig;
        rig.streamer->setOutputParams(QSize(1920, 1080), 9000, 256);
        rig.streamer->setOutputParams(QSize(1920, 1080), 0, 0);
        QVERIFY(rig.streamer->startCapture(5000, 25, 3, 1, "q264hw", QString(), QString(), 44100));
        QCOMPARE(rig.writer->lastOptions(),
                 QStringLiteral("format='mpegts' play_while_rec='false'  video::codec='null'  "
                                "audio::codec='null'  audio::ar='44100' "));
    }
};

QTEST_GUILESS_MAIN(TestWriterOptions)
#include "tst_writeroptions.moc"
