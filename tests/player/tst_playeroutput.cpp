// The Studio Player's external output to a screen and a sound output, on an X server and a sound server of the
// test's own: two screens (1024x768 and 1280x720) and two null sinks, the second the default. A live feed of
// colour bars and a 1 kHz tone plays full-screen on the second screen, its sound on the default sink, whose
// monitor records the tone (less a channel muted in the player); unticking removes the window, and a screen
// that goes away ends the output.
#include "logsdlg.h"
#include "mfrenderer.h"
#include "mfresult.h"
#include "peerprocess.h"
#include "player.h"
#include "privatesoundserver.h"
#include "privatexserver.h"
#include "testkit.h"

#include <QScreen>

#include <algorithm>
#include <cmath>

namespace {

const QString kInstance = QStringLiteral("Tidewell (O%1)").arg(QCoreApplication::applicationPid());
const QString kSecondScreen = QStringLiteral("Screen 2 \u2014 1280x720");
constexpr double kToneHz = 1000.0;
constexpr int kWaitMs = 15000;
QString xServerProblem;

// The output windows shown now.
QList<QWidget *> outputWindows() {
    QList<QWidget *> found;
    for (QWidget *widget : QApplication::topLevelWidgets())
        if (widget->isVisible() && widget->windowTitle().startsWith(QLatin1String("Tidewell output")))
            found.append(widget);
    return found;
}

// The colour of a bar of the top two thirds of SMPTE bars, 75 % grey to blue, within what the YUV trips give.
bool barColourAt(const QImage &screen, int bar, QString *seen) {
    static const QRgb kBars[] = {qRgb(191, 191, 191), qRgb(191, 191, 0), qRgb(0, 191, 191), qRgb(0, 191, 0),
                                 qRgb(191, 0, 191),   qRgb(191, 0, 0),   qRgb(0, 0, 191)};
    const QRgb pixel = screen.pixel(int((bar + 0.5) * screen.width() / 7), screen.height() / 3);
    *seen = QStringLiteral("bar %1: %2,%3,%4").arg(bar).arg(qRed(pixel)).arg(qGreen(pixel)).arg(qBlue(pixel));
    constexpr int kTolerance = 40;
    return std::abs(qRed(pixel) - qRed(kBars[bar])) < kTolerance &&
           std::abs(qGreen(pixel) - qGreen(kBars[bar])) < kTolerance &&
           std::abs(qBlue(pixel) - qBlue(kBars[bar])) < kTolerance;
}

// The frequency of one channel of 16-bit stereo from the median distance of its rising zero crossings,
// which a gap in the sound (a machine under load) does not move, and its level (RMS of 32768).
double frequencyOf(const QByteArray &samples, int channel, double *level) {
    const auto *data = reinterpret_cast<const int16_t *>(samples.constData());
    const int frames = int(samples.size() / 4);
    std::vector<int> periods;
    double sum = 0;
    for (int i = 1, last = -1; i < frames; ++i) {
        const int16_t sample = data[i * 2 + channel];
        sum += double(sample) * sample;
        if (data[(i - 1) * 2 + channel] < 0 && sample >= 0) {
            if (last >= 0)
                periods.push_back(i - last);
            last = i;
        }
    }
    *level = frames ? std::sqrt(sum / frames) / 32768.0 : 0.0;
    if (periods.empty())
        return 0.0;
    std::nth_element(periods.begin(), periods.begin() + periods.size() / 2, periods.end());
    return 48000.0 / periods[periods.size() / 2];
}

} // namespace

class TstPlayerOutput : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void playsOnTheChosenScreenAndSound();
    void aScreenThatGoesAwayEndsTheOutput();

private:
    void startPlayer(Player &player);
    QByteArray recordMonitor(const QString &sink, int milliseconds);

    PrivateSoundServer sound{{{QStringLiteral("tidewell_a"), QStringLiteral("OutputA")},
                              {QStringLiteral("tidewell_b"), QStringLiteral("OutputB")}}};
    PeerProcess feed;
    quint16 feedPort = 0;
};

