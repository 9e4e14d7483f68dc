// Device backends without hardware: mode choice, name rules, property parsing, and behaviour where the
// device is absent (no X display, no camera, no sound server).

#include "alsaaudioprovider.h"
#include "imfdevice.h"
#include "mediatestkit.h"
#include "mformats.h"
#include "pulseaudiodevice.h"
#include "pulseaudioprovider.h"
#include "testkit.h"
#include "v4l2cameradevice.h"
#include "v4l2cameraprovider.h"
#include "v4l2formatchooser.h"
#include "x11screendevice.h"
#include "x11screenlayout.h"
#include "x11screenprovider.h"

#include <QtTest>

Q_DECLARE_METATYPE(QList<V4L2FormatChooser::Mode>)

namespace {

QStringList namesOf(const QList<MFDeviceEntry> &entries) {
    QStringList names;
    for (const MFDeviceEntry &entry : entries)
        names << entry.name;
    return names;
}

V4L2FormatChooser::Mode mode(const char *format, int width, int height, double rate) {
    return {QString::fromLatin1(format), QSize(width, height), rate};
}

} // namespace

class TstDevices : public QObject {
    Q_OBJECT

private slots:
    // First, so that the once-only warning has not been given yet by another test.
    void withoutDisplayTheDesktopIsNotListed() {
        testkit::ScopedEnv noDisplay("DISPLAY");
        testkit::MessageCapture log;
        X11ScreenProvider provider;
        const QList<MFDeviceEntry> first = provider.list(eMFDT_Video);
        const QList<MFDeviceEntry> second = provider.list(eMFDT_Video);
        const QStringList live = mediatest::deviceNames(*MFormats::create(), eMFDT_Video);

        QVERIFY(first.isEmpty());
        QVERIFY(second.isEmpty());
        QVERIFY2(!live.contains(X11ScreenProvider::DEVICE_NAME), qPrintable(live.join(", ")));
        // The reason is given once, not at every listing.
        QCOMPARE(log.messages().filter("X11 screen capture unavailable").size(), 1);
        // Screen capture is video only.
        QVERIFY(provider.list(eMFDT_ExtAudio).isEmpty());
    }

    void withoutDisplayScreenCaptureFailsCleanly() {
        {
            testkit::ScopedEnv noDisplay("DISPLAY");
            X11ScreenDevice device{QString()};
            QVERIFY(MF_FAILED(device.start({})));
            QCOMPARE(device.pictures().sequence(), uint64_t(0));
            device.stop();
            device.stop(); // idempotent
        }
        // A display that does not exist fails the same way.
        X11ScreenDevice absent(QStringLiteral(":4242"));
        QVERIFY(MF_FAILED(absent.start({{QStringLiteral("capture.screen_index"), QStringLiteral("1")}})));

        // The live source without any video device delivers errors, not frames and not a crash.
        testkit::ScopedEnv noDisplay("DISPLAY");
        auto source = MFormats::create();
        QVERIFY(source);
        MFFramePtr frame;
        QVERIFY(MF_FAILED(source->SourceFrameConvertedGetByFormat(MFFormat(), &frame, 100, QString())));
        QVERIFY(!frame);
    }

    void missingCameraRefusesBadValuesAndFailsToStart() {
        QTemporaryDir dir;
        QVERIFY(dir.isValid());
        V4L2CameraDevice camera(dir.filePath(QStringLiteral("video0")),
                                {QStringLiteral("Composite"), QStringLiteral("S-Video")});
        // Values that are not valid are refused so that the live source keeps the old one; valid ones and
        // properties the camera does not know are taken.
        QVERIFY(MF_FAILED(camera.setProperty(QStringLiteral("line-in"), QStringLiteral("Tuner"))));
        QVERIFY(MF_SUCCEEDED(camera.setProperty(QStringLiteral("line-in"), QStringLiteral("S-Video"))));
        QVERIFY(MF_SUCCEEDED(camera.setProperty(QStringLiteral("line-in"), QString())));
        QVERIFY(MF_FAILED(camera.setProperty(QStringLiteral("capture.video_size"), QStringLiteral("1280x"))));
        QVERIFY(MF_FAILED(camera.setProperty(QStringLiteral("capture.video_size"), QStringLiteral("0x720"))));
        QVERIFY(MF_SUCCEEDED(camera.setProperty(QStringLiteral("capture.video_size"), QStringLiteral("640x480"))));
        QVERIFY(MF_FAILED(camera.setProperty(QStringLiteral("capture.frame_rate"), QStringLiteral("-1"))));
        QVERIFY(MF_SUCCEEDED(camera.setProperty(QStringLiteral("capture.frame_rate"), QStringLiteral("25"))));
        QVERIFY(MF_SUCCEEDED(camera.setProperty(QStringLiteral("audio_gain"), QStringLiteral("-6"))));

        // A camera that is not there fails start (a bad start property is only ignored), delivers nothing and
        // stops cleanly, more than once.
        QVERIFY(MF_FAILED(camera.start({{QStringLiteral("line-in"), QStringLiteral("Tuner")}})));
        QCOMPARE(camera.pictures().sequence(), uint64_t(0));
        QCOMPARE(camera.frameRate(), 0.0);
        camera.stop();
        camera.stop();
    }

