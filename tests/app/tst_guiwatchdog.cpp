// The main window's event loop keeps turning while a Start meets a server that is not there, an address with no
// route, a relay that cannot listen, an encoder that does not open, a sound server that never answers and an
// operator who clicks fast; each time the window ends idle, ready for the next Start, with the reason in its log.
#include "appmessages.h"
#include "capturestreamer.h"
#include "ckblblwidget.h"
#include "eventloopwatchdog.h"
#include "mainwindow.h"
#include "resender.h"
#include "srttestlistener.h"
#include "testkit.h"
#include "windowtestmain.h"

#include <QGridLayout>
#include <QLocalServer>
#include <QRadioButton>

#include <net/if.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>

namespace {

// The operator must never see the window freeze for this long.
constexpr qint64 kWorstGapMs = 1000;
constexpr int kFastClicks = 20;
// A run against a server that does not answer ends after the library's connect timeout (3 s) and the failed
// sends that follow it.
constexpr int kRunEndsMs = 10000;
// TEST-NET-3: in the test's own network namespace no route leads anywhere but to loopback.
const char kUnroutable[] = "203.0.113.1:9000";

// Set when the test runs in a network namespace of its own, where only loopback exists.
bool ownNetwork = false;

// Before any thread exists: the process leaves the machine's network for a new namespace and brings up its
// loopback, so that nothing the window sends can reach a real host.
void enterOwnNetwork() {
    if (unshare(CLONE_NEWNET) != 0)
        return;
    const int fd = socket(AF_INET, SOCK_DGRAM, 0);
    ifreq request{};
    std::strncpy(request.ifr_name, "lo", IFNAMSIZ - 1);
    ownNetwork = fd >= 0 && ioctl(fd, SIOCGIFFLAGS, &request) == 0 &&
                 (request.ifr_flags |= IFF_UP, ioctl(fd, SIOCSIFFLAGS, &request) == 0);
    if (fd >= 0)
        close(fd);
}

enum class Case {
    DeadHost,
    Unroutable,
    RelayCannotListen,
    EncoderFails,
    SilentSoundServer,
    FastClicks,
    RistFastClicks
};

} // namespace

Q_DECLARE_METATYPE(Case)

class TestGuiWatchdog : public QObject {
    Q_OBJECT

private slots:
    void init();
    void cleanup();
    void startNeverBlocksTheWindow_data();
    void startNeverBlocksTheWindow();

private:
    template <typename T = QWidget> T *control(const char *name) { return windowtest::control<T>(*window, name); }
    QPushButton *start() { return control<QPushButton>("cmdStart"); }
    // Runs the event loop until the window has stopped streaming (on its own or after a Stop), bounded.
    bool untilIdle(int timeoutMs) {
        return testkit::waitUntil([this] { return !window->streaming(); }, timeoutMs, 20);
    }

    std::unique_ptr<MainWindow> window;
    std::unique_ptr<SrtTestListener> listener;
    std::unique_ptr<QTcpServer> portHolder;
    std::unique_ptr<QLocalServer> soundServer;
};

void TestGuiWatchdog::init() {
    AppMessages::clearHistory();
    window = std::make_unique<MainWindow>();
    if (!windowtest::chooseTestPatternH264(*window))
        QSKIP("the Test Pattern and the OpenH264 encoder are needed");
    // One failure ends the case; a restart would only repeat what the case already showed.
    QVERIFY(windowtest::fill(*window, {"spbReconnect=0"}));
}

void TestGuiWatchdog::cleanup() {
    if (window && window->streaming())
        start()->click();
    if (window)
        window->waitForWorkers(5000);
    window.reset();
    listener.reset();
    portHolder.reset();
    soundServer.reset();
    qunsetenv("PULSE_SERVER");
}

void TestGuiWatchdog::startNeverBlocksTheWindow_data() {
    QTest::addColumn<Case>("which");
    QTest::addColumn<QString>("logged");
    QTest::newRow("dead host") << Case::DeadHost << QStringLiteral("CONNECT FAILED");
    QTest::newRow("unroutable address") << Case::Unroutable << QStringLiteral("CONNECT FAILED");
    QTest::newRow("relay cannot listen") << Case::RelayCannotListen
                                         << QStringLiteral("START FAILED: the relay opened no loopback listener");
    QTest::newRow("encoder fails to open") << Case::EncoderFails << QStringLiteral("ENCODER FAILED");
    QTest::newRow("sound server never answers")
        << Case::SilentSoundServer << QStringLiteral("setVideoDevice: Test Pattern");
    QTest::newRow("fast Start/Stop clicks") << Case::FastClicks << QStringLiteral("RESender STOP");
    QTest::newRow("fast RIST Start/Stop clicks") << Case::RistFastClicks << QStringLiteral("RESenderRist LISTEN PORT:");
}

