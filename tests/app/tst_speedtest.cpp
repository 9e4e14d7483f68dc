// The speed test dialog and its launch from the main window, against the tests' own SRT listener on loopback.
#include "appmessages.h"
#include "mainwindow.h"
#include "speedtest.h"
#include "srttestlistener.h"
#include "testkit.h"
#include "windowtestmain.h"

#include <QProgressBar>

#include <srt/srt.h>

namespace {

// A loss-less run sends its 10 MB at about 4 Mbit/s under ThreadSanitizer: some 20 s.
constexpr int kTestBoundMs = 45000;

QLabel *resultLabel(QWidget *dialog) {
    return dialog->findChild<QLabel *>(QStringLiteral("label"));
}
QPushButton *button(QWidget *dialog, const char *name) {
    return dialog->findChild<QPushButton *>(QLatin1String(name));
}
QProgressBar *progress(QWidget *dialog) {
    return dialog->findChild<QProgressBar *>(QStringLiteral("progressBar"));
}
bool showsSpeed(QWidget *dialog) {
    return resultLabel(dialog)->text().startsWith(QLatin1String("Speed: "));
}
bool aim(SpeedTest &dialog, quint16 port, bool lossless = false) {
    return dialog.setParams(QStringLiteral("127.0.0.1"), QString(), port, QStringLiteral("cam"), 120, QString(), 16,
                            lossless);
}

} // namespace

class TestSpeedTest : public QObject {
    Q_OBJECT

private slots:
    void initTestCase() { srt_startup(); }
    void cleanupTestCase() { srt_cleanup(); }
    void init() { AppMessages::clearHistory(); }

    void resultText_data();
    void resultText();
    void appliedLatency_data();
    void appliedLatency();
    void failureBySendErrors();
    void runAgainstListener_data();
    void runAgainstListener();
    void stopThenStartAgain_data();
    void stopThenStartAgain();
    void closedPortShowsFailure();
    void closingDuringTestEndsIt();
    void launchRefusals_data();
    void launchRefusals();
    void launchRunsTestAndAppliesLatency();
};

void TestSpeedTest::resultText_data() {
    QTest::addColumn<qint64>("elapsedMs");
    QTest::addColumn<qint64>("sent");
    QTest::addColumn<int>("lost");
    QTest::addColumn<int>("dropped");
    QTest::addColumn<double>("rtt");
    QTest::addColumn<QStringList>("fragments");

    testkit::row(
        "8 s, layout", qint64(8000), qint64(15936), 0, 0, 12.7,
        QStringList{"Speed: 10485 Kbs ( we sent 10 Mb in 8 seconds)\nsend pkts: 15936, lost pkts:0 (0%) , "
                    "drops pkts:0 (0%) \n Estimated bandwidth: 4.5 Mbs\n RTT: 13ms\n RECOMMENDED LATENCY: 39ms\n"});
    testkit::row("fraction of a second", qint64(1234), qint64(100), 0, 0, 1.0,
                 QStringList{"Speed: 67978 Kbs", "in 1.234 seconds"});
    testkit::row("round trip 0", qint64(1000), qint64(100), 0, 0, 0.0,
                 QStringList{" RTT: 1ms", "RECOMMENDED LATENCY: 3ms"});
    testkit::row("percentages truncate", qint64(1000), qint64(7968), 3, 159, 1.0,
                 QStringList{"lost pkts:3 (0%) ", "drops pkts:159 (1%) "});
    // No division by zero when the clock saw no time pass.
    testkit::row("elapsed 0", qint64(0), qint64(10), 0, 0, 1.0, QStringList{"Speed: 83886000 Kbs"});
    testkit::row("no packet counted", qint64(8000), qint64(0), 0, 0, 1.0, QStringList());
}

void TestSpeedTest::resultText() {
    QFETCH(qint64, elapsedMs);
    QFETCH(qint64, sent);
    QFETCH(int, lost);
    QFETCH(int, dropped);
    QFETCH(double, rtt);
    QFETCH(QStringList, fragments);
    SRT_TRACEBSTATS stats{};
    stats.pktSentTotal = sent;
    stats.pktSndLossTotal = lost;
    stats.pktSndDropTotal = dropped;
    stats.msRTT = rtt;
    stats.mbpsBandwidth = 4.5;
    const QString text = SpeedTest::resultText(elapsedMs, stats);
    if (fragments.isEmpty())
        QCOMPARE(text, QString());
    for (const QString &fragment : fragments)
        QVERIFY2(text.contains(fragment), qPrintable(text));
}

