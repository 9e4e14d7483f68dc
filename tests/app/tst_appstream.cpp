// The program as an operator runs it headless: auto-started from a configuration file, it streams the Test
// Pattern to a real SRT listener, restarts the stream when the listener comes back, and stops on SIGTERM
// without touching the stored settings.
#include "headlessapp.h"
#include "peerprocess.h"
#include "testkit.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr int kFirstDataMs = 30000;
// The relay notices a vanished listener after SRT's peer idle time-out (5 s), then the restart waits 700 ms.
constexpr int kRestartDataMs = 40000;
constexpr qint64 kEnoughBytes = 200 * 1024;

QString srtUrl(quint16 port) {
    return QStringLiteral("srt://127.0.0.1:%1").arg(port);
}

bool grows(const QString &path, qint64 bytes, int timeoutMs) {
    return testkit::waitUntil([&] { return QFileInfo(path).size() > bytes; }, timeoutMs, 100);
}

// GStreamer's own MPEG-TS demuxer and HEVC parser over a file: what the parser says the stream is (its caps), and
// how many pictures it hands on. Empty caps when the pipeline fails.
struct GstHevc {
    QString caps;
    int pictures = 0;
};

GstHevc gstreamerHevc(const QString &path) {
    QByteArray output;
    GstHevc result;
    const QStringList pipeline = QStringList{"-v", "filesrc", "location=" + path} +
                                 QStringLiteral("! tsdemux ! h265parse ! fakesink silent=false").split(' ');
    if (testkit::runProgram(QStringLiteral("gst-launch-1.0"), pipeline, 60000, &output) != 0)
        return result;
    for (const QByteArray &line : output.split('\n')) {
        if (line.contains("GstFakeSink:fakesink0.GstPad:sink: caps = "))
            result.caps = QString::fromUtf8(line);
        else if (line.contains("last-message = chain"))
            ++result.pictures;
    }
    return result;
}
} // namespace

class TestAppStream : public QObject {
    Q_OBJECT

private slots:
    void init() { dir = std::make_unique<QTemporaryDir>(); }
    void cleanup() {
        app.reset();
        listener.stop();
        dir.reset();
    }
    void autoStartStreamsAndRestarts();
    // "HEVC (Software)" from a configuration file: HEVC in MPEG-TS that FFmpeg and GStreamer both read.
    void hevcStreamReadsInTwoDemuxers();
    // --stats appends one JSON object a second with the link figures and the encoder's bitrate; the log file
    // holds the log window's lines.
    void statsFileRecordsEverySecond();
    // A --stats FIFO that nobody reads, or whose reader stopped reading, holds neither start-up nor the window.
    void statsFifoNeverHoldsTheProgram_data();
    void statsFifoNeverHoldsTheProgram();
    // SIGTERM while start-up still builds the window (before any stream starts) ends the program.
    void signalDuringStartUpEndsProgram();
    // Once its reconnects are used up, a headless program ends with a failure for its service manager to see.
    void usedUpReconnectsEndTheProgram();

private:
    QString path(const char *name) const { return dir->filePath(QLatin1String(name)); }
    // The program from a configuration file of these values.
    bool start(const QVariantMap &values, const QStringList &options = {}) {
        app = std::make_unique<HeadlessApp>(TIDEWELL_EXECUTABLE, *dir, HeadlessApp::config(*dir, values), options);
        return app->started();
    }
    // The program streaming as "cam1" to srt-live-transmit on a free port, which records what it receives.
    bool stream(const QVariantMap &values, const QStringList &options = {}, const char *recording = "received.ts") {
        port = testkit::freePort(true);
        QVariantMap config{{"URL", srtUrl(port)}, {"STREAMID", "cam1"}};
        config.insert(values);
        return startSrtFileServer(listener, port, path(recording)) && start(config, options);
    }
    bool savedSettings() const { return QFileInfo::exists(path("config/Brackmoor/Tidewell.conf")); }

