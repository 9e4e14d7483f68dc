// The telemetry strip and the log line fed from a relay's snapshots (a stand-in source at a shortened second),
// alone and in the main window.
#include "linktelemetry.h"
#include "logsdlg.h"
#include "mainwindow.h"
#include "telemetrystrip.h"
#include "testkit.h"
#include "windowtestmain.h"

#include <QJsonArray>
#include <QJsonObject>
#include <QLayout>

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

// Figures as large as a link gives them, so that the widest line a stream can show is laid out.
LinkStats wideSample(const QString &transport, int paths) {
    LinkStats stats;
    stats.transport = transport;
    stats.sequence = 1;
    stats.sendRateMbps = 123.45;
    stats.rttMs = 1234;
    stats.sendBufferMs = 1200;
    stats.bandwidthMbps = 999.9;
    stats.sentInterval = 1000;
    stats.lostInterval = 123;
    stats.lostTotal = 1234567;
    stats.retransmittedInterval = 456;
    stats.retransmittedTotal = 7654321;
    stats.droppedTotal = 99999;
    for (int i = 0; i < paths; ++i) {
        LinkPathStats path;
        path.interfaceAddress = QStringLiteral("192.168.200.%1").arg(201 + i);
        // Two servers: each row names its route in full.
        path.destination = QStringLiteral("203.0.113.%1:65535").arg(249 + i % 2);
        path.rttMs = 1234;
        path.quality = 99.5;
        path.retransmittedInterval = 4567;
        path.retransmittedTotal = 7654321;
        path.bandwidthMbps = 123.45;
        // SRT: a main and a backup server, each with its own figures.
        if (transport == QLatin1String("SRT")) {
            path.role = i == 0 ? QStringLiteral("main") : QStringLiteral("backup");
            path.sendRateMbps = 123.45;
            path.sentInterval = 1000;
            path.lostInterval = 123;
            path.alive = i == 0;
        }
        stats.paths << path;
    }
    return stats;
}

} // namespace

class TestTelemetry : public QObject {
    Q_OBJECT

private slots:
    void stripAndLogFollowTheSnapshots();
    void figuresShowWholeAtTheWindowsWidth_data();
    void figuresShowWholeAtTheWindowsWidth();
    void windowKeepsRespondingWhileFiguresFlow();
};

void TestTelemetry::stripAndLogFollowTheSnapshots() {
    LogsDlg logs;
    auto *edit = logs.findChild<QPlainTextEdit *>(QStringLiteral("plainTextEdit"));
    TelemetryStrip strip;
    // Wide enough for each group of figures on one line.
    strip.resize(1000, strip.sizeHint().height());
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
    // The graph explains itself before anything is drawn in it; a scale comes with the first figures.
    QCOMPARE(strip.legend(), (QStringList{"sent", "video bitrate", "round trip", "lost"}));
    QCOMPARE(strip.axisLabels(), (QStringList{"−60 s", "−40 s", "−20 s", "now"}));

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
    QCOMPARE(lines, (QStringList{"RIST  sending 3.50 Mbit/s  round trip 12 ms",
                                 "lost 2.0 % (0 in all)  retransmitted 0.0 % (0 in all)  dropped 0  video 3200 of "
                                 "4000 kbit/s",
                                 "path to 203.0.113.5:5004  round trip  quality  rate  retransmitted",
                                 "10.1.0.2  0 ms  99.5 %  0.00 Mbit/s  0 (0 in all)", "10.2.0.2  silent"}));
    QVERIFY(strip.figuresFit());
    // The rate scale tops the larger of the send rate and the encoder's bitrate; the round trip's starts at 50 ms.
    QCOMPARE(strip.axisLabels().mid(0, 2), (QStringList{"4 Mbit/s", "50 ms"}));
    QVERIFY(strip.minimumHeight() > int(lines.size()) * strip.fontMetrics().lineSpacing());
    const QImage picture = strip.grab().toImage();
    QVERIFY(!picture.isNull());
    if (qEnvironmentVariableIsSet("TIDEWELL_TELEMETRY_PICTURE"))
        picture.save(qEnvironmentVariable("TIDEWELL_TELEMETRY_PICTURE"));
    telemetry.stop();
}

void TestTelemetry::figuresShowWholeAtTheWindowsWidth_data() {
    QTest::addColumn<QString>("transport");
    QTest::addColumn<int>("paths");
    QTest::newRow("SRT") << "SRT" << 0;
    QTest::newRow("SRT, main and backup") << "SRT" << 2;
    QTest::newRow("RIST, three paths") << "RIST" << 3;
}

void TestTelemetry::figuresShowWholeAtTheWindowsWidth() {
    QFETCH(QString, transport);
    QFETCH(int, paths);
    MainWindow window;
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    auto *strip = window.findChild<TelemetryStrip *>(QStringLiteral("wdgTelemetry"));
    const LinkStats sample = wideSample(transport, paths);
    strip->addSample(sample, 4000, 3200);
    QApplication::processEvents();

    // Every figure whole, none cut at the window's edge, and each RIST path on its own line.
    QVERIFY2(strip->figuresFit(), qPrintable(strip->figuresText()));
    const QString text = strip->figuresText();
    for (const char *figure : {"sending 123.45 Mbit/s", "round trip 1234 ms", "lost 12.3 % (1234567 in all)",
                               "retransmitted 45.6 % (7654321 in all)", "dropped 99999", "video 3200 of 4000 kbit/s"})
        QVERIFY2(text.contains(QLatin1String(figure)), figure);
    if (transport == QLatin1String("SRT"))
        QVERIFY(text.contains("send buffer 1200 ms") && text.contains("link estimate 999.9 Mbit/s"));
    // Large scales read as plain numbers.
    QCOMPARE(strip->axisLabels().mid(0, 2), (QStringList{"150 Mbit/s", "1500 ms"}));
    const QStringList lines = text.split(QLatin1Char('\n'));
    if (transport == QLatin1String("SRT") && paths == 2) {
        QVERIFY2(lines.contains("main  192.168.200.201 → 203.0.113.249:65535  1234 ms  12.3 %  4567") &&
                     lines.contains("backup  192.168.200.202 → 203.0.113.250:65535  reconnecting"),
                 qPrintable(text));
        // The log's LINK line and the statistics file name each server and its role the same way.
        QCOMPARE(sample.pathSummary(sample.paths[1]),
                 QStringLiteral("backup server 203.0.113.250:65535 from 192.168.200.202: reconnecting"));
        const QJsonArray records = sample.toJson(0).value("paths").toArray();
        QCOMPARE(records.at(0).toObject().value("role").toString(), QStringLiteral("main"));
        QCOMPARE(records.at(0).toObject().value("lost_packets").toInt(), 123);
        QVERIFY(!records.at(1).toObject().value("alive").toBool());
        paths = 0;
    }
    for (int i = 0; i < paths; ++i) {
        const QString row = QStringLiteral("192.168.200.%1 → 203.0.113.%2:65535  1234 ms  99.5 %  123.45 Mbit/s  "
                                           "4567 (7654321 in all)")
                                .arg(201 + i)
                                .arg(249 + i % 2);
        QVERIFY2(lines.contains(row), qPrintable(text));
    }

    // The window ends where its content ends: the strip's graph takes the height below the controls.
    auto *central = window.centralWidget();
    const int below = central->height() - strip->geometry().bottom() - 1;
    QVERIFY2(below <= central->layout()->contentsMargins().bottom(), qPrintable(QString::number(below)));
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
