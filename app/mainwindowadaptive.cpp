// Adaptive bitrate: the link's figures step the running encoder's video bitrate down and back up.
#include "mainwindow.h"
#include "ui_mainwindow.h"

#include "capturestreamer.h"
#include "linktelemetry.h"
#include "logsdlg.h"
#include "mfwriter.h"
#include "resender.h"

#include <QTimer>

void MainWindow::setupAdaptiveBitrate() {
    connect(telemetry, &LinkTelemetry::sampled, this, &MainWindow::onLinkSample);
    // Several samples a second: a link that narrows fills its queue within a second, and the encoder must have
    // stepped down before the queue overflows.
    adaptivePulse = new QTimer(this);
    adaptivePulse->setInterval(RESender::kPulseMs);
    connect(adaptivePulse, &QTimer::timeout, this, [this] { applyAdaptiveSample(srtSender->linkPulse()); });
    connect(ui->cmbEncs, QOverload<int>::of(&QComboBox::currentIndexChanged), this,
            [this] { updateAdaptiveAvailability(); });
    // Connected after the form's own slot, which stores the choice this reads.
    connect(ui->cmbParam_1, &QComboBox::currentTextChanged, this, [this] { updateAdaptiveAvailability(); });
    updateAdaptiveAvailability();
}

void MainWindow::updateAdaptiveAvailability() {
    QStringList cannot;
    for (int i = 0; i < ui->cmbEncs->count(); ++i) {
        if (!MFWriter::changesVideoBitrateInPlace(ui->cmbEncs->itemData(i).toString()))
            cannot << ui->cmbEncs->itemText(i);
    }
    QString tip = tr("Lower the video bitrate while the link cannot carry it and raise it again when the link is "
                     "clean, without restarting the stream");
    if (!cannot.isEmpty())
        tip += QLatin1Char('\n') + tr("Not available with: %1").arg(cannot.join(QStringLiteral(", ")));
    tip += QLatin1Char('\n') + tr("Nor with the rate controls cqp and quality; with libx264 not with cbr and avbr");
    if (ui->cmbEncs->findData(QStringLiteral("x265sw")) >= 0)
        tip +=
            QLatin1Char('\n') + tr("HEVC (Software): FFmpeg's libx265 takes the bitrate only when the stream starts");
    ui->chkAdaptive->setToolTip(tip);
    ui->chkAdaptive->setEnabled(
        MFWriter::changesVideoBitrateInPlace(ui->cmbEncs->currentData().toString(), currentRateControl()));
}

QString MainWindow::currentRateControl() const {
    return currentEncoder.isEmpty() ? QString() : encoderParams.value(currentEncoder).value(0);
}

void MainWindow::startAdaptiveBitrate(const QString &codec, int videoKbps, int audioKbps, bool rist) {
    // Judged by the encoder, not by the box's enabled state, which follows the whole encoding group.
    adaptiveActive = ui->chkAdaptive->isChecked() && MFWriter::changesVideoBitrateInPlace(codec, currentRateControl());
    // Only the SRT relay can pad the stream to probe the link before the encoder is asked for more.
    adaptive.reset(videoKbps, !rist, audioKbps);
    if (!adaptiveActive)
        return;
    if (!rist)
        adaptivePulse->start();
    logs->addMessage(QStringLiteral("ADAPTIVE BITRATE: on, %1 to %2 kbit/s").arg(adaptive.floorKbps()).arg(videoKbps));
}

void MainWindow::stopAdaptiveBitrate() {
    adaptiveActive = false;
    adaptivePulse->stop();
    srtSender->setPaddingKbps(0);
}

void MainWindow::onLinkSample(const LinkStats &stats) {
    if (!adaptivePulse->isActive())
        applyAdaptiveSample(stats);
}

void MainWindow::applyAdaptiveSample(const LinkStats &stats) {
    if (!adaptiveActive || !isStreaming)
        return;
    const AdaptiveBitrate::Step step = adaptive.onSample(stats);
    if (step.paddingKbps >= 0)
        srtSender->setPaddingKbps(step.paddingKbps);
    if (step.kbps <= 0)
        return;
    const int before = telemetry->currentEncoderKbps();
    if (!capture->setVideoBitrate(step.kbps))
        return;
    telemetry->setEncoderKbps(step.kbps);
    logs->addMessage(
        QStringLiteral("ADAPTIVE BITRATE: %1 -> %2 kbit/s (%3)").arg(before).arg(step.kbps).arg(step.reason));
}
