// Source listing and selection against scripted device lists: which entries the operator sees and which
// device, line and audio each entry opens.
#include "capturefakes.h"
#include "capturestreamer.h"
#include "logsdlg.h"
#include "ndisource.h"
#include "setmfdevice.h"
#include "testkit.h"

#include <QtTest>

namespace {

using Opened = QVector<QPair<int, int>>;

std::shared_ptr<ScriptedSource> deviceList() {
    auto source = std::make_shared<ScriptedSource>();
    // The tests name them by index: 1 Test Pattern, 2 NDI Receiver, 7 AJA Kona 4 (with lines), 9 the first Camera.
    source->devices[0] = QStringList{"<None>", "Test Pattern", "NDI Receiver", "FD300 Video Capture", "FD300 Audio"} +
                         QStringList{"X11 Screen Capture", "", "AJA Kona 4", "AJA Io", "Camera", "Camera"};
    source->linesOf["AJA Kona 4"] = QStringList{"SDI 1", "SDI 2"};
    source->devices[1] = QStringList{"<None>", "<From Video>"};
    source->devices[2] = QStringList{"<None>", "<No External Audio>", "USB Mic", "Line In"};
    return source;
}

struct Rig {
    std::shared_ptr<ScriptedSource> source = deviceList();
    int created = 0;
    bool canCreate = true;
    LogsDlg logWindow;
    std::unique_ptr<CaptureStreamer> streamer;

    Rig() {
        CaptureMedia media;
        media.createSource = [this]() -> std::shared_ptr<MFormats> {
            if (!canCreate)
                return nullptr;
            ++created;
            return source;
        };
        media.createWriter = [] { return std::make_shared<RecordingWriter>(); };
        streamer = std::make_unique<CaptureStreamer>(media);
        streamer->setLogWindow(&logWindow);
    }
    ~Rig() {
        streamer->stopCapture();
        streamer->wait(5000);
    }
    QStringList logLines() { return testkit::logText(logWindow).split('\n'); }
};

} // namespace

class TestCaptureDevices : public QObject {
    Q_OBJECT

private slots:
    void videoListingHidesPlaceholdersAndSplitsLines() {
        auto source = deviceList();
        QStringList list{"stale entry"};
        CaptureStreamer::ndiReceiverIndex = -1;
        CaptureStreamer::enumerateDevices("VIDEO", list, [source] { return source; });
        QCOMPARE(list, QStringList({"Test Pattern", "FD300 Audio", "AJA Kona 4###SDI 1", "AJA Kona 4###SDI 2", "AJA Io",
                                    "Camera", "Camera"}));
        QCOMPARE(CaptureStreamer::ndiReceiverIndex.load(), 2);
        // Only the devices with lines were opened, to read their lines; "<None>" is already at index 0.
        QCOMPARE(source->openedDevices(), Opened({{0, 7}, {0, 8}}));
        QCOMPARE(source->propValue("device.start_at_deviceset"), QStringLiteral("false"));
        QCOMPARE(source->propValue("ndi_auto_connect"), QStringLiteral("false"));
    }

    void audioListingEndsOnNone() {
        auto source = deviceList();
        source->devices[2] = QStringList{"USB Mic", "<No External Audio>", "<None>", "Line In"};
        QStringList list;
        CaptureStreamer::enumerateDevices("AUDIO", list, [source] { return source; });
        QCOMPARE(list, QStringList({"USB Mic", "Line In"}));
        QCOMPARE(source->openedDevices(), Opened({{2, 2}}));
    }

    void aListingWithoutNoneSelectsMinusOne() {
        auto source = deviceList();
        source->devices[2] = QStringList{"USB Mic"};
        QStringList list;
        QTest::ignoreMessage(QtDebugMsg, "<None> index: -1");
        CaptureStreamer::enumerateDevices("audio", list, [source] { return source; });
        QCOMPARE(list, QStringList({"USB Mic"}));
        QCOMPARE(source->openedDevices(), Opened({{2, -1}}));

        source->devices[2].clear();
        QTest::ignoreMessage(QtDebugMsg, "<None> index: -1");
        CaptureStreamer::enumerateDevices("AUDIO", list, [source] { return source; });
        QVERIFY(list.isEmpty());
    }

    void aListerThatCannotBeCreatedLeavesTheListAlone() {
        QStringList list{"Camera"};
        CaptureStreamer::enumerateDevices("VIDEO", list, [] { return std::shared_ptr<MFormats>(); });
        QCOMPARE(list, QStringList({"Camera"}));
    }

