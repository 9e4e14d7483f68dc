// The Studio Player: its window and lists, the worker against a real SRT return feed (played, recorded, muted,
// stalled), the output thread's recordings and the glass-to-glass figure of a feed stamped with the time of day.
#include "capturestreamer.h"
#include "imfreceiver.h"
#include "mfformat.h"
#include "mfglasstoglass.h"
#include "mfndiruntime.h"
#include "mformats.h"
#include "mfreader.h"
#include "mfrenderer.h"
#include "mfresult.h"
#include "mfwriter.h"
#include "networkclock.h"
#include "peerprocess.h"
#include "player.h"
#include "testkit.h"
#include "vitcstrip.h"

#include <csignal>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

const QString kInstance = QStringLiteral("Tidewell (T%1)").arg(QCoreApplication::applicationPid());
// A stop must end playback within this long, also while the feed is stalled.
constexpr int kStopBoundMs = 1000;

// Stands in for the NDI output, which has no runtime here: counts what the worker hands it.
struct CountingReceiver : IMFReceiver {
    std::atomic<int> frames{0};
    int ReceiverFramePut(const MFFramePtr &frame, int, const QString &) override {
        if (frame)
            ++frames;
        return MF_OK;
    }
};

// An output card with lines, where the real renderer has no devices.
class FakeRenderer : public MFRenderer {
public:
    QStringList names;
    int lines = 0;
    int DeviceGetCount(int, int *count) override {
        *count = names.size();
        return MF_OK;
    }
    int DeviceGetByIndex(int, int index, QString *name) override {
        *name = names.value(index);
        return MF_OK;
    }
    int PropsOptionGetCount(const QString &, int *count) override {
        *count = lines;
        return MF_OK;
    }
};

// Per-channel RMS levels in dB of one audio stream of a recording, by ffmpeg's astats; -inf is reported as -1000.
QList<double> channelLevels(const QString &path, int stream) {
    QByteArray output;
    testkit::runProgram("ffmpeg",
                        {"-hide_banner", "-nostats", "-i", path, "-map", QStringLiteral("0:a:%1").arg(stream), "-af",
                         "astats=measure_overall=none:measure_perchannel=RMS_level", "-f", "null", "-"},
                        30000, &output);
    QList<double> levels;
    const QRegularExpression line(QStringLiteral("RMS level dB: (\\S+)"));
    for (auto it = line.globalMatch(QString::fromUtf8(output)); it.hasNext();) {
        const QString value = it.next().captured(1);
        levels.append(value.contains(QLatin1String("inf")) ? -1000.0 : value.toDouble());
    }
    return levels;
}

// A live return feed of our own writer: the Test Pattern at 25 fps into UDP, each frame stamped with the
// network clock's time of day in the timecode strip while stamping is on, as the capture loop stamps it.
class StampedFeed {
public:
    static constexpr int kWidth = 640;
    static constexpr int kHeight = 360;
    std::atomic<bool> stamping{true};

    ~StampedFeed() { stop(); }
    bool start(quint16 udpPort) {
        int count = 0;
        source.DeviceGetCount(eMFDT_Video, &count);
        for (int i = 0; i < count; ++i) {
            QString entry;
            if (MF_SUCCEEDED(source.DeviceGetByIndex(eMFDT_Video, i, &entry)) && entry == "Test Pattern" &&
                MF_SUCCEEDED(source.DeviceSet(eMFDT_Video, i, QStringLiteral("test_pattern.size=640x360"))))
                break;
        }
        const QString options =
            CaptureStreamer::writerOptions(25, 2, QStringLiteral("q264sw"), QString(), 1500, 128, 48000);
        if (MF_FAILED(writer.WriterSet(QStringLiteral("udp://127.0.0.1:%1?pkt_size=1316").arg(udpPort), 1, options)))
            return false;
        running = true;
        thread = std::thread([this] { loop(); });
        return true;
    }
    void stop() {
        running = false;
        if (thread.joinable())
            thread.join();
        writer.WriterClose();
    }

private:
    void loop() {
        MFFormat ask;
        ask.width = kWidth;
        ask.height = kHeight;
        ask.frameRate = 25.0;
        while (running) {
            MFFramePtr frame;
            if (MF_FAILED(source.SourceFrameConvertedGetByFormat(ask, &frame, 1000, QString())) || !frame)
                continue;
            if (stamping) {
                const QTime now = networkClockNow().time();
                uint8_t bits[kVitcBits];
                buildVitcBits(now.hour(), now.minute(), now.second(), now.msec() / 40, 25.0, uint32_t(now.msec()),
                              bits);
                frame->MFPrint(vitcMarkup(bits), 0.5, 0.0, kHeight - 3.0, kWidth, 3.0, 256,
                               QStringLiteral("face='Times New Roman'  vert-align='bottom' bg-color='black' "));
            }
            writer.ReceiverFramePut(frame, -1, QString());
        }
    }

