// A capture card end to end: the fake card driver read by the card source into its sink, captured by the
// live source as "mp://" + the sink name, encoded by the writer, relayed over SRT to srt-live-transmit;
// the frame counter the card draws into its pictures must advance in what the server received.
#include "capturestreamer.h"
#include "logsdlg.h"
#include "peerprocess.h"
#include "resender.h"
#include "sldcardsource2.h"
#include "sldtestcard.h"
#include "testkit.h"
#include "writeroffers.h"

#include <QPlainTextEdit>
#include <QTemporaryDir>
#include <QtTest>

namespace {

constexpr int kWaitMs = 15000;
constexpr uint64_t kFrames = 50;
constexpr int kCounterBits = 16;

QString logText(const LogsDlg &logs) {
    return logs.findChild<QPlainTextEdit *>(QStringLiteral("plainTextEdit"))->toPlainText();
}

// The counter of every decoded frame: the top quarter of the picture squeezed into one row of 16 cells.
QList<int> frameCounters(const QString &file) {
    QByteArray raw;
    const int code =
        testkit::runProgram(QStringLiteral("ffmpeg"),
                            {"-v", "error", "-i", file, "-an", "-vf", "crop=iw:ih/4:0:0,scale=16:1:flags=area", "-f",
                             "rawvideo", "-pix_fmt", "gray", "-"},
                            kWaitMs, &raw);
    QList<int> counters;
    if (code != 0)
        return counters;
    for (int offset = 0; offset + kCounterBits <= raw.size(); offset += kCounterBits) {
        int value = 0;
        for (int bit = 0; bit < kCounterBits; ++bit)
            value = value * 2 + (uchar(raw.at(offset + bit)) > 128 ? 1 : 0);
        counters.append(value);
    }
    return counters;
}

} // namespace

class TestSldCardPath : public QObject {
    Q_OBJECT

private slots:
    void cardPictureReachesSrtServer() {
        if (!testkit::haveProgram("srt-live-transmit") || !testkit::haveProgram("ffprobe") ||
            !testkit::haveProgram("ffmpeg"))
            QSKIP("srt-live-transmit (srt-tools), ffmpeg and ffprobe are needed");
        if (!writerOffers(QStringLiteral("q264sw")))
            QSKIP("the writer offers no x264 encoder on this machine");
        QVERIFY(useFakeCardDriver());
        SLDCardSource2::initManager();
        const QString entry = QStringLiteral("SoftLab Fake Input 1");
        QVERIFY(SLDCardSource2::scan().contains(entry));

        QTemporaryDir dir;
        QVERIFY(dir.isValid());
        const QString output = dir.filePath("card.ts");
        const quint16 serverPort = testkit::freePort(true);
        PeerProcess server;
        QVERIFY2(startSrtFileServer(server, serverPort, output), qPrintable(server.output()));

        LogsDlg logs;
        RESender relay(&logs);
        {
            CaptureStreamer capture;
            capture.setLogWindow(&logs);
            relay.startRetransmit(QStringLiteral("127.0.0.1"), QString(), serverPort, QStringLiteral("card"), 120,
                                  QString(), 16, false);
            QVERIFY(testkit::waitUntil([&] { return relay.listenPort.load() > 0; }, kWaitMs));
            QVERIFY2(testkit::waitUntil([&] { return logText(logs).contains("CONNECT: SUCCESS"); }, kWaitMs),
                     qPrintable(logText(logs)));

            QVERIFY(capture.setDevices(entry, QStringLiteral("ORIGINAL")));
            // The new thread names itself once it runs.
            QVERIFY(testkit::waitUntil([] { return cardThreads() == 1; }, 2000));
            capture.setOutputParams(QSize(), 800, 128);
            QVERIFY(capture.startCapture(relay.listenPort.load(), 25, 3, 1, QStringLiteral("q264sw"), QString(),
                                         QString(), 48000));
            QVERIFY2(testkit::waitUntil([&] { return capture.framesWritten.load() >= kFrames; }, kWaitMs),
                     qPrintable(QStringLiteral("frames %1, capture errors %2")
                                    .arg(capture.framesWritten.load())
                                    .arg(capture.captureErrors.load())));
            capture.stopCapture();
            QVERIFY(capture.wait(kWaitMs));
            // The run's end stopped the card and waited for its thread.
            QVERIFY(noCardThreadLeft());
            QTest::qWait(500);
            relay.stopRetransmit();
            QVERIFY(relay.wait(kWaitMs));
        }
        server.stop();

        const QJsonObject probe = testkit::ffprobe(output);
        const QJsonObject video = testkit::probeStream(probe, QStringLiteral("video"));
        QCOMPARE(video.value("codec_name").toString(), QStringLiteral("h264"));
        QCOMPARE(video.value("width").toInt(), 320);
        QCOMPARE(video.value("height").toInt(), 180);
        QCOMPARE(testkit::probeStream(probe, QStringLiteral("audio")).value("channels").toInt(), 2);

        QList<int> counters = frameCounters(output);
        // The run stops the card before its last fetch can end, so the stream may close on a blank picture.
        while (counters.size() > 1 && counters.last() == 0)
            counters.removeLast();
        QVERIFY2(counters.size() >= int(kFrames / 2), qPrintable(QString::number(counters.size())));
        for (int i = 1; i < counters.size(); ++i)
            QVERIFY2(
                counters.at(i) >= counters.at(i - 1),
                qPrintable(QStringLiteral("frame %1: %2 after %3").arg(i).arg(counters.at(i)).arg(counters.at(i - 1))));
        QVERIFY2(counters.last() - counters.first() >= int(kFrames / 2),
                 qPrintable(QStringLiteral("%1 .. %2").arg(counters.first()).arg(counters.last())));
    }
};

QTEST_MAIN(TestSldCardPath)
#include "tst_sldcardpath.moc"