    void aDeviceWithALineOpensBoth() {
        Rig rig;
        QVERIFY(rig.streamer->setDevices("AJA Kona 4###SDI 2", "NO_AUDIO"));
        QCOMPARE(rig.source->openedDevices(), Opened({{0, 7}}));
        QCOMPARE(rig.source->propValue("line-in"), QStringLiteral("SDI 2"));
        const QStringList lines = rig.logLines();
        QVERIFY(lines.contains("setVideoDevice: AJA Kona 4"));
        QVERIFY(lines.contains("select line:SDI 2"));
    }

    void aPlainNameOpensTheFirstOfItsName() {
        Rig rig;
        QVERIFY(rig.streamer->setDevices("Camera", "NO_AUDIO"));
        QCOMPARE(rig.source->openedDevices(), Opened({{0, 9}}));
        QCOMPARE(rig.source->propValue("line-in"), QStringLiteral("<unset>"));
        QVERIFY(rig.logLines().contains("setVideoDevice: Camera"));
        QVERIFY(!rig.logLines().join('\n').contains("select line:"));
    }

    void audioChoicesOpenInternalAndExternalAudio_data() {
        QTest::addColumn<QString>("audio");
        QTest::addColumn<Opened>("opened");
        QTest::newRow("from the video") << "ORIGINAL" << Opened({{0, 1}, {1, 1}, {2, 1}});
        QTest::newRow("a sound card") << "Line In" << Opened({{0, 1}, {1, 0}, {2, 3}});
        QTest::newRow("none") << "NO_AUDIO" << Opened({{0, 1}});
        QTest::newRow("an absent sound card opens no external audio") << "Gone" << Opened({{0, 1}, {1, 0}});
    }

    void audioChoicesOpenInternalAndExternalAudio() {
        QFETCH(QString, audio);
        QFETCH(Opened, opened);
        Rig rig;
        QVERIFY(rig.streamer->setDevices("Test Pattern", audio));
        QCOMPARE(rig.source->openedDevices(), opened);
    }

    void noAudioClearsTheAudioFormat() {
        Rig rig;
        rig.streamer->setOutputParams(QSize(1280, 720), 4000, 128);
        QVERIFY(rig.streamer->setDevices("Test Pattern", "NO_AUDIO"));
        const MFFormat format = rig.streamer->outputFormat();
        QCOMPARE(format.width, 1280);
        QCOMPARE(format.channels, 0);
        QCOMPARE(format.sampleRate, 0);
    }

    void anNdiEntryOpensTheReceiverOnThatSource() {
        Rig rig;
        CaptureStreamer::ndiReceiverIndex = 2;
        QVERIFY(rig.streamer->setDevices("NDI:STUDIO (NDI:Cam 1)", "NO_AUDIO"));
        QCOMPARE(rig.source->openedDevices(), Opened({{0, 2}}));
        QCOMPARE(rig.source->propValue("line-in"), QStringLiteral("STUDIO (Cam 1)"));
    }

    void anNdiEntryFindsTheReceiverWhereverThisListHasIt_data() {
        QTest::addColumn<int>("index");
        QTest::addColumn<bool>("listed");
        QTest::newRow("before any listing") << -1 << true;
        // A camera plugged in since the main window listed: the index now names another device.
        QTest::newRow("moved by a device plugged in") << 1 << true;
        QTest::newRow("no receiver in this list") << 2 << false;
    }
    void anNdiEntryFindsTheReceiverWhereverThisListHasIt() {
        QFETCH(int, index);
        QFETCH(bool, listed);
        Rig rig;
        if (!listed)
            rig.source->devices[0].replace(2, "Camera");
        CaptureStreamer::ndiReceiverIndex = index;
        if (!listed)
            QTest::ignoreMessage(QtDebugMsg, "FAILED SETUP NDI");
        QVERIFY(rig.streamer->setDevices("NDI:Desk", "NO_AUDIO"));
        // Never the device that now stands at the old index.
        QCOMPARE(rig.source->openedDevices(), Opened({{0, listed ? 2 : -1}}));
        // The line is set either way: a receiver opened later still knows its source.
        QCOMPARE(rig.source->propValue("line-in"), QStringLiteral("Desk"));
    }