    std::unique_ptr<QTemporaryDir> dir;
    PeerProcess listener;
    std::unique_ptr<HeadlessApp> app;
    quint16 port = 0;
};

void TestAppStream::autoStartStreamsAndRestarts() {
    if (!testkit::haveProgram(QStringLiteral("srt-live-transmit")) || !testkit::haveProgram(QStringLiteral("ffprobe")))
        QSKIP("srt-live-transmit and ffprobe are needed");
    QVERIFY(stream(
        {{"FRAME", "1280x720"}, {"FPS", "30 fps"}, {"VBR", 1536}, {"ABR", "128"}, {"SPR", "48 Khz"}, {"RECONNECT", 3}},
        {}, "first.ts"));
    const QString first = path("first.ts");
    const QString second = path("second.ts");
    QVERIFY2(grows(first, kEnoughBytes, kFirstDataMs), qPrintable(app->log()));

    // The server goes away and comes back on the same port: the program stops and starts the stream again.
    listener.kill();
    QVERIFY(startSrtFileServer(listener, port, second));
    QVERIFY2(grows(second, kEnoughBytes, kRestartDataMs), qPrintable(app->log()));
    QVERIFY(app->log().contains(QStringLiteral("-- reconnect:")));
    QVERIFY2(app->terminate(), qPrintable(app->log()));
    QCOMPARE(app->exitCode(), 0);
    // An auto-started program stopped by a signal saves nothing of the operator's.
    QVERIFY(!savedSettings());
    listener.stop();
    for (const QString &recording : {first, second}) {
        const QJsonObject probe = testkit::ffprobe(recording);
        QCOMPARE(testkit::streamSummary(probe, QStringLiteral("video")), QStringLiteral("h264 1280x720 30/1"));
        QCOMPARE(testkit::streamSummary(probe, QStringLiteral("audio")), QStringLiteral("aac 48000"));
    }
}

void TestAppStream::hevcStreamReadsInTwoDemuxers() {
    if (!testkit::haveProgram(QStringLiteral("srt-live-transmit")) || !testkit::haveProgram(QStringLiteral("ffprobe")))
        QSKIP("srt-live-transmit and ffprobe are needed");
    for (const char *element : {"tsdemux", "h265parse"}) {
        if (testkit::runProgram(QStringLiteral("gst-inspect-1.0"), {QStringLiteral("--exists"), element}, 10000) != 0)
            QSKIP("GStreamer's tsdemux and h265parse are needed (gstreamer1.0-tools, gstreamer1.0-plugins-bad)");
    }
    constexpr int kVideoKbps = 1500;
    QVERIFY(stream({{"ENCSV", "HEVC (Software)"}, {"FRAME", "1280x720"}, {"FPS", "25 fps"}, {"VBR", kVideoKbps}}));
    const QString received = path("received.ts");
    // About four seconds of stream.
    QVERIFY2(grows(received, kVideoKbps * 1000 / 8 * 4, kFirstDataMs), qPrintable(app->log()));
    QVERIFY2(app->terminate(), qPrintable(app->log()));
    listener.stop();

    const QJsonObject probe = testkit::ffprobe(received);
    QCOMPARE(testkit::streamSummary(probe, QStringLiteral("video")), QStringLiteral("hevc 1280x720 25/1"));
    QCOMPARE(testkit::probeStream(probe, QStringLiteral("video")).value(QStringLiteral("profile")).toString(),
             QStringLiteral("Main"));
    // The program map gives the HEVC stream type, 0x24, which FFmpeg's demuxer names only in its trace.
    QByteArray trace;
    testkit::runProgram(QStringLiteral("ffprobe"), {QStringLiteral("-v"), QStringLiteral("trace"), received}, 60000,
                        &trace);
    QVERIFY(trace.contains("stream_type=24 "));

    // Every picture counted, the stream within the bitrate set (its first key frame included).
    QByteArray sizes;
    const QStringList sizeQuery =
        QStringLiteral("-v error -select_streams v:0 -show_entries packet=size -of csv=p=0").split(' ');
    QCOMPARE(testkit::runProgram(QStringLiteral("ffprobe"), sizeQuery + QStringList{received}, 60000, &sizes), 0);
    qint64 bytes = 0;
    int pictures = 0;
    // One "size," line a packet (its side data adds an empty line).
    for (const QByteArray &line : sizes.split('\n')) {
        if (!line.trimmed().isEmpty()) {
            bytes += line.split(',').first().toLongLong();
            ++pictures;
        }
    }
    QVERIFY2(pictures >= 75, qPrintable(QString::number(pictures)));
    const double kbps = bytes * 8.0 / (pictures / 25.0) / 1000.0;
    qInfo("HEVC: %d pictures, %.0f kbit/s for %d set", pictures, kbps, kVideoKbps);
    QVERIFY2(kbps <= kVideoKbps, qPrintable(QStringLiteral("%1 kbit/s for %2 set").arg(kbps).arg(kVideoKbps)));

    // GStreamer's demuxer and parser find the same stream and every picture of it.
    const GstHevc gst = gstreamerHevc(received);
    QVERIFY2(gst.caps.contains(QStringLiteral("video/x-h265")), qPrintable(gst.caps));
    for (const char *field : {"width=(int)1280", "height=(int)720", "framerate=(fraction)25/1", "profile=(string)main"})
        QVERIFY2(gst.caps.contains(QLatin1String(field)), qPrintable(gst.caps));
    QCOMPARE(gst.pictures, pictures);
}