    MFormats source;
    MFWriter writer;
    std::atomic<bool> running{false};
    std::thread thread;
};

// How long a stop took the player to end its play, -1 when it had not ended after 5 s.
qint64 stopTime(Player &player) {
    QElapsedTimer stopping;
    stopping.start();
    player.stopPlay();
    return testkit::waitUntil([&] { return !player.isPlaying(); }, 5000) ? stopping.elapsed() : -1;
}

} // namespace

class TstPlayer : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanup();
    void gainText_data();
    void gainText();
    void outputNames_data();
    void outputNames();
    void devicesWithLines();
    void recordingOptions();
    void recordingsNeverShareAFile();
    void passphraseNeverLogged();
    void listsKeepChoicesAndStopWhileOpening();
    void ndiBoxWithoutRuntime();
    void playsFeedRecordsAndMutes();
    void stopsAtOnceWhileFeedStalls();
    void closingLeavesAStuckThreadBehind();
    void showsGlassToGlassOfAStampedFeed();

private:
    bool startListener(quint16 *udpPort);
    bool startFeed();
    QString feedUrl() const;
    QCheckBox *box(Player &player, const QString &name) { return player.findChild<QCheckBox *>(name); }

    quint16 srtPort = 0;
    QProcess listener;
    PeerProcess source;
    QTemporaryDir dir;
};

void TstPlayer::initTestCase() {
    QVERIFY(dir.isValid());
    // The recordings folder comes from the home the test main set up.
    QVERIFY2(SdiThread::recordingsFolder().startsWith(QDir::homePath()), qPrintable(SdiThread::recordingsFolder()));
}

void TstPlayer::cleanup() {
    if (listener.state() != QProcess::NotRunning) {
        ::kill(pid_t(listener.processId()), SIGCONT);
        listener.kill();
        listener.waitForFinished(3000);
    }
    source.stop();
}

// srt-live-transmit serves what arrives on a UDP port as the server's SRT listener.
bool TstPlayer::startListener(quint16 *udpPort) {
    if (!testkit::haveProgram("srt-live-transmit"))
        return false;
    *udpPort = testkit::freePort(true);
    srtPort = testkit::freePort(true);
    listener.setProcessChannelMode(QProcess::MergedChannels);
    listener.start("srt-live-transmit", {"-q", QStringLiteral("udp://127.0.0.1:%1").arg(*udpPort),
                                         QStringLiteral("srt://127.0.0.1:%1?mode=listener").arg(srtPort)});
    return listener.waitForStarted(5000);
}