    void nearestCameraMode_data() {
        QTest::addColumn<QList<V4L2FormatChooser::Mode>>("modes");
        QTest::addColumn<QSize>("wanted");
        QTest::addColumn<double>("rate");
        QTest::addColumn<int>("chosen");

        const QList<V4L2FormatChooser::Mode> webcam = {mode("yuyv422", 640, 480, 30), mode("mjpeg", 1280, 720, 30),
                                                       mode("mjpeg", 1920, 1080, 30), mode("yuyv422", 1920, 1080, 5)};
        QTest::newRow("exact size and rate") << webcam << QSize(1280, 720) << 30.0 << 1;
        QTest::newRow("MJPEG full rate beats YUYV at 5 fps") << webcam << QSize(1920, 1080) << 30.0 << 2;
        QTest::newRow("no wish means 1080p30") << webcam << QSize() << 0.0 << 2;
        QTest::newRow("between sizes") << webcam << QSize(1024, 576) << 30.0 << 1;
        QTest::newRow("raw only: smaller at full rate beats full size at 5 fps")
            << QList<V4L2FormatChooser::Mode>{mode("yuyv422", 1920, 1080, 5), mode("yuyv422", 1280, 720, 30)}
            << QSize(1920, 1080) << 30.0 << 1;
        QTest::newRow("larger beats smaller at the same ratio")
            << QList<V4L2FormatChooser::Mode>{mode("mjpeg", 640, 360, 30), mode("mjpeg", 2560, 1440, 30)}
            << QSize(1280, 720) << 30.0 << 1;
        QTest::newRow("faster beats slower at the same ratio")
            << QList<V4L2FormatChooser::Mode>{mode("mjpeg", 1280, 720, 15), mode("mjpeg", 1280, 720, 60)}
            << QSize(1280, 720) << 30.0 << 1;
        QTest::newRow("NTSC rate matches 30")
            << QList<V4L2FormatChooser::Mode>{mode("mjpeg", 1280, 720, 25), mode("mjpeg", 1280, 720, 29.97)}
            << QSize(1280, 720) << 30.0 << 1;
        QTest::newRow("a tie keeps the first listed")
            << QList<V4L2FormatChooser::Mode>{mode("yuyv422", 1280, 720, 30), mode("mjpeg", 1280, 720, 30)}
            << QSize(1280, 720) << 30.0 << 0;
        QTest::newRow("nothing offered") << QList<V4L2FormatChooser::Mode>{} << QSize(1280, 720) << 30.0 << -1;
    }

    void nearestCameraMode() {
        QFETCH(QList<V4L2FormatChooser::Mode>, modes);
        QFETCH(QSize, wanted);
        QFETCH(double, rate);
        QFETCH(int, chosen);
        QCOMPARE(V4L2FormatChooser::nearest(modes, wanted, rate), chosen);
    }

    void cameraEnumerationIgnoresNodesThatAreNotCameras() {
        QTemporaryDir nodes;
        QVERIFY(nodes.isValid());
        for (const char *name : {"video0", "video1", "video10", "media0"}) {
            QFile file(QDir(nodes.path()).filePath(QString::fromLatin1(name)));
            QVERIFY(file.open(QIODevice::WriteOnly));
            file.write("not a device");
        }
        V4L2CameraProvider provider(nodes.path());
        QVERIFY(provider.list(eMFDT_Video).isEmpty());
        QVERIFY(provider.list(eMFDT_ExtAudio).isEmpty());
        // An entry whose node is no camera (unplugged meanwhile) cannot be opened.
        MFDeviceEntry gone{QStringLiteral("HD Webcam"), {}, QDir(nodes.path()).filePath(QStringLiteral("video0"))};
        QVERIFY(!provider.openVideo(gone));
    }