void TestSpeedTest::appliedLatency_data() {
    QTest::addColumn<double>("rtt");
    QTest::addColumn<int>("applied");
    QTest::newRow("LAN") << 0.3 << 80;
    // 25.x ms recommends 78 ms, 26.x recommends 81 ms.
    QTest::newRow("just below the floor") << 25.9 << 80;
    QTest::newRow("just above the floor") << 26.0 << 81;
    QTest::newRow("long path") << 99.5 << 300;
}

void TestSpeedTest::appliedLatency() {
    QFETCH(double, rtt);
    QFETCH(int, applied);
    QCOMPARE(SpeedTest::appliedLatency(SpeedTest::recommendedLatency(rtt)), applied);
}

void TestSpeedTest::failureBySendErrors() {
    SpeedTest dialog;
    button(&dialog, "cmdRun")->setChecked(true);
    dialog.showResult(8000, 20);
    QCOMPARE(resultLabel(&dialog)->text(), QStringLiteral("Test failed, count errors:20"));
    QVERIFY(!button(&dialog, "cmdRun")->isChecked());
    QVERIFY(!button(&dialog, "cmdUseLatency")->isEnabled());
}

void TestSpeedTest::runAgainstListener_data() {
    QTest::addColumn<bool>("lossless");
    QTest::addColumn<QString>("streamId");
    QTest::newRow("live") << false << "cam#speedtest";
    QTest::newRow("lossless") << true << "cam#speedtest#lossless";
}

void TestSpeedTest::runAgainstListener() {
    QFETCH(bool, lossless);
    QFETCH(QString, streamId);
    SrtTestListener::Options options;
    options.fileMode = lossless;
    SrtTestListener listener(options);
    QVERIFY2(listener.start(), qPrintable(listener.errorText()));

    SpeedTest dialog;
    QVERIFY(aim(dialog, listener.port(), lossless));
    button(&dialog, "cmdRun")->click();
    QCOMPARE(resultLabel(&dialog)->text(), QStringLiteral("Sending data, please wait..."));
    QVERIFY2(testkit::waitUntil([&] { return showsSpeed(&dialog); }, kTestBoundMs),
             qPrintable(resultLabel(&dialog)->text()));
    QCOMPARE(listener.callers().first().streamId, streamId);
    QCOMPARE(progress(&dialog)->value(), progress(&dialog)->maximum());
    QVERIFY(!button(&dialog, "cmdRun")->isChecked());
    QVERIFY(button(&dialog, "cmdUseLatency")->isEnabled());
}

void TestSpeedTest::stopThenStartAgain_data() {
    QTest::addColumn<bool>("duringSend");
    QTest::newRow("during connect") << false;
    QTest::newRow("during send") << true;
}

void TestSpeedTest::stopThenStartAgain() {
    QFETCH(bool, duringSend);
    SrtTestListener listener;
    QVERIFY2(listener.start(), qPrintable(listener.errorText()));
    SpeedTest dialog;
    // Nobody answers on a free port, so the connect phase lasts until the stop.
    aim(dialog, duringSend ? listener.port() : testkit::freePort(true));
    button(&dialog, "cmdRun")->click();
    if (duringSend)
        QVERIFY(testkit::waitUntil([&] { return progress(&dialog)->value() > 0; }, 5000));
    else
        QTest::qWait(300);
    QVERIFY(dialog.testRunning());

    button(&dialog, "cmdRun")->click();
    QCOMPARE(resultLabel(&dialog)->text(), QStringLiteral("Test stopped."));
    QCOMPARE(progress(&dialog)->value(), 0);
    QVERIFY(!dialog.testRunning());

    aim(dialog, listener.port());
    button(&dialog, "cmdRun")->click();
    QVERIFY2(testkit::waitUntil([&] { return showsSpeed(&dialog); }, kTestBoundMs),
             qPrintable(resultLabel(&dialog)->text()));
}

