// NDI in through the tests' NDI runtime, found through the runtime folder's variable: where the runtime is
// looked for, the NDI sources in the video list as the main window builds it, and a source's pictures and
// sound captured, encoded and relayed over SRT to srt-live-transmit at the source's own size and rate.
#include "capturestreamer.h"
#include "logsdlg.h"
#include "mfndiruntime.h"
#include "ndisource.h"
#include "peerprocess.h"
#include "resender.h"
#include "testkit.h"
#include "writeroffers.h"

#include <QPlainTextEdit>
#include <QTemporaryDir>
#include <QtTest>

namespace {

constexpr int kWaitMs = 15000;
constexpr uint64_t kFrames = 100;

} // namespace

class TstNdi : public QObject {
    Q_OBJECT

private slots:
    void lookedForAsDocumented_data();
    void lookedForAsDocumented();
    void sourcesInTheVideoList();
    void sourceReachesSrtServer();
};

void TstNdi::lookedForAsDocumented_data() {
    QTest::addColumn<QString>("v6");
    QTest::addColumn<QString>("v5");
    QTest::addColumn<QStringList>("paths");
    const QStringList byName{"libndi.so.6", "libndi.so.5"};
    QTest::newRow("no variable") << QString() << QString() << byName;
    QTest::newRow("version 6 folder") << "/opt/ndi6" << QString() << QStringList{"/opt/ndi6/libndi.so.6"} + byName;
    QTest::newRow("both, folder with slash")
        << "/opt/ndi6/"
        << "/opt/ndi5" << QStringList{"/opt/ndi6/libndi.so.6", "/opt/ndi5/libndi.so.5"} + byName;
}

void TstNdi::lookedForAsDocumented() {
    QFETCH(QString, v6);
    QFETCH(QString, v5);
    QFETCH(QStringList, paths);
    const QList<MFNdiRuntime::Candidate> candidates = MFNdiRuntime::candidates([&](const char *name) {
        return (QByteArray(name) == "NDI_RUNTIME_DIR_V6"   ? v6
                : QByteArray(name) == "NDI_RUNTIME_DIR_V5" ? v5
                                                           : QString())
            .toLocal8Bit();
    });
    QStringList looked;
    for (const MFNdiRuntime::Candidate &candidate : candidates)
        if (!candidate.path.isEmpty())
            looked << candidate.path;
    QCOMPARE(looked, paths);
    // A variable that is not set is still named, so that the operator learns what to set.
    QCOMPARE(candidates.size(), 4);
}

void TstNdi::sourcesInTheVideoList() {
    const MFNdiRuntime &runtime = MFNdiRuntime::instance();
    QVERIFY(runtime.available());
    QCOMPARE(runtime.libraryPath(), QStringLiteral(FAKE_NDI_DIR "/libndi.so.6"));
    // The receiver itself is offered per source, not as an entry of its own.
    QStringList video;
    CaptureStreamer::enumerateDevices(QStringLiteral("VIDEO"), video);
    QVERIFY(!video.contains(QStringLiteral("NDI Receiver")));
    QVERIFY(CaptureStreamer::ndiReceiverIndex.load() >= 0);
    NDISource ndi;
    QStringList entries;
    listNDISources(ndi, entries);
    QCOMPARE(entries, QStringList({"NDI:FAKE (Camera 1)", "NDI:FAKE (Camera 2)"}));
}

void TstNdi::sourceReachesSrtServer() {
    if (!testkit::haveProgram("srt-live-transmit") || !testkit::haveProgram("ffprobe"))
        QSKIP("srt-live-transmit (srt-tools) and ffprobe are needed");
    if (!writerOffers(QStringLiteral("q264sw")))
        QSKIP("the writer offers no x264 encoder on this machine");
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString output = dir.filePath("ndi.ts");
    const quint16 serverPort = testkit::freePort(true);
    PeerProcess server;
    QVERIFY2(startSrtFileServer(server, serverPort, output), qPrintable(server.output()));

    LogsDlg logs;
    RESender relay(&logs);
    {
        CaptureStreamer capture;
        capture.setLogWindow(&logs);
        relay.startRetransmit(QStringLiteral("127.0.0.1"), QString(), serverPort, QStringLiteral("ndi"), 120, QString(),
                              16, false);
        QVERIFY(testkit::waitUntil([&] { return relay.listenPort.load() > 0; }, kWaitMs));
        QStringList video;
        CaptureStreamer::enumerateDevices(QStringLiteral("VIDEO"), video);
        QVERIFY(capture.setDevices(QStringLiteral("NDI:FAKE (Camera 2)"), QStringLiteral("ORIGINAL")));
        capture.setOutputParams(QSize(), 800, 128);
        // At the source's own rate: the stream shows the rate the frames came in at.
        QVERIFY(capture.startCapture(relay.listenPort.load(), 0, 3, 1, QStringLiteral("q264sw"), QString(), QString(),
                                     48000));
        QVERIFY2(testkit::waitUntil([&] { return capture.framesWritten.load() >= kFrames; }, kWaitMs),
                 qPrintable(QStringLiteral("frames %1, capture errors %2")
                                .arg(capture.framesWritten.load())
                                .arg(capture.captureErrors.load())));
        capture.stopCapture();
        QVERIFY(capture.wait(kWaitMs));
        QTest::qWait(500);
        relay.stopRetransmit();
        QVERIFY(relay.wait(kWaitMs));
    }
    server.stop();

    const QJsonObject probe = testkit::ffprobe(output);
    const QJsonObject video = testkit::probeStream(probe, QStringLiteral("video"));
    QCOMPARE(video.value("width").toInt(), 640);
    QCOMPARE(video.value("height").toInt(), 360);
    QCOMPARE(video.value("r_frame_rate").toString(), QStringLiteral("50/1"));
    QCOMPARE(testkit::probeStream(probe, QStringLiteral("audio")).value("channels").toInt(), 2);
}

int main(int argc, char **argv) {
    // Before anything looks for the runtime: it is looked for once per process.
    qputenv("NDI_RUNTIME_DIR_V6", FAKE_NDI_DIR);
    QApplication app(argc, argv);
    TstNdi test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_ndi.moc"
