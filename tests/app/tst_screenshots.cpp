// A look at every window on a real X screen, as an operator meets them: the main window while it streams, the speed
// test after a result, the Studio Player playing the stream's return feed and the log window with the system
// report. Each picture is taken from the screen and must show something; what each must say is read back through
// its widgets. With TIDEWELL_SCREENSHOT_DIR set the pictures are saved there (scripts/screenshots).
#include "appstyle.h"
#include "linktelemetry.h"
#include "logsdlg.h"
#include "mainwindow.h"
#include "peerprocess.h"
#include "player.h"
#include "speedtest.h"
#include "srttestlistener.h"
#include "telemetrystrip.h"
#include "testkit.h"
#include "windowtestmain.h"

#include <QGuiApplication>
#include <QLayout>
#include <QScreen>

namespace {

// Telemetry samples this often, so that the graph fills within seconds (each second's figures repeat).
constexpr int kSampleMs = 200;
constexpr int kGraphSamples = 25;
constexpr int kStreamWaitMs = 20000;
constexpr int kSpeedTestWaitMs = 60000;
constexpr int kFeedWaitMs = 20000;
// Time for a window just shown or raised to be drawn on the screen.
constexpr int kSettleMs = 500;

QString windowName(QWidget *window) {
    return window->objectName().isEmpty() ? QString::fromLatin1(window->metaObject()->className())
                                          : window->objectName();
}

} // namespace

class TestScreenshots : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();
    void mainWindowWhileStreaming();
    void speedTestAfterAResult();
    void studioPlayerShowingTheFeed();
    void logsWithTheReport();

private:
    // What the screen shows of the window, raised above the others; fails the test when it is blank.
    QImage shoot(QWidget *window, const QString &name);
    static QString blankness(const QImage &picture);

    PeerProcess server;
    // The backup server, so that the picture shows a row per server.
    SrtTestListener backupServer;
    quint16 ingestPort = 0;
    quint16 returnPort = 0;
    std::unique_ptr<MainWindow> window;
};

void TestScreenshots::initTestCase() {
    if (QGuiApplication::platformName() != QLatin1String("xcb"))
        QSKIP("needs an X server (xvfb-run)");
    if (!testkit::haveProgram(QStringLiteral("srt-live-transmit")))
        QSKIP("srt-live-transmit is not installed (scripts/setup installs it)");
    // The server: what the window sends in at one port is its return feed at the other.
    ingestPort = testkit::freePort(true);
    returnPort = testkit::freePort(true);
    QVERIFY2(startSrtServer(server, ingestPort, QStringLiteral("srt://127.0.0.1:%1?mode=listener").arg(returnPort)),
             qPrintable(server.output()));

    // Dressed as the program dresses its windows.
    qApp->setStyleSheet(appstyle::styleSheet());
    window = std::make_unique<MainWindow>();
    if (!windowtest::chooseTestPatternH264(*window))
        QSKIP("the Test Pattern and the OpenH264 encoder are needed");
    // A bitrate a contribution stream would have, so that the graph's lines stand apart.
    QVERIFY2(backupServer.start(), qPrintable(backupServer.errorText()));
    QVERIFY(windowtest::fill(*window, {QStringLiteral("txtURL=127.0.0.1:%1").arg(ingestPort),
                                       QStringLiteral("txtURL_backup=127.0.0.1:%1").arg(backupServer.port()),
                                       "txtStreamID=cam1", "spbVBR=2048"}));
    window->linkTelemetry()->setIntervalMs(kSampleMs);
    window->move(0, 0);
    window->show();
    QVERIFY(QTest::qWaitForWindowExposed(window.get()));
    windowtest::control<QPushButton>(*window, "cmdStart")->click();
    QVERIFY(window->streaming());
}

void TestScreenshots::cleanupTestCase() {
    if (!window)
        return;
    window->playerWindow()->stopPlay();
    QVERIFY(testkit::waitUntil([&] { return !window->playerWindow()->isPlaying(); }, 5000));
    if (window->streaming())
        window->toggleStreaming();
    QVERIFY(window->waitForWorkers(10000));
    window.reset();
}

QString TestScreenshots::blankness(const QImage &picture) {
    if (picture.isNull() || picture.width() < 100 || picture.height() < 100)
        return QStringLiteral("no picture");
    // A drawn window has text, frames and fields: many colours, none of which covers nearly all of it.
    QHash<QRgb, int> counts;
    int samples = 0;
    for (int y = 0; y < picture.height(); y += 2) {
        for (int x = 0; x < picture.width(); x += 2, ++samples)
            ++counts[picture.pixel(x, y)];
    }
    int most = 0;
    for (const int count : qAsConst(counts))
        most = std::max(most, count);
    if (counts.size() < 16 || most > samples * 97 / 100)
        return QStringLiteral("%1 colours, the commonest on %2 % of it").arg(counts.size()).arg(100 * most / samples);
    return QString();
}