bool TstPlayer::startFeed() {
    // ffmpeg makes the feed live (-re); the tones differ per channel so that a mute shows in one channel only.
    quint16 udpPort = 0;
    if (!testkit::haveProgram("ffmpeg") || !startListener(&udpPort))
        return false;
    const QString arguments =
        QStringLiteral("-hide_banner -loglevel error -re -f lavfi -i testsrc2=size=320x240:rate=25 "
                       "-f lavfi -i sine=frequency=440:sample_rate=48000 "
                       "-f lavfi -i sine=frequency=1000:sample_rate=48000 "
                       "-filter_complex [1:a][2:a]join=inputs=2:channel_layout=stereo[a] "
                       "-map 0:v -map [a] -c:v libx264 -preset ultrafast -g 25 -b:v 500k -c:a aac "
                       "-f mpegts udp://127.0.0.1:%1?pkt_size=1316")
            .arg(udpPort);
    return source.start("ffmpeg", arguments.split(' '));
}

QString TstPlayer::feedUrl() const {
    return QStringLiteral("srt://127.0.0.1:%1?mode=caller&streamid=cam1#feedbackplay").arg(srtPort);
}

void TstPlayer::gainText_data() {
    QTest::addColumn<QList<int>>("clicks");
    QTest::addColumn<QString>("gains");
    const QString none = QStringLiteral("0.0,0.0,0.0,0.0,0.0,0.0,0.0,0.0,0.0,0.0,0.0,0.0,0.0,0.0,0.0,0.0");
    QTest::newRow("2 and 5") << QList<int>{2, 5}
                             << "0.0,-100.0,0.0,0.0,-100.0,0.0,0.0,0.0,0.0,0.0,0.0,0.0,0.0,0.0,0.0,0.0";
    QTest::newRow("ticked and unticked") << QList<int>{7, 7} << none;
    QTest::newRow("first and last") << QList<int>{16, 1}
                                    << "-100.0,0.0,0.0,0.0,0.0,0.0,0.0,0.0,0.0,0.0,0.0,0.0,0.0,0.0,0.0,-100.0";
}

void TstPlayer::gainText() {
    QFETCH(QList<int>, clicks);
    QFETCH(QString, gains);
    Player player(nullptr, kInstance);
    for (int channel : clicks)
        box(player, QStringLiteral("chk%1").arg(channel))->click();
    QCOMPARE(player.worker.volumes(), gains);
    QVERIFY(player.worker.gainChanged);
    QCOMPARE(player.mutedChannels.count(), gains.count(QStringLiteral("-100.0")));
}

void TstPlayer::outputNames_data() {
    QTest::addColumn<QString>("name");
    QTest::addColumn<int>("line");
    QTest::addColumn<QString>("device");
    QTest::newRow("file") << "File" << -1 << "File";
    QTest::newRow("one line") << "Card 2 ### 1" << 1 << "Card 2";
    QTest::newRow("separator twice") << "Card ### 1 ### 2" << -1 << "Card";
    QTest::newRow("no number") << "Card ### x" << -1 << "Card";
}

void TstPlayer::outputNames() {
    QFETCH(QString, name);
    QString device;
    int line = 7;
    SdiThread::splitOutputName(name, &device, &line);
    QTEST(device, "device");
    QTEST(line, "line");
}

void TstPlayer::devicesWithLines() {
    auto renderer = std::make_shared<FakeRenderer>();
    renderer->names = QStringList{"Deck 10", "<None>", "NDI Receiver", QString(), "Deck 2"};
    renderer->lines = 3;
    QCOMPARE(Player::getDevices(renderer), QStringList({"Deck 2 ### 0", "Deck 2 ### 1", "Deck 2 ### 2", "Deck 10 ### 0",
                                                        "Deck 10 ### 1", "Deck 10 ### 2"}));
    renderer->lines = 0;
    QCOMPARE(Player::getDevices(renderer), QStringList({"Deck 2", "Deck 10"}));
}

void TstPlayer::recordingOptions() {
    QCOMPARE(SdiThread::recordingOptions(),
             QStringLiteral("format='mpegts' play_while_rec='false' video::codec='mpeg2video' "
                            "video::profile='main'  video::b='5120K' video::maxrate='5120K'  "
                            "audio::codec='aac' audio::b='128K'  audio::minrate='128K' "
                            "audio::maxrate='128K' mpeg::split_channels='1' "));
}