    void theSourceIsCreatedOncePerRun() {
        Rig rig;
        rig.canCreate = false;
        QTest::ignoreMessage(QtCriticalMsg,
                             "bool __cdecl CaptureStreamer::setDevices(class QString,class QString) ERROR: Can't "
                             "create MFormats instance");
        QVERIFY(!rig.streamer->setDevices("Camera", "NO_AUDIO"));
        QVERIFY(rig.streamer->needsNewSource());

        rig.canCreate = true;
        QVERIFY(rig.streamer->setDevices("Camera", "NO_AUDIO"));
        QVERIFY(rig.streamer->setDevices("Test Pattern", "Line In"));
        QCOMPARE(rig.created, 1);

        rig.streamer->setOutputParams(QSize(), 1000, 0);
        QVERIFY(rig.streamer->startCapture(5000, 25, 3, 1, "q264sw", QString(), QString(), 48000));
        // A source change during the run goes to the source the run reads.
        QVERIFY(rig.streamer->setDevices("Camera", "ORIGINAL"));
        QCOMPARE(rig.created, 1);
        QCOMPARE(rig.source->openedDevices().mid(4, 1), Opened({{0, 9}}));
        rig.streamer->stopCapture();
        QVERIFY(rig.streamer->wait(5000));
        QVERIFY(rig.streamer->setDevices("Camera", "NO_AUDIO"));
        QCOMPARE(rig.created, 2);
    }

    void setAreaPicksTheScreen() {
        Rig rig;
        QVERIFY(rig.streamer->setDevices("X11 Screen Capture", "NO_AUDIO"));
        QTest::ignoreMessage(QtDebugMsg, "SET AREA: \"0,0,-1,-1\" \"0x0\" 1");
        rig.streamer->setArea(1, QRect());
        QCOMPARE(rig.source->propValue("capture.screen_index"), QStringLiteral("1"));
        QCOMPARE(rig.source->propValue("capture.highlight_mouse"), QStringLiteral("hide"));
        QTest::ignoreMessage(QtDebugMsg, "SET AREA: \"10,20,109,69\" \"100x50\" 0");
        rig.streamer->setArea(0, QRect(10, 20, 100, 50));
        QCOMPARE(rig.source->propValue("capture.screen_index"), QStringLiteral("0"));
    }

    void setMFDeviceReportsEachFailure() {
        auto source = deviceList();
        QVERIFY(!setMFDevice(source, 0, "camera", QString()));
        QVERIFY(!setMFDevice(source, 5, "Camera", QString()));
        QVERIFY(!setMFDevice(nullptr, 0, "Camera", QString()));
        QVERIFY(source->openedDevices().isEmpty());

        source->refusedProps << "line-in";
        QVERIFY(!setMFDevice(source, 0, "Camera", "HDMI"));
        QCOMPARE(source->openedDevices(), Opened({{0, 9}}));
        source->refusedProps.clear();
        QVERIFY(setMFDevice(source, 2, "USB Mic", QString()));
        // The reference handed in is the caller's to give up.
        std::weak_ptr<ScriptedSource> watch = source;
        setMFDevice(std::move(source), 0, "Camera", "HDMI");
        QVERIFY(watch.expired());
    }

    void ndiSourcesAreListedFromTheReceiversLines() {
        auto source = std::make_shared<ScriptedSource>();
        source->devices[0] = QStringList{"Test Pattern", "NDI Receiver (2)", "NDI Receiver"};
        source->linesOf["NDI Receiver (2)"] = QStringList{"STUDIO (Cam 1)", "LAPTOP (Screen)"};
        NDISource ndi([source] { return source; });
        QCOMPARE(source->openedDevices(), Opened({{0, 1}}));
        QCOMPARE(source->propValue("ndi_auto_connect"), QStringLiteral("false"));

        QStringList list{"Camera"};
        listNDISources(ndi, list);
        QCOMPARE(list, QStringList({"Camera", "NDI:STUDIO (Cam 1)", "NDI:LAPTOP (Screen)"}));
    }

    void withoutAnNdiRuntimeNothingIsListed() {
        auto source = std::make_shared<ScriptedSource>();
        source->devices[0] = QStringList{"Test Pattern"};
        NDISource ndi([source] { return source; });
        QVERIFY(source->openedDevices().isEmpty());
        QStringList list;
        listNDISources(ndi, list);
        QVERIFY(list.isEmpty());

        NDISource none([] { return std::shared_ptr<MFormats>(); });
        listNDISources(none, list);
        QVERIFY(list.isEmpty());
    }
};

QTEST_MAIN(TestCaptureDevices)
#include "tst_capturedevices.moc"