void TstPlayerOutput::initTestCase() {
    if (!xServerProblem.isEmpty())
        QSKIP(qPrintable(QStringLiteral("no X server of two screens: %1").arg(xServerProblem)));
    QCOMPARE(QGuiApplication::screens().size(), 2);
    QString why;
    if (!testkit::haveProgram("parec") || !testkit::haveProgram("ffmpeg"))
        QSKIP("parec (pulseaudio-utils) and ffmpeg are needed");
    if (!sound.start(&why))
        QSKIP(qPrintable("no PulseAudio server could be started: " + why));
    QVERIFY(sound.pactl({"set-default-sink", "tidewell_b"}));
    // The return feed straight from ffmpeg over UDP, live: SMPTE bars and the tone, in H.264 and AAC as a
    // server sends it.
    feedPort = testkit::freePort(true);
    const QString feedArguments = QStringLiteral("-hide_banner -loglevel error -re -f lavfi -i "
                                                 "smptebars=size=640x360:rate=25 -f lavfi -i "
                                                 "sine=frequency=%1:sample_rate=48000 -c:v libx264 -preset "
                                                 "ultrafast -g 12 -c:a aac -ac 2 -f mpegts "
                                                 "udp://127.0.0.1:%2?pkt_size=1316")
                                      .arg(kToneHz)
                                      .arg(feedPort);
    QVERIFY2(feed.start("ffmpeg", feedArguments.split(' ')), qPrintable(feed.output()));
}

void TstPlayerOutput::startPlayer(Player &player) {
    player.startPlay(QStringLiteral("udp://127.0.0.1:%1").arg(feedPort));
    QVERIFY2(testkit::waitUntil([&] { return player.worker.phase() == PlayerWorker::Playing; }, kWaitMs),
             qPrintable(feed.output()));
}

QByteArray TstPlayerOutput::recordMonitor(const QString &sink, int milliseconds) {
    QProcess recorder;
    recorder.start("parec", {"-d", sink + ".monitor", "--raw", "--format=s16le", "--rate=48000", "--channels=2"});
    QByteArray samples;
    const int wanted = 48000 * 4 * milliseconds / 1000;
    testkit::waitUntil(
        [&] {
            samples += recorder.readAllStandardOutput();
            return samples.size() >= wanted;
        },
        milliseconds + 5000);
    recorder.kill();
    recorder.waitForFinished(2000);
    return samples;
}

