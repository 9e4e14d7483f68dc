// The telemetry strip and the log line fed from a relay's snapshots (a stand-in source at a shortened second),
// alone and in the main window.
#include "linktelemetry.h"
#include "logsdlg.h"
#include "mainwindow.h"
#include "telemetrystrip.h"
#include "testkit.h"
#include "windowtestmain.h"

#include <QtTest>

#include <QElapsedTimer>
#include <QPlainTextEdit>
#include <QTimer>

#include <algorithm>

namespace {

LinkStats ristSample(quint64 sequence) {
    LinkStats stats;
    stats.transport = QStringLiteral("RIST");
    stats.sequence = sequence;
    stats.sendRateMbps = 3.5;
    stats.rttMs = 12;
    stats.sentInterval = 300;
    stats.lostInterval = 6;
    LinkPathStats a;
    a.interfaceAddress = QStringLiteral("10.1.0.2");
    a.destination = QStringLiteral("203.0.113.5:5004");
    a.quality = 99.5;
    LinkPathStats b = a;
    b.interfaceAddress = QStringLiteral("10.2.0.2");
    b.alive = false;
    stats.paths = {a, b};
    return stats;
}

// Time this thread was ready to run but waited for a processor (Linux's schedstat): on a machine shared with
// other work, that part of an event-loop gap is not the program's.
qint64 runQueueWaitMs() {
    QFile file(QStringLiteral("/proc/thread-self/schedstat"));
    if (!file.open(QIODevice::ReadOnly))
        return 0;
    return file.readAll().split(' ').value(1).toLongLong() / 1000000;
}

} // namespace

class TestTelemetry : public QObject {
    Q_OBJECT

private slots:
    void stripAndLogFollowTheSnapshots();
    void windowKeepsRespondingWhileFiguresFlow();
};

void TestTelemetry::stripAndLogFollowTheSnapshots() {
    LogsDlg logs;
    auto *edit = logs.findChild<QPlainTextEdit *>(QStringLiteral("plainTextEdit"));
    TelemetryStrip strip;
    strip.resize(600, strip.sizeHint().height());
    LinkTelemetry telemetry(&logs);
    telemetry.setStrip(&strip);
    telemetry.setIntervalMs(5);
    QSignalSpy sampled(&telemetry, &LinkTelemetry::sampled);

    // Nothing measured yet: nothing is shown, logged or passed on.
    quint64 sequence = 0;
    telemetry.start([&] { return ristSample(sequence); }, 4000);
    QTest::qWait(100);
    QCOMPARE(sampled.count(), 0);
    QCOMPARE(strip.figuresText(), QStringLiteral("Link: not streaming"));

    sequence = 1;
    QVERIFY(testkit::waitUntil([&] { return sampled.count() >= 75; }, 5000));
    telemetry.stop();
    const int samples = sampled.count();
    // The figures do not change, so the log counts the repeated line instead of showing it again.
    logs.addMessage(QStringLiteral("end"));
    const QRegularExpressionMatch repeated =
        QRegularExpression(QStringLiteral("LINK RIST: sending 3.50 Mbit/s[^\n]*\n\nlast message repeated (\\d+) times"))
            .match(edit->toPlainText());
    QVERIFY2(repeated.hasMatch(), qPrintable(edit->toPlainText()));
    QCOMPARE(edit->toPlainText().count(QStringLiteral("LINK RIST: sending 3.50 Mbit/s")), 1);
    QCOMPARE(1 + repeated.captured(1).toInt(), samples / 10);
    QVERIFY(edit->toPlainText().contains(QStringLiteral("; 10.2.0.2 to 203.0.113.5:5004: silent")));

    // After stop the strip is back to idle; while running it showed one line per path and kept one minute.
    QCOMPARE(strip.sampleCount(), 0);
    telemetry.start([&] { return ristSample(sequence); }, 4000);
    telemetry.setEncoderKbps(3200);
    QVERIFY(testkit::waitUntil([&] { return strip.sampleCount() == TelemetryStrip::kHistorySeconds; }, 5000));
    QTest::qWait(100);
    QCOMPARE(strip.sampleCount(), TelemetryStrip::kHistorySeconds);
    const QStringList lines = strip.figuresText().split(QLatin1Char('\n'));
    QCOMPARE(lines.size(), 3);
    QVERIFY2(lines[0].contains(QStringLiteral("lost 2.0 %")) && lines[0].contains(QStringLiteral("3200 of 4000")),
             qPrintable(lines[0]));
    QVERIFY(lines[1].contains(QStringLiteral("10.1.0.2 to 203.0.113.5:5004: round trip")));
    QVERIFY(strip.minimumHeight() > 3 * strip.fontMetrics().lineSpacing());
    const QImage picture = strip.grab().toImage();
    QVERIFY(!picture.isNull());
    if (qEnvironmentVariableIsSet("TIDEWELL_TELEMETRY_PICTURE"))
        picture.save(qEnvironmentVariable("TIDEWELL_TELEMETRY_PICTURE"));
    telemetry.stop();
}

void TestTelemetry::windowKeepsRespondingWhileFiguresFlow() {
    // 25 times the real rate, so that the strip's minute fills and the log line comes several times a second.
    constexpr int kSampleMs = 40;
    constexpr int kProbeMs = 50;
    constexpr int kRunMs = 3000;
    constexpr qint64 kWorstGapMs = 100;
    MainWindow window;
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    auto *strip = window.findChild<TelemetryStrip *>(QStringLiteral("wdgTelemetry"));
    QVERIFY(strip);
    LinkTelemetry *telemetry = window.linkTelemetry();
    telemetry->setIntervalMs(kSampleMs);
    quint64 sequence = 0;
    telemetry->start([&] { return ristSample(++sequence); }, 4000);

    QElapsedTimer clock;
    clock.start();
    qint64 last = 0;
    qint64 lastWaited = runQueueWaitMs();
    qint64 worst = 0;
    qint64 wallWorst = 0;
    QTimer probe;
    probe.setTimerType(Qt::PreciseTimer);
    connect(&probe, &QTimer::timeout, [&] {
        const qint64 now = clock.elapsed();
        const qint64 waited = runQueueWaitMs();
        worst = std::max(worst, now - last - (waited - lastWaited));
        wallWorst = std::max(wallWorst, now - last);
        last = now;
        lastWaited = waited;
    });
    probe.start(kProbeMs);
    QTest::qWait(kRunMs);
    probe.stop();
    QVERIFY2(strip->sampleCount() == TelemetryStrip::kHistorySeconds, qPrintable(QString::number(sequence)));
    telemetry->stop();
    QVERIFY2(worst < kWorstGapMs, qPrintable(QStringLiteral("the event loop stood still for %1 ms (%2 ms with the "
                                                            "machine's other work)")
                                                 .arg(worst)
                                                 .arg(wallWorst)));
}

int main(int argc, char *argv[]) {
    return windowtest::run<TestTelemetry>(argc, argv);
}
#include "tst_telemetry.moc"
