#pragma once

#include <QDialog>
#include <QList>
#include <QString>
#include <QTimer>

#include <srt/srt.h>

namespace Ui {
class SpeedTest;
}

class ThreadTest;

// The bandwidth test dialog: one Run/Stop button, a progress bar that follows the bytes sent, the result, and a
// button that hands the recommended latency to the main window. Created once with the main window and run modally;
// each Start runs a new ThreadTest.
class SpeedTest : public QDialog {
    Q_OBJECT

public:
    // A LAN round trip of 1 ms would recommend 3 ms, which any jitter breaks; less than this is never applied.
    static constexpr int kMinAppliedLatencyMs = 80;

    explicit SpeedTest(QWidget *parent = nullptr);
    // Stops a running test and waits for it, bounded.
    ~SpeedTest() override;

    // Stores the destination for the next Start; the stream id gets "#speedtest". Always true.
    bool setParams(const QString &host, const QString &interfaceAddress, int port, const QString &streamId, int latency,
                   const QString &passphrase, int keyLength, bool lossless);

    // The result text of a test that sent everything; empty when the library counted no packet (the label then
    // stays as it is).
    static QString resultText(qint64 elapsedMs, const SRT_TRACEBSTATS &stats);
    // Three round trips, the round trip counted in whole milliseconds rounded up by one.
    static int recommendedLatency(double msRTT);
    // The latency "Use recommended latency" applies for a recommendation.
    static int appliedLatency(int recommendedMs) { return qMax(recommendedMs, kMinAppliedLatencyMs); }

    bool testRunning() const;
    // Writes the result of the test that just ended (or its failure by send errors) into the label and releases
    // the Run button.
    void showResult(qint64 elapsedMs, int errorCount);

signals:
    // "Use recommended latency" was pressed; ms is already raised to kMinAppliedLatencyMs.
    void latencyChosen(int ms, int recommendedMs);

private slots:
    void on_cmdRun_clicked();
    void on_cmdUseLatency_clicked();

private:
    void progressStep();
    void stopWorker();
    void deleteEndedWorkers();

    Ui::SpeedTest *ui;
    QString host;
    QString interfaceAddress;
    int port = 0;
    QString streamId;
    QString passphrase;
    int keyLength = 0;
    bool lossless = false;
    int latency = 0;
    ThreadTest *worker = nullptr;
    QTimer timer;
    // Stopped workers still on their way out; they end within a second and are deleted at the next chance.
    QList<ThreadTest *> stopping;
    // Statistics of the last finished test, and the latency its result recommends (0 for none).
    SRT_TRACEBSTATS lastStats{};
    int recommendedMs = 0;
};
