#include "speedtest.h"
#include "ui_speedtest.h"

#include "threadtest.h"

#include <QDeadlineTimer>

namespace {
// 10485760 bytes × 8 / 1000, rounded down: the speed assumes exactly 10 MiB went out.
constexpr double kTestKilobits = 83886;
constexpr int kProgressIntervalMs = 1;
// Closing the program waits this long for running workers, which end within a second of being told.
constexpr int kCloseWaitMs = 3000;
} // namespace

SpeedTest::SpeedTest(QWidget *parent) : QDialog(parent), ui(new Ui::SpeedTest) {
    ui->setupUi(this);
    ui->progressBar->setMaximum(ThreadTest::kTestBytes);
    connect(&timer, &QTimer::timeout, this, &SpeedTest::progressStep, Qt::DirectConnection);
}

SpeedTest::~SpeedTest() {
    timer.stop();
    stopWorker();
    const QDeadlineTimer deadline(kCloseWaitMs);
    // Finished tests may still be holding their connection for the latency; they let go when told.
    for (ThreadTest *test : qAsConst(stopping))
        test->requestStop();
    for (ThreadTest *test : qAsConst(stopping)) {
        // One that does not end in time is left behind: destroying a running thread aborts the program.
        if (test->wait(deadline))
            delete test;
    }
    delete ui;
}

bool SpeedTest::setParams(const QString &host, const QString &interfaceAddress, int port, const QString &streamId,
                          int latency, const QString &passphrase, int keyLength, bool lossless) {
    this->host = host;
    this->interfaceAddress = interfaceAddress;
    this->port = port;
    this->streamId = streamId + QStringLiteral("#speedtest");
    this->latency = latency;
    this->passphrase = passphrase;
    this->keyLength = keyLength;
    this->lossless = lossless;
    return true;
}

bool SpeedTest::testRunning() const {
    return worker != nullptr;
}

void SpeedTest::on_cmdRun_clicked() {
    deleteEndedWorkers();
    if (ui->cmdRun->isChecked()) {
        ui->progressBar->setValue(0);
        ui->label->setText(tr("Sending data, please wait..."));
        ui->cmdUseLatency->setEnabled(false);
        recommendedMs = 0;
        worker = new ThreadTest(host, interfaceAddress, port, streamId, latency, passphrase, keyLength, lossless);
        worker->start(QThread::HighPriority);
        timer.start(kProgressIntervalMs);
    } else {
        timer.stop();
        stopWorker();
        ui->label->setText(tr("Test stopped."));
        ui->progressBar->setValue(0);
    }
}

void SpeedTest::on_cmdUseLatency_clicked() {
    if (recommendedMs > 0)
        emit latencyChosen(appliedLatency(recommendedMs), recommendedMs);
}

void SpeedTest::stopWorker() {
    if (!worker)
        return;
    // Never waits here: the worker sees the request within its next slice and ends on its own.
    worker->requestStop();
    stopping.append(worker);
    worker = nullptr;
}

void SpeedTest::deleteEndedWorkers() {
    for (auto it = stopping.begin(); it != stopping.end();) {
        if ((*it)->isFinished()) {
            delete *it;
            it = stopping.erase(it);
        } else {
            ++it;
        }
    }
}

void SpeedTest::progressStep() {
    if (!worker)
        return;
    const int sent = ThreadTest::kTestBytes - worker->remainingBytes();
    ui->progressBar->setValue(qBound(0, sent, ThreadTest::kTestBytes));
    if (!worker->done())
        return;
    timer.stop();
    ThreadTest *ended = worker;
    worker = nullptr;
    stopping.append(ended);
    if (ended->errorCount() < ThreadTest::kMaxErrors && !ended->failureText().isEmpty()) {
        ui->progressBar->setValue(0);
        ui->label->setText(tr("Test failed: ") + ended->failureText());
        ui->cmdRun->setChecked(false);
        return;
    }
    ui->progressBar->setValue(ThreadTest::kTestBytes);
    lastStats = ended->statistics();
    showResult(ended->elapsedMs(), ended->errorCount());
}

void SpeedTest::showResult(qint64 elapsedMs, int errorCount) {
    recommendedMs = 0;
    if (errorCount >= ThreadTest::kMaxErrors) {
        ui->label->setText(tr("Test failed, count errors:") + QString::number(errorCount));
    } else {
        const QString text = resultText(elapsedMs, lastStats);
        if (!text.isEmpty()) {
            ui->label->setText(text);
            recommendedMs = recommendedLatency(lastStats.msRTT);
        }
    }
    ui->cmdUseLatency->setEnabled(recommendedMs > 0);
    ui->cmdRun->setChecked(false);
}

int SpeedTest::recommendedLatency(double msRTT) {
    return 3 * (int(msRTT) + 1);
}

QString SpeedTest::resultText(qint64 elapsedMs, const SRT_TRACEBSTATS &stats) {
    const qint64 sent = stats.pktSentTotal;
    if (sent <= 0)
        return QString();
    const qint64 lost = stats.pktSndLossTotal;
    const qint64 dropped = stats.pktSndDropTotal;
    // A test that ended within the clock's resolution still gets a finite speed.
    const double seconds = qMax<qint64>(elapsedMs, 1) / 1000.0;
    const int rtt = int(stats.msRTT) + 1;
    return tr("Speed: ") + QString::number(qint64(kTestKilobits / seconds)) + tr(" Kbs ( we sent ") +
           QStringLiteral("10") + tr(" Mb in ") + QString::number(seconds, 'g', 6) + tr(" seconds)\nsend pkts: ") +
           QString::number(sent) + tr(", lost pkts:") + QString::number(lost) + QStringLiteral(" (") +
           QString::number(qint64(lost * 100.0 / sent)) + QStringLiteral("%) ") + tr(", drops pkts:") +
           QString::number(dropped) + QStringLiteral(" (") + QString::number(qint64(dropped * 100.0 / sent)) +
           QStringLiteral("%) ") + tr("\n Estimated bandwidth: ") + QString::number(stats.mbpsBandwidth, 'g', 6) +
           tr(" Mbs") + tr("\n RTT: ") + QString::number(rtt) + QStringLiteral("ms") + tr("\n RECOMMENDED LATENCY: ") +
           QString::number(3 * rtt) + QStringLiteral("ms") +
           tr("\n (speed of the payload; SRT, UDP and IP headers come on top)");
}
