// NDI in through the tests' NDI runtime, found through the runtime folder's variable: where the runtime is
// looked for, the NDI sources in the video list as the main window builds it, and a source's pictures and
// sound captured, encoded and relayed over SRT to srt-live-transmit at the source's own size and rate.
#include "mfndiruntime.h"
#include "ndisource.h"
#include "srtcapturerun.h"
#include "testkit.h"

#include <QtTest>

class TstNdi : public QObject {
    Q_OBJECT

private slots:
    void lookedForAsDocumented_data() {
        QTest::addColumn<QString>("v6");
        QTest::addColumn<QString>("v5");
        QTest::addColumn<QStringList>("paths");
        const QStringList byName{"libndi.so.6", "libndi.so.5"};
        testkit::row("no variable", QString(), QString(), byName);
        testkit::row("version 6 folder", "/opt/ndi6", QString(), QStringList{"/opt/ndi6/libndi.so.6"} + byName);
        testkit::row("both, folder with slash", "/opt/ndi6/", "/opt/ndi5",
                     QStringList{"/opt/ndi6/libndi.so.6", "/opt/ndi5/libndi.so.5"} + byName);
    }

    void lookedForAsDocumented() {
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

    void sourcesInTheVideoList() {
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

    void sourceReachesSrtServer() {
        if (!srtcapture::missing().isEmpty())
            QSKIP(qPrintable(srtcapture::missing()));
        QTemporaryDir dir;
        const QString output = dir.filePath("ndi.ts");
        PeerProcess server;
        LogsDlg logs;
        RESender relay(&logs);
        QString why;
        QVERIFY2(srtcapture::startRelay(server, relay, logs, QStringLiteral("ndi"), output, &why), qPrintable(why));
        {
            CaptureStreamer capture;
            capture.setLogWindow(&logs);
            QStringList video;
            CaptureStreamer::enumerateDevices(QStringLiteral("VIDEO"), video);
            // At the source's own size and rate: the stream shows the rate the frames came in at.
            QVERIFY(srtcapture::startCapture(capture, relay, QStringLiteral("NDI:FAKE (Camera 2)"), QSize(), 800, 0));
            QVERIFY2(srtcapture::streamAndStop(capture, relay, 100, &why), qPrintable(why));
        }
        server.stop();
        QCOMPARE(testkit::streamSummary(testkit::ffprobe(output)),
                 QStringLiteral("h264 640x360 50/1, aac 48000 Hz 2 ch"));
    }
};

int main(int argc, char **argv) {
    // Before anything looks for the runtime: it is looked for once per process.
    qputenv("NDI_RUNTIME_DIR_V6", FAKE_NDI_DIR);
    QApplication app(argc, argv);
    TstNdi test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_ndi.moc"