void TestSpeedTest::closedPortShowsFailure() {
    SpeedTest dialog;
    aim(dialog, testkit::freePort(true));
    button(&dialog, "cmdRun")->click();
    // The library gives up after its connect timeout of 3 s.
    QVERIFY(testkit::waitUntil([&] { return !button(&dialog, "cmdRun")->isChecked(); }, 10000));
    QCOMPARE(resultLabel(&dialog)->text(), QStringLiteral("Test failed: SRT CONNECT FAILED"));
}

void TestSpeedTest::closingDuringTestEndsIt() {
    SrtTestListener listener;
    QVERIFY2(listener.start(), qPrintable(listener.errorText()));
    auto dialog = std::make_unique<SpeedTest>();
    aim(*dialog, listener.port());
    button(dialog.get(), "cmdRun")->click();
    QVERIFY(testkit::waitUntil([&] { return progress(dialog.get())->value() > 0; }, 5000));
    // What the program's end does: the dialog goes with the main window, and the library right after it.
    QElapsedTimer clock;
    clock.start();
    dialog.reset();
    QVERIFY2(clock.elapsed() < 1000, qPrintable(QStringLiteral("%1 ms").arg(clock.elapsed())));
    QVERIFY(testkit::waitUntil([&] { return listener.callers().value(0).closed; }, 5000));
}

void TestSpeedTest::launchRefusals_data() {
    QTest::addColumn<QStringList>("form");
    QTest::addColumn<QString>("warning");
    testkit::row("no stream id", QStringList{"txtURL=127.0.0.1:9000", "txtStreamID="},
                 "Warning: Please enter streamid.");
    testkit::row("no port", QStringList{"txtURL=srt://127.0.0.1", "txtStreamID=cam"},
                 "Warning: Incorrect SRT Server. Please enter host and port.");
}

void TestSpeedTest::launchRefusals() {
    QFETCH(QStringList, form);
    QFETCH(QString, warning);
    MainWindow window;
    QVERIFY(windowtest::fill(window, form));
    bool dialogShown = false;
    QTimer::singleShot(0, [&] {
        if (QWidget *modal = QApplication::activeModalWidget()) {
            dialogShown = true;
            modal->close();
        }
    });
    windowtest::control<QPushButton>(window, "cmdSpeedTest")->click();
    QCoreApplication::processEvents();
    QVERIFY(!dialogShown);
    QCOMPARE(AppMessages::history(), QStringList{warning});
}

void TestSpeedTest::launchRunsTestAndAppliesLatency() {
    SrtTestListener listener;
    QVERIFY2(listener.start(), qPrintable(listener.errorText()));
    MainWindow window;
    QVERIFY(windowtest::fill(window, {QStringLiteral("txtURL=SRT://127.0.0.1:%1").arg(listener.port()),
                                      "txtStreamID=cam", "chkLL=0", "spbLatency=500"}));
    QString result;
    // The dialog runs modally; this drives it from inside its own event loop.
    QTimer::singleShot(0, [&] {
        QWidget *dialog = QApplication::activeModalWidget();
        if (!dialog || !button(dialog, "cmdRun"))
            return;
        button(dialog, "cmdRun")->click();
        testkit::waitUntil([&] { return showsSpeed(dialog); }, kTestBoundMs);
        result = resultLabel(dialog)->text();
        button(dialog, "cmdUseLatency")->click();
        dialog->close();
    });
    windowtest::control<QPushButton>(window, "cmdSpeedTest")->click();

    QVERIFY2(result.startsWith(QLatin1String("Speed: ")), qPrintable(result));
    QCOMPARE(listener.callers().first().streamId, QStringLiteral("cam#speedtest"));
    // Loopback's round trip recommends a few milliseconds; the floor applies.
    QCOMPARE(windowtest::control<QSpinBox>(window, "spbLatency")->value(), SpeedTest::kMinAppliedLatencyMs);
    QVERIFY(testkit::waitUntil(
        [&] { return windowtest::logText().contains(QLatin1String("LATENCY FROM SPEED TEST : 80 ms")); }, 2000));
    QVERIFY(windowtest::logText().contains(QLatin1String("SPEED TEST TO SERVER : 127.0.0.1(resolved to 127.0.0.1)")));
    QVERIFY(window.waitForWorkers(10000));
}

int main(int argc, char *argv[]) {
    return windowtest::run<TestSpeedTest>(argc, argv);
}

#include "tst_speedtest.moc"
