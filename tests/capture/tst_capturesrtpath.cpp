// The whole sending path with real parts only: the Test Pattern captured by CaptureStreamer, encoded by the
// writer into the SRT relay's loopback listener, relayed by RESender to an srt-live-transmit listener that
// writes what it receives to a file, checked with ffprobe. Both threads are started and stopped in the order
// the main window uses, and the process must then end without a crash (libsrt loaded once).
#include "srtcapturerun.h"

#include <QtTest>

class TestCaptureSrtPath : public QObject {
    Q_OBJECT

    // One stream from Start to Stop into a fresh server, then the server's file checked.
    void streamOnce(LogsDlg &logs, RESender &relay, CaptureStreamer &capture, const QSize &size,
                    const QString &output) {
        constexpr uint64_t kFrames = 75; // about three seconds
        PeerProcess server;
        QString why;
        const int logStart = testkit::logText(logs).size();
        QVERIFY2(srtcapture::startRelay(server, relay, logs, QStringLiteral("fullpath"), output, &why),
                 qPrintable(why));
        QVERIFY(srtcapture::startCapture(capture, relay, QStringLiteral("Test Pattern"), size, 1500, 25));
        const auto runLog = [&] { return testkit::logText(logs).mid(logStart); };
        QVERIFY2(testkit::waitUntil([&] { return runLog().contains("RESender SUCCESS"); }, srtcapture::kWaitMs),
                 qPrintable(runLog()));
        QVERIFY2(srtcapture::streamAndStop(capture, relay, kFrames, &why), qPrintable(why));
        QCOMPARE(capture.captureErrors.load(), int64_t(0));
        QCOMPARE(capture.writeErrors.load(), int64_t(0));
        QVERIFY2(!runLog().contains("SRT PACKET SEND ERROR"), qPrintable(runLog()));
        // The server writes its file in blocks; ending it writes out the last one.
        QVERIFY2(server.isRunning(), qPrintable(server.output()));
        server.stop();

        const QJsonObject probe = testkit::ffprobe(output, {QStringLiteral("-count_frames")});
        QCOMPARE(probe.value("format").toObject().value("format_name").toString(), QStringLiteral("mpegts"));
        QCOMPARE(testkit::streamSummary(probe),
                 QStringLiteral("h264 %1x%2 25/1, aac 48000 Hz 2 ch").arg(size.width()).arg(size.height()));
        // Frames inside the encoder or the relay at the stop never reach the server; the rest must be readable.
        const int readFrames = testkit::probeStream(probe, "video").value("nb_read_frames").toString().toInt();
        QVERIFY2(readFrames >= int(kFrames / 2), qPrintable(QStringLiteral("%1 video frames").arg(readFrames)));
        QVERIFY(testkit::probeStream(probe, "audio").value("nb_read_frames").toString().toInt() > 0);
    }

private slots:
    void init() {
        if (!srtcapture::missing().isEmpty())
            QSKIP(qPrintable(srtcapture::missing()));
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
        LogsDlg logs;
        RESender relay(&logs);
        CaptureStreamer capture;
        capture.setLogWindow(&logs);
        streamOnce(logs, relay, capture, QSize(640, 360), dir.filePath("first.ts"));
        if (!QTest::currentTestFailed())
            streamOnce(logs, relay, capture, QSize(480, 270), dir.filePath("second.ts"));
    }
};

QTEST_MAIN(TestCaptureSrtPath)
#include "tst_capturesrtpath.moc"