void TstPlayer::recordingsNeverShareAFile() {
    // Two players (two copies of the program) starting a recording in the same second.
    SdiThread first;
    SdiThread second;
    first.startRecording();
    second.startRecording();
    const QString taken = first.recordingPath();
    QVERIFY2(taken != second.recordingPath(), qPrintable(taken));
    // The name is held from the start, not only once the first frame is written.
    QVERIFY(QFileInfo::exists(taken));
    QVERIFY(QFileInfo::exists(second.recordingPath()));
    QVERIFY(QFile::remove(taken) && QFile::remove(second.recordingPath()));
}

void TstPlayer::passphraseNeverLogged() {
    QCOMPARE(
        PlayerWorker::loggableUrl("srt://h:1?mode=caller&streamid=a#feedbackplay&passphrase=0123456789&pbkeylen=24"),
        QStringLiteral("srt://h:1?mode=caller&streamid=a#feedbackplay&passphrase=***&pbkeylen=24"));
    QCOMPARE(PlayerWorker::loggableUrl("srt://h:1?passphrase=secret"), QStringLiteral("srt://h:1?passphrase=***"));
}

void TstPlayer::listsKeepChoicesAndStopWhileOpening() {
    Player player(nullptr, kInstance);
    QCOMPARE(player.windowTitle(), QStringLiteral("Studio Player"));
    // Qt adds the system menu that a maximise button needs; close and minimise stay off.
    const int asked = 0x2049001;
    QCOMPARE(int(player.windowFlags()) & asked, asked);
    QVERIFY(!(player.windowFlags() & (Qt::WindowCloseButtonHint | Qt::WindowMinimizeButtonHint)));
    auto *devices = player.findChild<QComboBox *>("deviceCombo");
    auto *formats = player.findChild<QComboBox *>("formatCombo");
    // Nobody listens here: the worker keeps trying to open while the window is shown.
    const QString nobody =
        QStringLiteral("srt://127.0.0.1:%1?mode=caller&streamid=x#feedbackplay").arg(testkit::freePort(true));
    player.startPlay(nobody);
    // The offscreen platform's one screen comes first, recording last; the folder button goes with recording.
    QVERIFY2(devices->currentText().startsWith(QStringLiteral("Screen 1 \u2014 ")), qPrintable(devices->currentText()));
    QCOMPARE(devices->itemText(devices->count() - 1), QStringLiteral("File"));
    auto *folder = player.findChild<QPushButton *>("folderBtn");
    QVERIFY(!folder->isVisibleTo(&player));
    devices->setCurrentText(QStringLiteral("File"));
    QVERIFY(folder->isVisibleTo(&player));
    QCOMPARE(formats->count(), 37);
    QCOMPARE(formats->currentText(), QStringLiteral("NTSC"));
    formats->setCurrentIndex(formats->findText("4K_UHD_50i"));
    QCOMPARE(formats->currentData().toInt(), 43);
    QVERIFY(player.isPlaying());
    QVERIFY(testkit::waitUntil([&] { return player.worker.phase() == PlayerWorker::Opening; }, 2000));

    const qint64 stopMs = stopTime(player);
    QVERIFY2(stopMs >= 0 && stopMs < kStopBoundMs, qPrintable(QString::number(stopMs)));

    player.startPlay(nobody);
    QCOMPARE(formats->count(), 37);
    QCOMPARE(formats->currentData().toInt(), 43);
    QCOMPARE(devices->currentText(), QStringLiteral("File"));
    // After a failed open the label says so, and the same address stays in play (it is retried).
    QVERIFY(testkit::waitUntil([&] { return player.worker.phase() == PlayerWorker::OpenFailed; },
                               MFReader::OPEN_TIMEOUT_MS + 5000));
    QVERIFY(testkit::waitUntil(
        [&] { return player.findChild<QLabel *>("lblPreview")->text() != QLatin1String("please wait ..."); }, 2000));
    player.stopPlay();
    QVERIFY(testkit::waitUntil([&] { return !player.isPlaying(); }, kStopBoundMs));
}

