// The Studio Player's NDI output through the tests' NDI runtime: the box can be ticked, and the return feed
// goes out as the NDI source "Tidewell studio player", every frame and its sound, at the feed's rate.
#include "mfndiruntime.h"
#include "peerprocess.h"
#include "player.h"
#include "testkit.h"

#include <QElapsedTimer>

#include <dlfcn.h>

namespace {

const QString kInstance = QStringLiteral("Tidewell (N%1)").arg(QCoreApplication::applicationPid());
constexpr int kFeedRate = 25;
constexpr int kCountMs = 3000;

// What the runtime counts, read through its own test entry points.
template <typename Function> Function fakeEntry(const char *name) {
    void *library = dlopen(FAKE_NDI_DIR "/libndi.so.6", RTLD_NOW | RTLD_NOLOAD);
    return library ? reinterpret_cast<Function>(dlsym(library, name)) : nullptr;
}

} // namespace

class TstPlayerNdi : public QObject {
    Q_OBJECT

private slots:
    void sendsTheFeedAtItsRate();
};

void TstPlayerNdi::sendsTheFeedAtItsRate() {
    if (!testkit::haveProgram("ffmpeg"))
        QSKIP("ffmpeg is needed for the return feed");
    QVERIFY(MFNdiRuntime::instance().available());
    auto videoSent = fakeEntry<int64_t (*)()>("fake_ndi_video_frames_sent");
    auto audioSent = fakeEntry<int64_t (*)()>("fake_ndi_audio_samples_sent");
    auto senderName = fakeEntry<const char *(*)()>("fake_ndi_sender_name");
    QVERIFY(videoSent && audioSent && senderName);

    const quint16 port = testkit::freePort(true);
    PeerProcess feed;
    // H.264: MPEG-2's slice threads race inside libavcodec as the thread checker sees it.
    const QString feedArguments = QStringLiteral("-hide_banner -loglevel error -re -f lavfi -i "
                                                 "testsrc2=size=320x240:rate=%1 -f lavfi -i sine=frequency=440 "
                                                 "-c:v libx264 -preset ultrafast -c:a aac -f mpegts "
                                                 "udp://127.0.0.1:%2?pkt_size=1316")
                                      .arg(kFeedRate)
                                      .arg(port);
    QVERIFY2(feed.start("ffmpeg", feedArguments.split(' ')), qPrintable(feed.output()));
    Player player(nullptr, kInstance);
    auto *box = player.findChild<QCheckBox *>("ckbNDI");
    QVERIFY(box->isEnabled());
    box->click();
    QVERIFY(player.isNDI());
    player.startPlay(QStringLiteral("udp://127.0.0.1:%1").arg(port));
    // Past the start, whose frames may come in a burst.
    QVERIFY2(testkit::waitUntil([&] { return videoSent() >= kFeedRate; }, 15000), qPrintable(feed.output()));
    QCOMPARE(QString::fromUtf8(senderName()), QStringLiteral("Tidewell studio player"));

    // Every frame played goes out, so the output keeps the feed's rate.
    const int64_t frames = videoSent();
    const int64_t played = player.worker.framesPlayed();
    const int64_t samples = audioSent();
    // A busy machine may wake the wait late: the rates are over the time that really passed.
    QElapsedTimer counting;
    counting.start();
    QTest::qWait(kCountMs);
    const int64_t sent = videoSent() - frames;
    QVERIFY2(std::abs(sent - (player.worker.framesPlayed() - played)) <= 1,
             qPrintable(QStringLiteral("%1 sent, %2 played").arg(sent).arg(player.worker.framesPlayed() - played)));
    const double seconds = double(counting.elapsed()) / 1000.0;
    const double rate = double(sent) / seconds;
    const double sampleRate = double(audioSent() - samples) / seconds;
    QVERIFY2(std::abs(rate - kFeedRate) <= kFeedRate * 0.25, qPrintable(QString::number(rate)));
    QVERIFY2(std::abs(sampleRate - 48000) <= 48000 * 0.25, qPrintable(QString::number(sampleRate)));

    // Unticked, nothing more goes out.
    box->click();
    QVERIFY(testkit::settles([&] { return qint64(videoSent()); }, 500, 5000));
    player.stopPlay();
    QVERIFY(testkit::waitUntil([&] { return !player.isPlaying(); }, 5000));
}

int main(int argc, char **argv) {
    // Before anything looks for the runtime: it is looked for once per process.
    qputenv("NDI_RUNTIME_DIR_V6", FAKE_NDI_DIR);
    QTemporaryDir home;
    qputenv("HOME", home.path().toUtf8());
    QApplication app(argc, argv);
    TstPlayerNdi test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_playerndi.moc"