    void cameraEnumerationOfThisMachine() {
        V4L2CameraProvider provider;
        const QList<MFDeviceEntry> cameras = provider.list(eMFDT_Video);
        const QStringList nodes = QDir(QStringLiteral("/dev")).entryList({QStringLiteral("video*")}, QDir::System);
        if (nodes.isEmpty()) {
            QVERIFY2(cameras.isEmpty(), qPrintable(namesOf(cameras).join(", ")));
            QSKIP("no /dev/video* on this machine: camera capture is not tested");
        }
        QSet<QString> names;
        for (const MFDeviceEntry &camera : cameras) {
            QVERIFY(!camera.name.isEmpty());
            QVERIFY(camera.id.startsWith(QLatin1String("/dev/video")));
            QVERIFY2(!names.contains(camera.name), qPrintable(camera.name));
            names.insert(camera.name);
            QVERIFY(camera.lines.isEmpty() || camera.lines.size() > 1);
        }
    }

    void alsaHintNames_data() {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("description");
        QTest::addColumn<bool>("listed");
        QTest::addColumn<QString>("shown");
        testkit::row("hardware device", "plughw:CARD=PCH,DEV=0",
                     "HDA Intel PCH, ALC892 Analog\nHardware device with all software conversions", true,
                     "HDA Intel PCH, ALC892 Analog");
        testkit::row("USB microphone", "plughw:CARD=Mic,DEV=0", "USB Microphone, USB Audio", true,
                     "USB Microphone, USB Audio");
        testkit::row("no description", "plughw:CARD=X,DEV=1", "", true, "plughw:CARD=X,DEV=1");
        testkit::row("raw hw is left to plughw", "hw:CARD=PCH,DEV=0", "HDA Intel PCH", false, "");
        testkit::row("pulse plugin repeats the Pulse sources", "pulse", "PulseAudio Sound Server", false, "");
        testkit::row("default", "default", "Default ALSA Output", false, "");
        testkit::row("null", "null", "Discard all samples", false, "");
    }
    void alsaHintNames() {
        QFETCH(QString, name);
        QFETCH(QString, description);
        QFETCH(bool, listed);
        QFETCH(QString, shown);
        MFDeviceEntry entry;
        QCOMPARE(AlsaAudioProvider::entryForHint(name, description, &entry), listed);
        if (listed)
            QCOMPARE(QStringList({entry.name, entry.id}), QStringList({shown, name}));
    }

    void alsaListingOfThisMachine() {
        AlsaAudioProvider provider;
        const QList<MFDeviceEntry> cards = provider.list(eMFDT_ExtAudio);
        QVERIFY(provider.list(eMFDT_Video).isEmpty());
        for (const MFDeviceEntry &card : cards)
            QVERIFY2(card.id.startsWith(QLatin1String("plughw:")), qPrintable(card.id));
        if (!QDir(QStringLiteral("/dev/snd")).exists()) {
            QVERIFY2(cards.isEmpty(), qPrintable(namesOf(cards).join(", ")));
            QSKIP("no /dev/snd on this machine: ALSA hardware capture is not tested");
        }
    }