void TstPlayer::ndiBoxWithoutRuntime() {
    if (MFNdiRuntime::instance().available())
        QSKIP("an NDI runtime is installed here");
    Player player(nullptr, kInstance);
    auto *ndi = box(player, "ckbNDI");
    QVERIFY(!ndi->isEnabled());
    QVERIFY2(
        ndi->toolTip().startsWith("No NDI runtime is installed. Tidewell looked at NDI_RUNTIME_DIR_V6 (not set)") &&
            ndi->toolTip().contains("libndi.so.5 on the library path"),
        qPrintable(ndi->toolTip()));
    // The saved choice is kept and shown as it was, though it cannot be changed.
    player.setNDI(true);
    QVERIFY(player.isNDI() && ndi->isChecked());
    player.setNDI(false);
    QVERIFY(!player.isNDI() && !ndi->isChecked());
}

void TstPlayer::playsFeedRecordsAndMutes() {
    if (!startFeed())
        QSKIP("srt-live-transmit or ffmpeg is missing");
    Player player(nullptr, kInstance);
    auto fakeNdi = std::make_shared<CountingReceiver>();
    player.worker.ndiReceiver = fakeNdi;
    player.setNDI(true);
    box(player, "chk2")->click();

    player.startPlay(feedUrl());
    QVERIFY2(testkit::waitUntil([&] { return fakeNdi->frames >= 10; }, 20000), qPrintable(source.output()));
    QCOMPARE(player.worker.phase(), PlayerWorker::Playing);
    // This feed has no timecode strip: no latency figure.
    QTest::qWait(2 * Player::kStatusPollMs);
    QVERIFY(player.findChild<QLabel *>("lblLatency")->text().isEmpty());

    auto *formats = player.findChild<QComboBox *>("formatCombo");
    formats->setCurrentIndex(formats->findText("PAL"));
    player.findChild<QComboBox *>("deviceCombo")->setCurrentText(QStringLiteral("File"));
    QCheckBox *external = box(player, "deviceCheck");
    QStringList files;
    for (int take = 0; take < 2; ++take) {
        external->click();
        QVERIFY(!formats->isEnabled());
        files.append(player.output.recordingPath());
        const int before = fakeNdi->frames;
        QVERIFY(testkit::waitUntil([&] { return fakeNdi->frames >= before + 50; }, 10000));
        external->click();
        QVERIFY(formats->isEnabled());
    }
    QVERIFY(files.at(0) != files.at(1));
    // Unticking completes the recording: it stops growing.
    QVERIFY(testkit::settles([&] { return QFileInfo(files.at(1)).size(); }, 500, 5000));

    for (const QString &file : files) {
        QVERIFY2(file.startsWith(SdiThread::recordingsFolder()), qPrintable(file));
        QVERIFY2(QRegularExpression("/\\d\\d_\\d\\d_\\d{4}-\\d\\d_\\d\\d_\\d\\d(-2)?\\.ts$").match(file).hasMatch(),
                 qPrintable(file));
        const QJsonObject probe = testkit::ffprobe(file);
        QCOMPARE(testkit::streamSummary(probe, "video"), QStringLiteral("mpeg2video 720x576 25/1"));
        QCOMPARE(testkit::streamSummary(probe, "audio"), QStringLiteral("aac 44100"));
        // One stream per channel: channel 2 is muted, channel 1 plays its tone.
        const QList<double> levels = {channelLevels(file, 0).value(0, -2000), channelLevels(file, 1).value(0, -2000)};
        QVERIFY2(levels.at(0) > -30 && levels.at(1) < -80,
                 qPrintable(QString("%1 %2").arg(levels.at(0)).arg(levels.at(1))));
    }

    const qint64 stopMs = stopTime(player);
    QVERIFY2(stopMs >= 0 && stopMs < kStopBoundMs, qPrintable(QString::number(stopMs)));
}

