// The whole sending path with real parts only: the Test Pattern captured by CaptureStreamer, encoded by the
// writer into the SRT relay's loopback listener, relayed by RESender to an srt-live-transmit listener that
// writes what it receives to a file, checked with ffprobe. Both threads are started and stopped in the order
// the main window uses, and the process must then end without a crash (libsrt loaded once).
#include "capturestreamer.h"
#include "logsdlg.h"
#include "mfwriter.h"
#include "peerprocess.h"
#include "resender.h"
#include "testkit.h"
#include "writeroffers.h"

#include <QFileInfo>
#include <QPlainTextEdit>
#include <QTemporaryDir>
#include <QtTest>

#include <memory>

namespace {

constexpr int kWaitMs = 15000;
constexpr int kSrtLatencyMs = 120;

QString logText(const LogsDlg &logs) {
    return logs.findChild<QPlainTextEdit *>(QStringLiteral("plainTextEdit"))->toPlainText();
}

constexpr uint64_t kFrames = 75; // about three seconds

} // namespace

class TestCaptureSrtPath : public QObject {
    Q_OBJECT

private slots:
    void init() {
        if (!testkit::haveProgram("srt-live-transmit") || !testkit::haveProgram("ffprobe"))
            QSKIP("srt-live-transmit (srt-tools) and ffprobe are needed");
        if (!writerOffers(QStringLiteral("q264sw")))
            QSKIP("the writer offers no x264 encoder on this machine");
    }

    void testPatternReachesSrtServerAsH264AndAac_data() {
        QTest::addColumn<QSize>("size");
        QTest::newRow("640x360") << QSize(640, 360);
        // A width that is not a multiple of 16: the encoder pads, the stream must still say 854.
        QTest::newRow("854x480") << QSize(854, 480);
    }

    void testPatternReachesSrtServerAsH264AndAac() {
        QFETCH(QSize, size);
        QTemporaryDir dir;
        QVERIFY(dir.isValid());
        LogsDlg logs;
        RESender relay(&logs);
        CaptureStreamer capture;
        capture.setLogWindow(&logs);
        streamOnce(logs, relay, capture, size, dir.filePath("received.ts"));
    }

    // The main window keeps one relay and one capture thread for the whole program: a second Start after a
    // Stop must reach the new server through the relay's new port, not the port of the first run.
    void secondStartOnTheSameObjects() {
        QTemporaryDir dir;
        QVERIFY(dir.isValid());
        LogsDlg logs;
        RESender relay(&logs);
        CaptureStreamer capture;
        capture.setLogWindow(&logs);
        streamOnce(logs, relay, capture, QSize(640, 360), dir.filePath("first.ts"));
        if (QTest::currentTestFailed())
            return;
        streamOnce(logs, relay, capture, QSize(480, 270), dir.filePath("second.ts"));
    }

private:
    // One stream from Start to Stop into a fresh server, then the server's file checked.
    void streamOnce(LogsDlg &logs, RESender &relay, CaptureStreamer &capture, const QSize &size,
                    const QString &output) {
        const quint16 serverPort = testkit::freePort(true);
        PeerProcess server;
        QVERIFY2(startSrtFileServer(server, serverPort, output),
                 qPrintable(QStringLiteral("srt-live-transmit did not start listening: ") + server.output()));

        // As the main window starts a stream: the relay first, the capture once the relay's port is out.
        const int logStart = logText(logs).size();
        const auto runLog = [&] { return logText(logs).mid(logStart); };
        relay.startRetransmit(QStringLiteral("127.0.0.1"), QString(), serverPort, QStringLiteral("fullpath"),
                              kSrtLatencyMs, QString(), 16, false);
        QVERIFY(testkit::waitUntil([&] { return relay.listenPort.load() != 0; }, kWaitMs));
        const int relayPort = relay.listenPort.load();
        QVERIFY2(relayPort > 0, qPrintable(runLog()));
        QVERIFY2(testkit::waitUntil([&] { return runLog().contains("CONNECT: SUCCESS"); }, kWaitMs),
                 qPrintable(runLog()));

        QVERIFY(capture.setDevices(QStringLiteral("Test Pattern"), QStringLiteral("ORIGINAL")));
        capture.setOutputParams(size, 1500, 128);
        QVERIFY(capture.startCapture(relayPort, 25, 3, 1, QStringLiteral("q264sw"), QString(), QString(), 48000));
        QVERIFY2(testkit::waitUntil([&] { return runLog().contains("RESender SUCCESS"); }, kWaitMs),
                 qPrintable(runLog()));
        QVERIFY2(testkit::waitUntil([&] { return capture.framesWritten.load() >= kFrames; }, kWaitMs),
                 qPrintable(QStringLiteral("frames %1, capture errors %2, write errors %3")
                                .arg(capture.framesWritten.load())
                                .arg(capture.captureErrors.load())
                                .arg(capture.writeErrors.load())));

        // As the main window stops: the capture first, then the relay, both cooperatively.
        capture.stopCapture();
        QVERIFY(capture.wait(kWaitMs));
        // Let the relay pass on the last frames the writer flushed before it is stopped.
        QTest::qWait(500);
        relay.stopRetransmit();
        QVERIFY(relay.wait(kWaitMs));
        QCOMPARE(capture.captureErrors.load(), int64_t(0));
        QCOMPARE(capture.writeErrors.load(), int64_t(0));
        QVERIFY2(!runLog().contains("SRT PACKET SEND ERROR"), qPrintable(runLog()));

        // The server writes its file in blocks; ending it writes out the last one.
        QVERIFY2(server.isRunning(), qPrintable(server.output()));
        server.stop();
        QVERIFY(!server.isRunning());

        const qint64 bytes = QFileInfo(output).size();
        const QJsonObject probe = testkit::ffprobe(output, {QStringLiteral("-count_frames")});
        QVERIFY2(!probe.isEmpty(), qPrintable(QStringLiteral("ffprobe cannot read %1 bytes").arg(bytes)));
        QCOMPARE(probe.value("format").toObject().value("format_name").toString(), QStringLiteral("mpegts"));
        const QJsonObject video = testkit::probeStream(probe, QStringLiteral("video"));
        const QJsonObject audio = testkit::probeStream(probe, QStringLiteral("audio"));
        QVERIFY2(!video.isEmpty(), qPrintable(QStringLiteral("no video in %1 bytes").arg(bytes)));
        QCOMPARE(video.value("codec_name").toString(), QStringLiteral("h264"));
        QCOMPARE(video.value("width").toInt(), size.width());
        QCOMPARE(video.value("height").toInt(), size.height());
        QCOMPARE(video.value("r_frame_rate").toString(), QStringLiteral("25/1"));
        // Frames inside the encoder or the relay at the stop never reach the server; the rest must be readable.
        const int readFrames = video.value("nb_read_frames").toString().toInt();
        QVERIFY2(readFrames >= int(kFrames / 2), qPrintable(QStringLiteral("%1 video frames").arg(readFrames)));
        QVERIFY2(!audio.isEmpty(), qPrintable(QStringLiteral("no audio in %1 bytes").arg(bytes)));
        QCOMPARE(audio.value("codec_name").toString(), QStringLiteral("aac"));
        QCOMPARE(audio.value("sample_rate").toString(), QStringLiteral("48000"));
        QCOMPARE(audio.value("channels").toInt(), 2);
        QVERIFY(audio.value("nb_read_frames").toString().toInt() > 0);
    }
};

QTEST_MAIN(TestCaptureSrtPath)
#include "tst_capturesrtpath.moc"