void TestGuiWatchdog::startNeverBlocksTheWindow() {
    QFETCH(Case, which);
    QFETCH(QString, logged);
    auto *url = control<QLineEdit>("txtURL");
    // Nobody listens on a free UDP port of loopback.
    url->setText(QStringLiteral("127.0.0.1:%1").arg(testkit::freePort(true)));
    if (which == Case::Unroutable) {
        if (!ownNetwork)
            QSKIP("a network namespace of the test's own is needed (unshare CLONE_NEWNET, root)");
        url->setText(QLatin1String(kUnroutable));
    } else if (which == Case::RelayCannotListen) {
        portHolder = std::make_unique<QTcpServer>();
        QVERIFY(portHolder->listen(QHostAddress::LocalHost, 0));
        window->srtRelay()->setRequestedListenPort(portHolder->serverPort());
    } else if (which == Case::EncoderFails || which == Case::SilentSoundServer) {
        // A server the relay reaches: only the encoder (a hardware one this machine lacks) or the sound server fails.
        listener = std::make_unique<SrtTestListener>();
        QVERIFY2(listener->start(), qPrintable(listener->errorText()));
        url->setText(QStringLiteral("127.0.0.1:%1").arg(listener->port()));
    }
    if (which == Case::SilentSoundServer) {
        // A PulseAudio server that takes the connection and never says a word; the chosen microphone is looked
        // for there, and the connect and the listing each wait for their time-out.
        soundServer = std::make_unique<QLocalServer>();
        const QString socket = QDir::temp().filePath(QStringLiteral("tidewell-silent-pulse-%1").arg(getpid()));
        QLocalServer::removeServer(socket);
        QVERIFY(soundServer->listen(socket));
        qputenv("PULSE_SERVER", QByteArray("unix:") + QFile::encodeName(soundServer->fullServerName()));
        auto *audio = control<QComboBox>("cmbAudioSources");
        audio->addItem(QStringLiteral("Silent microphone"));
        audio->setCurrentIndex(audio->count() - 1);
    } else if (which == Case::EncoderFails) {
        auto *encoders = control<QComboBox>("cmbEncs");
        encoders->addItem(QStringLiteral("NVIDIA H264"), QStringLiteral("c264"));
        encoders->setCurrentIndex(encoders->count() - 1);
    } else if (which == Case::RistFastClicks) {
        // One path over loopback to a RIST port nobody reads.
        control<QRadioButton>("rbRist")->setChecked(true);
        control<QLineEdit>("txtURL_rist")->setText(QStringLiteral("rist://127.0.0.1:%1").arg(testkit::freePort(true)));
        auto *path = new CkbLblWidget(QStringLiteral("127.0.0.1"));
        control<QGridLayout>("gridBonding")->addWidget(path, 9, 9);
        window->relayoutBondingGrid();
        path->click();
        QVERIFY(path->isChecked());
    }

    EventLoopWatchdog watchdog;
    watchdog.start();
    QElapsedTimer clock;
    clock.start();
    int started = 0;
    if (which == Case::FastClicks || which == Case::RistFastClicks) {
        for (int i = 0; i < kFastClicks; ++i) {
            start()->click();
            started += window->streaming() ? 1 : 0;
            QTest::qWait(10);
            if (window->streaming())
                start()->click();
            QTest::qWait(10);
        }
        QCOMPARE(started, kFastClicks);
    } else {
        start()->click();
        if (which == Case::RelayCannotListen) {
            QVERIFY(!window->streaming());
            QCOMPARE(AppMessages::history().size(), 1);
        } else if (which == Case::EncoderFails) {
            // Nothing of this run could ever reach the server: the stream fails by itself.
            QVERIFY(window->streaming());
        } else if (which == Case::SilentSoundServer) {
            QVERIFY(window->streaming());
            // The capture thread waited for the sound server; the stream then went on without that microphone.
            QVERIFY(testkit::waitUntil([this] { return window->captureThread()->framesWritten.load() >= 3; }, 10000));
            start()->click();
        }
        QVERIFY2(untilIdle(kRunEndsMs), "the window did not end the run");
    }
    // A tick after the last action, so that a block at the very end is counted too.
    QTest::qWait(2 * EventLoopWatchdog::kDefaultIntervalMs);
    watchdog.stop();
    qInfo("worst gap %lld ms over %lld ms (%d ticks)", watchdog.worstGapMs(), clock.elapsed(), watchdog.ticks());
    QVERIFY2(watchdog.worstGapMs() < kWorstGapMs, qPrintable(QString::number(watchdog.worstGapMs())));

    QVERIFY(!window->streaming());
    QCOMPARE(start()->text(), QStringLiteral("START"));
    QVERIFY(start()->isEnabled());
    QVERIFY(!start()->isChecked());
    QVERIFY(control("destinationGroup")->isEnabled());
    QVERIFY2(windowtest::logText().contains(logged), qPrintable(windowtest::logText()));
    window->srtRelay()->setRequestedListenPort(0);
}

int main(int argc, char *argv[]) {
    return windowtest::run<TestGuiWatchdog>(argc, argv, enterOwnNetwork);
}

#include "tst_guiwatchdog.moc"