void TestAppStream::statsFileRecordsEverySecond() {
    if (!testkit::haveProgram(QStringLiteral("srt-live-transmit")))
        QSKIP("srt-live-transmit is needed");
    const QString stats = path("stats.jsonl");
    // An operator's earlier records stay: the file is appended to.
    QVERIFY(testkit::writeFile(stats, "{\"earlier\":true}\n"));
    QVERIFY(stream({{"VBR", 1024}}, {QStringLiteral("--stats"), stats}));
    auto records = [&stats] { return testkit::readFile(stats).split('\n').size() - 2; };
    QVERIFY2(testkit::waitUntil([&] { return records() >= 1; }, kFirstDataMs, 100), qPrintable(app->log()));
    QElapsedTimer streaming;
    streaming.start();
    const int first = records();
    QTest::qWait(8000);
    const int counted = records() - first;
    const double seconds = streaming.elapsed() / 1000.0;
    QVERIFY2(app->terminate(), qPrintable(app->log()));

    // One a second, give or take the start and the end of the wait.
    QVERIFY2(qAbs(counted - seconds) <= 3, qPrintable(QStringLiteral("%1 records in %2 s").arg(counted).arg(seconds)));
    const QList<QByteArray> lines = testkit::readFile(stats).split('\n');
    QCOMPARE(lines.first(), QByteArray("{\"earlier\":true}"));
    QVERIFY(lines.last().isEmpty());
    QDateTime previous;
    for (int i = 1; i < lines.size() - 1; ++i) {
        QJsonParseError error{};
        const QJsonObject record = QJsonDocument::fromJson(lines[i], &error).object();
        QVERIFY2(error.error == QJsonParseError::NoError, lines[i].constData());
        // A change of the stream's state is a record of its own, with the time and the state only.
        if (!record.contains(QStringLiteral("transport"))) {
            QVERIFY2(record.value(QStringLiteral("state")).isString(), lines[i].constData());
            continue;
        }
        QCOMPARE(record.value(QStringLiteral("state")).toString(), QStringLiteral("sending"));
        QCOMPARE(record.value(QStringLiteral("transport")).toString(), QStringLiteral("SRT"));
        QCOMPARE(record.value(QStringLiteral("encoder_kbps")).toInt(), 1024);
        for (const char *key : {"send_rate_mbps", "rtt_ms", "lost_percent", "retransmitted_packets_total",
                                "dropped_packets", "send_buffer_ms", "bandwidth_mbps"})
            QVERIFY2(record.value(QLatin1String(key)).isDouble(), key);
        const QDateTime time =
            QDateTime::fromString(record.value(QStringLiteral("time")).toString(), Qt::ISODateWithMs);
        QVERIFY(time.isValid());
        QVERIFY(!previous.isValid() || time >= previous);
        previous = time;
    }
    // The Stop's own record closes the file; the last figures before it show a stream on its way.
    const QJsonObject stopped = QJsonDocument::fromJson(lines[lines.size() - 2]).object();
    QCOMPARE(stopped.value(QStringLiteral("state")).toString(), QStringLiteral("idle"));
    QVERIFY(
        QJsonDocument::fromJson(lines[lines.size() - 3]).object().value(QStringLiteral("send_rate_mbps")).toDouble() >
        0);
    const QString logFile = QString::fromUtf8(testkit::readFile(path("state/Tidewell/tidewell.log")));
    QVERIFY2(logFile.contains(QStringLiteral(" CONNECT: SUCCESS\n")), qPrintable(logFile));
}