QImage TestScreenshots::shoot(QWidget *window, const QString &name) {
    window->raise();
    window->activateWindow();
    QTest::qWait(kSettleMs);
    QScreen *screen = window->screen();
    // From the screen, not from the widget: what a person sees, native preview surfaces included. A window larger
    // than the screen is taken as far as it shows.
    const QRect visible = window->frameGeometry().intersected(screen->geometry());
    const QImage picture = screen->grabWindow(0, visible.x(), visible.y(), visible.width(), visible.height()).toImage();
    const QString folder = qEnvironmentVariable("TIDEWELL_SCREENSHOT_DIR");
    if (!folder.isEmpty()) {
        const QString path = QDir(folder).filePath(name + QStringLiteral(".png"));
        if (picture.save(path))
            qInfo().noquote() << "screenshot" << windowName(window) << path;
    }
    const QString fault = blankness(picture);
    if (!fault.isEmpty())
        qWarning().noquote() << name << "looks blank:" << fault;
    return fault.isEmpty() ? picture : QImage();
}

void TestScreenshots::mainWindowWhileStreaming() {
    auto *strip = window->findChild<TelemetryStrip *>(QStringLiteral("wdgTelemetry"));
    QVERIFY2(testkit::waitUntil([&] { return strip->sampleCount() >= kGraphSamples; }, kStreamWaitMs),
             qPrintable(strip->figuresText()));
    QVERIFY(!shoot(window.get(), QStringLiteral("main-window")).isNull());

    QCOMPARE(strip->legend(), (QStringList{"sent", "video bitrate", "round trip", "lost"}));
    const QStringList axis = strip->axisLabels();
    QVERIFY2(axis.size() == 6 && axis[0].endsWith(" Mbit/s") && axis[1].endsWith(" ms") && axis[2] == "−60 s" &&
                 axis.last() == "now",
             qPrintable(axis.join(" | ")));
    const QString figures = strip->figuresText();
    QVERIFY2(strip->figuresFit(), qPrintable(figures));
    QVERIFY2(figures.startsWith("SRT  sending ") && figures.contains("  round trip ") && figures.contains("lost ") &&
                 figures.contains("  retransmitted ") && figures.contains("  dropped ") &&
                 figures.contains("  link estimate "),
             qPrintable(figures));
    // The graph takes the window's height below the controls: nothing empty under it.
    QWidget *central = window->centralWidget();
    QVERIFY(central->height() - strip->geometry().bottom() - 1 <= central->layout()->contentsMargins().bottom());
}

void TestScreenshots::speedTestAfterAResult() {
    SrtTestListener listener;
    QVERIFY2(listener.start(), qPrintable(listener.errorText()));
    SpeedTest *dialog = nullptr;
    for (QWidget *top : QApplication::topLevelWidgets()) {
        if (auto *found = qobject_cast<SpeedTest *>(top))
            dialog = found;
    }
    QVERIFY(dialog);
    dialog->setParams(QStringLiteral("127.0.0.1"), QString(), listener.port(), QStringLiteral("cam1"), 120, QString(),
                      16, false);
    // Shown without its modal loop, which would hold the test.
    dialog->move(0, 0);
    dialog->show();
    QVERIFY(QTest::qWaitForWindowExposed(dialog));
    dialog->findChild<QPushButton *>(QStringLiteral("cmdRun"))->click();
    auto *result = dialog->findChild<QLabel *>(QStringLiteral("label"));
    QVERIFY2(testkit::waitUntil([&] { return !dialog->testRunning(); }, kSpeedTestWaitMs), qPrintable(result->text()));
    QVERIFY2(result->text().startsWith("Speed: ") && result->text().contains("RECOMMENDED LATENCY: "),
             qPrintable(result->text()));
    const QImage picture = shoot(dialog, QStringLiteral("speed-test"));
    dialog->hide();
    QVERIFY(!picture.isNull());
}

void TestScreenshots::studioPlayerShowingTheFeed() {
    Player *player = window->playerWindow();
    player->move(0, 0);
    player->startPlay(QStringLiteral("srt://127.0.0.1:%1?mode=caller&streamid=cam1#feedbackplay").arg(returnPort));
    QVERIFY2(testkit::waitUntil([&] { return player->worker.phase() == PlayerWorker::Playing; }, kFeedWaitMs),
             qPrintable(server.output()));
    // A few frames on the preview.
    QTest::qWait(1000);
    const QImage picture = shoot(player, QStringLiteral("studio-player"));
    QVERIFY(!picture.isNull());
    // The preview itself shows the Test Pattern, not only the window around it.
    auto *preview = player->findChild<QLabel *>(QStringLiteral("lblPreview"));
    const QRect area(preview->mapTo(player, QPoint(0, 0)), preview->size());
    QVERIFY2(blankness(picture.copy(area.intersected(picture.rect()))).isEmpty(), "the preview is blank");
}

void TestScreenshots::logsWithTheReport() {
    window->findChild<QPushButton *>(QStringLiteral("cmdInfo"))->click();
    LogsDlg *logs = nullptr;
    for (QWidget *top : QApplication::topLevelWidgets()) {
        if (auto *found = qobject_cast<LogsDlg *>(top); found && found->isVisible())
            logs = found;
    }
    QVERIFY(logs);
    logs->move(0, 0);
    const QString text = logs->findChild<QPlainTextEdit *>(QStringLiteral("plainTextEdit"))->toPlainText();
    QVERIFY2(text.contains("--- System Info ---") && text.contains("SRT VERSION: "), qPrintable(text.left(2000)));
    const QImage picture = shoot(logs, QStringLiteral("logs"));
    logs->hide();
    QVERIFY(!picture.isNull());
}

int main(int argc, char *argv[]) {
    return windowtest::run<TestScreenshots>(argc, argv);
}

#include "tst_screenshots.moc"