    void screenProperties_data() {
        QTest::addColumn<QString>("property"); // name=value
        QTest::addColumn<bool>("accepted");
        QTest::addColumn<QString>("settings"); // screen index, mouse, frame rate afterwards
        QTest::newRow("second screen") << "capture.screen_index=1" << true << "1 show 30";
        QTest::newRow("blanks around the index") << "capture.screen_index= 2 " << true << "2 show 30";
        QTest::newRow("negative index") << "capture.screen_index=-1" << false << "0 show 30";
        QTest::newRow("not a number") << "capture.screen_index=second" << false << "0 show 30";
        QTest::newRow("empty index") << "capture.screen_index=" << false << "0 show 30";
        QTest::newRow("hide the mouse") << "capture.highlight_mouse=hide" << true << "0 hide 30";
        QTest::newRow("show the mouse") << "capture.highlight_mouse=show" << true << "0 show 30";
        QTest::newRow("rate") << "capture.frame_rate=59.94" << true << "0 show 59.94";
        QTest::newRow("zero rate") << "capture.frame_rate=0" << false << "0 show 30";
        QTest::newRow("rate beyond the limit") << "capture.frame_rate=1000" << false << "0 show 30";
        QTest::newRow("other property") << "audio_gain=-6" << true << "0 show 30";
    }
    void screenProperties() {
        QFETCH(QString, property);
        QFETCH(bool, accepted);
        QFETCH(QString, settings);
        const QString name = property.section('=', 0, 0), value = property.section('=', 1);
        X11ScreenDevice::Settings applied;
        QCOMPARE(X11ScreenDevice::applyProperty(&applied, name, value), accepted);
        const char *mouse = applied.hideMouse ? "hide" : "show";
        QCOMPARE(QString::asprintf("%d %s %g", applied.screenIndex, mouse, applied.frameRate), settings);
        // The device refuses what is not valid, so that the live source keeps the old value.
        X11ScreenDevice device{QString()};
        QCOMPARE(MF_SUCCEEDED(device.setProperty(name, value)), accepted);
    }

    void grabUrl_data() {
        QTest::addColumn<QString>("display");
        QTest::addColumn<int>("xScreen");
        QTest::addColumn<QPoint>("origin");
        QTest::addColumn<QString>("url");

        QTest::newRow("local display") << ":99" << 0 << QPoint(0, 0) << ":99.0+0,0";
        QTest::newRow("screen in the name is replaced") << ":0.1" << 0 << QPoint(0, 0) << ":0.0+0,0";
        QTest::newRow("second monitor of a wide screen") << ":0.0" << 0 << QPoint(1920, 0) << ":0.0+1920,0";
        QTest::newRow("second X screen") << ":5" << 1 << QPoint(0, 0) << ":5.1+0,0";
        QTest::newRow("remote display") << "localhost:10.0" << 1 << QPoint(100, 50) << "localhost:10.1+100,50";
    }

    void grabUrl() {
        QFETCH(QString, display);
        QFETCH(int, xScreen);
        QFETCH(QPoint, origin);
        QFETCH(QString, url);
        X11ScreenLayout::Screen screen;
        screen.xScreen = xScreen;
        screen.geometry = QRect(origin, QSize(640, 480));
        QCOMPARE(X11ScreenLayout::grabUrl(display, screen), url);
    }

    void primaryScreenComesFirst() {
        auto screen = [](const char *name, bool primary) {
            X11ScreenLayout::Screen s;
            s.name = QString::fromLatin1(name);
            s.primary = primary;
            return s;
        };
        auto names = [](const QVector<X11ScreenLayout::Screen> &screens) {
            QStringList list;
            for (const auto &s : screens)
                list << s.name;
            return list.join(QLatin1Char(','));
        };
        QVector<X11ScreenLayout::Screen> screens = {screen("left", false), screen("middle", true),
                                                    screen("right", false)};
        X11ScreenLayout::primaryFirst(&screens);
        QCOMPARE(names(screens), QStringLiteral("middle,left,right"));
        screens = {screen("left", true), screen("right", false)};
        X11ScreenLayout::primaryFirst(&screens);
        QCOMPARE(names(screens), QStringLiteral("left,right"));
    }

    void withoutPulseServerNothingIsListedAndOpeningFails() {
        QTemporaryDir nowhere;
        const QByteArray server = "unix:" + QFile::encodeName(nowhere.filePath(QStringLiteral("no-such-socket")));
        testkit::ScopedEnv pulse("PULSE_SERVER", server);
        QElapsedTimer clock;
        clock.start();
        PulseAudioProvider provider;
        QVERIFY(provider.list(eMFDT_ExtAudio).isEmpty());
        PulseAudioDevice device(QStringLiteral("alsa_input.pci-0000_00_1f.3.analog-stereo"));
        QVERIFY(MF_FAILED(device.start({})));
        device.stop();
        // Both gave up by themselves, within their own bounds, instead of waiting for a server.
        QVERIFY(clock.elapsed() < PulseAudioProvider::LIST_TIMEOUT_MS + PulseAudioDevice::CONNECT_TIMEOUT_MS);
    }
};

QTEST_GUILESS_MAIN(TstDevices)
#include "tst_devices.moc"