void TstPlayer::stopsAtOnceWhileFeedStalls() {
    if (!startFeed())
        QSKIP("srt-live-transmit or ffmpeg is missing");
    Player player(nullptr, kInstance);
    auto fakeNdi = std::make_shared<CountingReceiver>();
    player.worker.ndiReceiver = fakeNdi;
    player.setNDI(true);
    player.startPlay(feedUrl());
    QVERIFY2(testkit::waitUntil([&] { return fakeNdi->frames >= 5; }, 20000), qPrintable(source.output()));

    // The server stops answering: the worker sits in a frame request that gets nothing.
    QCOMPARE(::kill(pid_t(listener.processId()), SIGSTOP), 0);
    QTest::qWait(300);
    const int stalledAt = fakeNdi->frames;
    QTest::qWait(700);
    QVERIFY(fakeNdi->frames <= stalledAt + 1);

    const qint64 stopMs = stopTime(player);
    QVERIFY2(stopMs >= 0 && stopMs < kStopBoundMs, qPrintable(QString::number(stopMs)));
}

// A request that blocks in the kernel (an open of a FIFO that nobody writes) does not see the stop; closing the
// window must still end within its bound, leaving that thread behind rather than waiting for it.
void TstPlayer::closingLeavesAStuckThreadBehind() {
    const QString fifo = dir.filePath(QStringLiteral("feed.fifo"));
    QCOMPARE(mkfifo(QFile::encodeName(fifo).constData(), 0600), 0);
    auto *player = new Player(nullptr, kInstance + QStringLiteral(" stuck"));
    player->startPlay(fifo);
    QVERIFY(testkit::waitUntil([&] { return player->worker.phase() == PlayerWorker::Opening; }, 5000));
    QTest::qWait(200);
    QElapsedTimer closing;
    closing.start();
    delete player;
    QVERIFY2(closing.elapsed() < Player::kCloseWaitMs + 1000, qPrintable(QString::number(closing.elapsed())));
    // A writer lets the open return; the thread left behind then ends on its own.
    const int writer = ::open(QFile::encodeName(fifo).constData(), O_WRONLY | O_NONBLOCK);
    QVERIFY(writer >= 0);
    ::close(writer);
}

void TstPlayer::showsGlassToGlassOfAStampedFeed() {
    quint16 udpPort = 0;
    if (!startListener(&udpPort))
        QSKIP("srt-live-transmit is missing");
    StampedFeed feed;
    if (!feed.start(udpPort))
        QSKIP("libx264 does not open on this machine");
    Player player(nullptr, kInstance);
    auto *label = player.findChild<QLabel *>("lblLatency");
    player.startPlay(feedUrl());

    const QRegularExpression figure(QStringLiteral("^glass-to-glass (-?\\d+) ms$"));
    QVERIFY2(testkit::waitUntil([&] { return figure.match(label->text()).hasMatch(); }, 20000),
             qPrintable(label->text()));
    // The stamp is taken before encoding; the figure covers encoding, the SRT latency and decoding, well under
    // the bound here on loopback.
    constexpr int kPlausibleMaxMs = 3000;
    const int latency = figure.match(label->text()).captured(1).toInt();
    QVERIFY2(latency > 0 && latency < kPlausibleMaxMs, qPrintable(label->text()));

    // The feed goes on without its strip: the figure goes away rather than stay at its last value.
    feed.stamping = false;
    QVERIFY2(testkit::waitUntil([&] { return label->text().isEmpty(); }, MFGlassToGlass::kStaleMs + 3000),
             qPrintable(label->text()));
    QCOMPARE(player.worker.phase(), PlayerWorker::Playing);
    player.stopPlay();
}

int main(int argc, char **argv) {
    // Recordings go to ‹home›/Videos/Tidewell: a home of the test's own keeps them off the user's.
    QTemporaryDir home;
    qputenv("HOME", home.path().toUtf8());
    qunsetenv("XDG_CONFIG_HOME");
    QApplication app(argc, argv);
    TstPlayer test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_player.moc"
