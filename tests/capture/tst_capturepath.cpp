// The capture and encoding path with real parts: the Test Pattern captured by CaptureStreamer, encoded by the
// writer into a loopback listener as the relay would hold it, checked with ffprobe.
#include "capturestreamer.h"
#include "logsdlg.h"
#include "mfwriter.h"
#include "testkit.h"
#include "writeroffers.h"

#include <QHostAddress>
#include <QPlainTextEdit>
#include <QTcpServer>
#include <QTcpSocket>
#include <QtTest>

namespace {

constexpr int kWaitMs = 15000;

// Stands in for the relay's loopback listener: takes the encoder's one connection and keeps every byte.
class LoopbackRecorder : public QObject {
public:
    bool listen() {
        connect(&server, &QTcpServer::newConnection, this, [this] {
            while (QTcpSocket *socket = server.nextPendingConnection()) {
                ++connections;
                connect(socket, &QTcpSocket::readyRead, this, [this, socket] { received += socket->readAll(); });
                connect(socket, &QTcpSocket::disconnected, this, [this, socket] {
                    received += socket->readAll();
                    ended = true;
                });
            }
        });
        return server.listen(QHostAddress(QHostAddress::LocalHost), 0);
    }
    int port() const { return server.serverPort(); }
    QTcpServer server;
    QByteArray received;
    int connections = 0;
    bool ended = false;
};

} // namespace

class TestCapturePath : public QObject {
    Q_OBJECT

private slots:
    void testPatternArrivesAsH264AndAac_data() {
        QTest::addColumn<QString>("codec");
        QTest::newRow("x264") << "q264sw";
        QTest::newRow("OpenH264") << "libopenh264";
    }

    void testPatternArrivesAsH264AndAac() {
        QFETCH(QString, codec);
        if (!testkit::haveProgram("ffprobe"))
            QSKIP("ffprobe is needed");
        if (!writerOffers(codec))
            QSKIP(qPrintable(QStringLiteral("the writer offers no %1 encoder on this machine").arg(codec)));

        LoopbackRecorder relay;
        QVERIFY(relay.listen());
        LogsDlg logs;
        auto streamer = std::make_unique<CaptureStreamer>();
        streamer->setLogWindow(&logs);
        QVERIFY(streamer->setDevices(QStringLiteral("Test Pattern"), QStringLiteral("ORIGINAL")));
        streamer->setOutputParams(QSize(640, 360), 1500, 128);
        QVERIFY(streamer->startCapture(relay.port(), 25, 3, 1, codec, QString(), QString(), 48000));

        constexpr uint64_t kFrames = 75;
        QVERIFY2(testkit::waitUntil([&] { return streamer->framesWritten.load() >= kFrames; }, kWaitMs),
                 qPrintable(QStringLiteral("frames %1, capture errors %2, write errors %3")
                                .arg(streamer->framesWritten.load())
                                .arg(streamer->captureErrors.load())
                                .arg(streamer->writeErrors.load())));
        streamer->stopCapture();
        QVERIFY(streamer->wait(kWaitMs));
        QCOMPARE(streamer->captureErrors.load(), int64_t(0));
        QCOMPARE(streamer->writeErrors.load(), int64_t(0));
        const MFFormat format = streamer->sourceFormat.load();
        QCOMPARE(QSize(format.width, format.height), QSize(640, 360));
        QCOMPARE(format.frameRate, 25.0);
        QCOMPARE(format.sampleRate, 48000);

        // The end of the run closes the writer: its connection ends after the tail, with the streamer (and
        // its writer) still alive, so a relay that stops after the run gets the whole stream.
        constexpr int kCloseWaitMs = 3000;
        QVERIFY2(testkit::waitUntil([&] { return relay.ended; }, kCloseWaitMs),
                 "the writer's connection stayed open after the run ended");
        QCOMPARE(relay.connections, 1);
        QTemporaryDir dir;
        const QString output = dir.filePath("received.ts");
        QFile file(output);
        QVERIFY(file.open(QIODevice::WriteOnly) && file.write(relay.received) == relay.received.size());
        file.close();

        const QJsonObject probe = testkit::ffprobe(output, {QStringLiteral("-count_frames")});
        QCOMPARE(testkit::streamSummary(probe), QStringLiteral("h264 640x360 25/1, aac 48000 Hz 2 ch"));
        // Closing the writer flushed the encoder: every frame the run wrote is on the wire and readable.
        QCOMPARE(testkit::probeStream(probe, "video").value("nb_read_frames").toString().toInt(),
                 int(streamer->framesWritten.load()));
        QCOMPARE(probe.value("format").toObject().value("format_name").toString(), QStringLiteral("mpegts"));
    }
};

QTEST_MAIN(TestCapturePath)
#include "tst_capturepath.moc"