void TstPlayerOutput::playsOnTheChosenScreenAndSound() {
    // Every screen once per sound output, the default sound output first, and recording still on offer.
    auto renderer = std::make_shared<MFRenderer>();
    Player player(nullptr, kInstance);
    QCOMPARE(Player::getDevices(renderer),
             QStringList({"Screen 1 \u2014 1024x768 ### 0", "Screen 1 \u2014 1024x768 ### 1", kSecondScreen + " ### 0",
                          kSecondScreen + " ### 1"}));
    QString option;
    QVERIFY(MF_SUCCEEDED(renderer->PropsOptionGetByIndex("line-out", 0, &option, nullptr)));
    QCOMPARE(option, QStringLiteral("OutputB"));
    startPlayer(player);
    auto *devices = player.findChild<QComboBox *>("deviceCombo");
    QCOMPARE(devices->itemText(devices->count() - 1), QStringLiteral("File"));
    devices->setCurrentText(kSecondScreen + " ### 0");
    QCOMPARE(devices->toolTip(), QStringLiteral("Sound on \"OutputB\""));
    auto *formats = player.findChild<QComboBox *>("formatCombo");
    formats->setCurrentText("HD720_50p");

    auto *external = player.findChild<QCheckBox *>("deviceCheck");
    external->click();
    QVERIFY(testkit::waitUntil([] { return outputWindows().size() == 1; }, kWaitMs));
    QWidget *window = outputWindows().first();
    QScreen *second = QGuiApplication::screens().at(1);
    QCOMPARE(window->screen(), second);
    QCOMPARE(window->geometry(), second->geometry());

    // The bars fill the screen (same aspect), left to right.
    QString seen;
    QVERIFY2(testkit::waitUntil(
                 [&] {
                     const QImage shot = second->grabWindow(0).toImage();
                     for (int bar = 0; bar < 7; ++bar)
                         if (!barColourAt(shot, bar, &seen))
                             return false;
                     return true;
                 },
                 kWaitMs, 100),
             qPrintable(seen));

    // The default sound output plays the tone; the other stays silent.
    double level = 0;
    QByteArray heard = recordMonitor("tidewell_b", 1500).right(48000 * 4);
    const double hz = frequencyOf(heard, 0, &level);
    QVERIFY2(level > 0.02 && std::abs(hz - kToneHz) < kToneHz * 0.03,
             qPrintable(QStringLiteral("%1 Hz at level %2").arg(hz).arg(level)));
    frequencyOf(recordMonitor("tidewell_a", 500), 0, &level);
    QVERIFY2(level < 0.001, qPrintable(QString::number(level)));
    // A channel muted in the player is muted here too.
    // What was queued before the click still plays out, and a busy machine queues more: listen until the
    // change is heard, within a bound.
    player.findChild<QCheckBox *>("chk2")->click();
    double left = 0, right = 0;
    QVERIFY2(testkit::waitUntil(
                 [&] {
                     heard = recordMonitor("tidewell_b", 500).right(48000 * 2);
                     frequencyOf(heard, 0, &left);
                     frequencyOf(heard, 1, &right);
                     return left > 0.02 && right < 0.001;
                 },
                 8000),
             qPrintable(QStringLiteral("left %1, right %2").arg(left).arg(right)));

    external->click();
    QVERIFY(testkit::waitUntil([] { return outputWindows().isEmpty(); }, 2000));
    player.stopPlay();
    QVERIFY(testkit::waitUntil([&] { return !player.isPlaying(); }, 5000));
}

void TstPlayerOutput::aScreenThatGoesAwayEndsTheOutput() {
    LogsDlg logs;
    Player player(nullptr, kInstance);
    player.setLogWindow(&logs);
    startPlayer(player);
    auto *devices = player.findChild<QComboBox *>("deviceCombo");
    devices->setCurrentText(kSecondScreen + " ### 1");
    auto *external = player.findChild<QCheckBox *>("deviceCheck");
    external->click();
    QVERIFY(testkit::waitUntil([] { return outputWindows().size() == 1; }, kWaitMs));

    // What the window system tells when a monitor is unplugged.
    emit qApp->screenRemoved(QGuiApplication::screens().at(1));
    QVERIFY(testkit::waitUntil([&] { return !external->isChecked(); }, 2000));
    QVERIFY(outputWindows().isEmpty());
    const QString text = logs.findChild<QPlainTextEdit *>("plainTextEdit")->toPlainText();
    QVERIFY2(text.contains("EXTERNAL OUTPUT ENDED: " + kSecondScreen + " ### 1 is gone"), qPrintable(text));
    QVERIFY(devices->isEnabled());
    player.stopPlay();
    QVERIFY(testkit::waitUntil([&] { return !player.isPlaying(); }, 5000));
}

int main(int argc, char **argv) {
    QTemporaryDir home;
    qputenv("HOME", home.path().toUtf8());
    // An X server of two screens of the test's own, started before the application connects to a display.
    PrivateXServer x;
    if (x.start({QSize(1024, 768), QSize(1280, 720)}, &xServerProblem)) {
        qputenv("DISPLAY", x.display().toLatin1());
        qputenv("QT_QPA_PLATFORM", "xcb");
    }
    QApplication app(argc, argv);
    TstPlayerOutput test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_playeroutput.moc"
