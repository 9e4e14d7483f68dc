// A capture card end to end: the fake card driver read by the card source into its sink, captured by the
// live source as "mp://" + the sink name, encoded by the writer, relayed over SRT to srt-live-transmit;
// the frame counter the card draws into its pictures must advance in what the server received.
#include "sldcardsource2.h"
#include "sldtestcard.h"
#include "srtcapturerun.h"

#include <QtTest>

namespace {

constexpr uint64_t kFrames = 50;
constexpr int kCounterBits = 16;

// The counter of every decoded frame: the top quarter of the picture squeezed into one row of 16 cells.
QList<int> frameCounters(const QString &file) {
    QByteArray raw;
    const int code =
        testkit::runProgram(QStringLiteral("ffmpeg"),
                            {"-v", "error", "-i", file, "-an", "-vf", "crop=iw:ih/4:0:0,scale=16:1:flags=area", "-f",
                             "rawvideo", "-pix_fmt", "gray", "-"},
                            srtcapture::kWaitMs, &raw);
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
        if (!srtcapture::missing().isEmpty())
            QSKIP(qPrintable(srtcapture::missing()));
        QVERIFY(useFakeCardDriver());
        SLDCardSource2::initManager();
        const QString entry = QStringLiteral("SoftLab Fake Input 1");
        QVERIFY(SLDCardSource2::scan().contains(entry));
        QTemporaryDir dir;
        const QString output = dir.filePath("card.ts");
        PeerProcess server;
        LogsDlg logs;
        RESender relay(&logs);
        QString why;
        QVERIFY2(srtcapture::startRelay(server, relay, logs, QStringLiteral("card"), output, &why), qPrintable(why));
        {
            CaptureStreamer capture;
            capture.setLogWindow(&logs);
            QVERIFY(srtcapture::startCapture(capture, relay, entry, QSize(), 800, 25));
            // The card's thread names itself once it runs.
            QVERIFY(testkit::waitUntil([] { return cardThreads() == 1; }, 2000));
            QVERIFY2(srtcapture::streamAndStop(capture, relay, kFrames, &why), qPrintable(why));
            // The run's end stopped the card and waited for its thread.
            QVERIFY(noCardThreadLeft());
        }
        server.stop();
        QCOMPARE(testkit::streamSummary(testkit::ffprobe(output)),
                 QStringLiteral("h264 320x180 25/1, aac 48000 Hz 2 ch"));

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