void TestAppStream::statsFifoNeverHoldsTheProgram_data() {
    QTest::addColumn<bool>("stalledReader");
    QTest::newRow("no reader") << false;
    QTest::newRow("stalled reader") << true;
}

void TestAppStream::statsFifoNeverHoldsTheProgram() {
    QFETCH(bool, stalledReader);
    if (!testkit::haveProgram(QStringLiteral("srt-live-transmit")))
        QSKIP("srt-live-transmit is needed");
    const QString fifo = path("stats.fifo");
    QCOMPARE(mkfifo(QFile::encodeName(fifo).constData(), 0600), 0);
    int reader = -1;
    if (stalledReader) {
        // A reader that never reads, with the pipe already full: the program's first record finds no room.
        reader = ::open(QFile::encodeName(fifo).constData(), O_RDONLY | O_NONBLOCK);
        const int filler = ::open(QFile::encodeName(fifo).constData(), O_WRONLY | O_NONBLOCK);
        QVERIFY(reader >= 0 && filler >= 0);
        const QByteArray block(4096, 'x');
        while (::write(filler, block.constData(), size_t(block.size())) > 0) {
        }
        ::close(filler);
    }
    QVERIFY(stream({}, {QStringLiteral("--stats"), fifo}));
    QVERIFY2(grows(path("received.ts"), kEnoughBytes, kFirstDataMs), qPrintable(app->log()));
    // Records have been due for a while: a window stuck in a write would not answer the signal.
    QTest::qWait(2000);
    const bool ended = app->terminate(10000);
    if (reader >= 0)
        ::close(reader);
    QVERIFY2(ended, qPrintable(app->log()));
    QCOMPARE(app->exitCode(), 0);
}

void TestAppStream::signalDuringStartUpEndsProgram() {
    // Nobody listens there; the stream, if one started, would keep failing and restarting.
    QVERIFY(start({{"URL", srtUrl(testkit::freePort(true))}}));
    // The handlers are in place once the splash shows; the window is built right after.
    QVERIFY2(app->waitForLog(QStringLiteral("show splashscreen"), 10000), qPrintable(app->log()));
    QVERIFY2(app->terminate(), qPrintable(app->log()));
    QCOMPARE(app->exitCode(), 0);
    QVERIFY(!savedSettings());
}

void TestAppStream::usedUpReconnectsEndTheProgram() {
    // Nobody listens on the port: the first run and its one restart fail at the connect.
    QVERIFY(start({{"URL", srtUrl(testkit::freePort(true))}, {"RECONNECT", 1}}));
    QVERIFY2(app->waitForExit(30000), qPrintable(app->log()));
    QCOMPARE(app->exitCode(), 1);
    QVERIFY2(app->log().contains(QStringLiteral("stopped after 1 reconnect")), qPrintable(app->log()));
}

QTEST_GUILESS_MAIN(TestAppStream)
#include "tst_appstream.moc"
