// Starting and stopping a stream, the status line, the restart after a relay failure and the auto-start.
#include "mainwindow.h"
#include "ui_mainwindow.h"

#include "appmessages.h"
#include "capturestreamer.h"
#include "ckblblwidget.h"
#include "linktelemetry.h"
#include "logsdlg.h"
#include "resender.h"
#include "resenderrist.h"
#include "resolvehost.h"
#include "srtstreamid.h"
#include "streamrules.h"
#include "tpreviewdlg.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QDebug>
#include <QGridLayout>
#include <QSettings>
#include <QTimer>

#include <algorithm>

namespace {
// The listener is checked this often while the relay opens it.
constexpr int kListenerPollMs = 20;
} // namespace

void MainWindow::on_cmdStart_clicked() {
    qDebug() << "cmd Start clicked " << isStreaming << "mainwindow" << __LINE__;
    toggleStreaming();
}

bool MainWindow::collectBondings(QString *paths) {
    QMutexLocker locker(&bondingsMutex);
    // A Start that failed earlier left its paths here; this stream uses exactly the rows ticked now.
    activeBondings.clear();
    for (const CkbLblWidget *row : bondingRows()) {
        if (row->isChecked()) {
            *paths += row->pathText() + QLatin1Char(',');
            activeBondings.append(row->pathText());
        }
    }
    return !paths->isEmpty();
}

bool MainWindow::streamRequest(StreamRequest *request, QDeadlineTimer deadline) {
    request->rist = ui->rbRist->isChecked();
    if (request->rist) {
        QString paths;
        if (!collectBondings(&paths)) {
            AppMessages::warning(this, QStringLiteral("Fail rist start"),
                                 QStringLiteral("Please, select which path to send the rist stream from!"));
            qDebug() << "not selected any " << isStreaming << "mainwindow" << __LINE__;
            return false;
        }
        paths.chop(1);
        qDebug() << "all bondings: " << paths << "mainwindow" << __LINE__;
        request->bondings = paths;
        request->servers = ui->txtURL_rist->text().trimmed().toLower();
        request->ristStreamId = ui->txtStreamID_rist->text();
        request->secret = ui->txtPassphrase_rist->text();
    } else {
        if (!streamrules::passphraseAcceptable(ui->txtPassphrase->text())) {
            AppMessages::warning(this, tr("Warning"), tr("Passphrase should be empty or 10-79 chars"));
            return false;
        }
        const streamrules::SrtServer server = streamrules::parseSrtServer(ui->txtURL->text());
        if (!server.valid) {
            AppMessages::warning(this, tr("Warning"), tr("Incorrect SRT Server. Please enter host and port."));
            return false;
        }
        // The id goes out with its suffixes; libsrt would refuse it at every connection attempt.
        QString onWire = ui->txtStreamID->text();
        if (ui->chkAlpha->isChecked())
            onWire += QStringLiteral("#alpha");
        if (ui->chkLL->isChecked())
            onWire += QStringLiteral("#lossless");
        if (refuseOverlongStreamId(onWire))
            return false;
        request->host = server.host;
        request->port = server.port;
        bool timedOut = false;
        request->address = resolveHost(server.host, true, deadline, &timedOut);
        qDebug() << request->host << request->address;
        // An empty address fails at the relay's connect like an unknown name, so the restart policy applies.
        if (timedOut)
            logs->addMessage(QStringLiteral("NAME LOOKUP TIMED OUT: ") + request->host);
        logs->addMessage(QStringLiteral("STREAM TO SERVER : ") + request->host + QStringLiteral("(resolved to ") +
                         request->address + QStringLiteral(")"));
    }
    request->interfaceAddress = senderInterface();
    request->streamId = ui->txtStreamID->text();
    request->latency = ui->spbLatency->value();
    request->passphrase = ui->txtPassphrase->text();
    request->keyLength = ui->cmbPBKeyLen->currentData().toInt();
    request->lossless = ui->chkLL->isChecked();

    request->frameSize = ui->cmbFrames->currentData().toSize();
    request->videoBitrate = ui->spbVBR->value();
    request->audioBitrate = ui->cmbABR->currentText().toInt();
    const streamrules::VideoChoice video =
        streamrules::videoChoice(ui->cmbVideoSources->currentText(), ui->cmbVideoSources->currentData());
    request->videoDevice = video.deviceName;
    request->displayIndex = video.displayIndex;
    request->audioChoice =
        streamrules::audioChoice(ui->cmbAudioSources->currentText(), ui->cmbAudioSources->currentData());
    if (ui->cmbAudioSources->currentData().toString() == QLatin1String("NO_AUDIO"))
        request->audioBitrate = 0;
    request->codec = ui->cmbEncs->currentData().toString();
    request->frameRate = ui->cmbFPS->currentData().toInt();
    request->interlace = streamrules::interlaceCode(ui->cmbFPS->currentText());
    request->encoderOptions =
        currentEncoder.isEmpty()
            ? QString()
            : streamrules::encoderOptionText(encoderOptionsFormat, encoderParams.value(currentEncoder));
    request->audioChannels = ui->txtAudio->text().trimmed();
    request->sampleRate = ui->cmbSPR->currentData().toInt();
    return true;
}

bool MainWindow::waitForListener(int *port, const std::atomic<int> &listenPort, QDeadlineTimer startDeadline) {
    // The relay opens its listener at once; a relay that cannot (or whose previous run is stuck) must not
    // hold the window, so the wait is bounded and a failed listen (-1) ends it at once.
    const QDeadlineTimer deadline = std::min(QDeadlineTimer(kListenerWaitMs), startDeadline);
    for (;;) {
        const int published = listenPort.load();
        if (published > 0) {
            *port = published;
            return true;
        }
        if (published < 0 || deadline.hasExpired())
            return false;
        QThread::msleep(kListenerPollMs);
    }
}

void MainWindow::stopRelay(bool rist) {
    if (rist)
        ristSender->stopRetransmit();
    else
        srtSender->stopRetransmit();
}

void MainWindow::refuseStart(bool rist, const QString &logLine, const QString &warning) {
    stopRelay(rist);
    ui->cmdStart->setText(tr("START"));
    logs->addMessage(logLine);
    AppMessages::warning(this, tr("Warning"), warning);
}

bool MainWindow::startStreaming(const StreamRequest &request, QDeadlineTimer deadline) {
    // The previous capture run first: if it is stuck, no relay is started for nothing, and the waits inside
    // setDevices and startCapture then find the thread idle.
    const auto refuseStuckCapture = [this, &request] {
        refuseStart(request.rist, QStringLiteral("START FAILED: the previous capture run has not ended"),
                    tr("The stream could not be started: the previous capture has not ended yet."));
        return false;
    };
    if (!capture->waitForStoppingRun(deadline))
        return refuseStuckCapture();
    if (request.rist) {
        ristSender->setRistParams(ui->sbRtt->value(), ui->sbRetries->value(), ui->sbRetriesBuff->value(),
                                  ui->sbLatency->value());
        ristSender->setBondings(request.bondings);
        ristSender->startRetransmit(request.servers, request.interfaceAddress, request.ristStreamId, request.secret,
                                    deadline);
    } else {
        srtSender->startRetransmit(request.address, request.interfaceAddress, request.port, request.streamId,
                                   request.latency, request.passphrase, request.keyLength, request.lossless, deadline);
    }
    ui->cmdStart->setText(tr("STOP"));

    int port = 0;
    if (!waitForListener(&port, request.rist ? ristSender->listenPort : srtSender->listenPort, deadline)) {
        refuseStart(request.rist, QStringLiteral("START FAILED: the relay opened no loopback listener"),
                    tr("The stream could not be started: the relay opened no loopback listener."));
        return false;
    }

    capture->setDevices(request.videoDevice, request.audioChoice);
    capture->setOutputParams(request.frameSize, request.videoBitrate, request.audioBitrate);
    if (request.displayIndex >= 0)
        capture->setArea(request.displayIndex, QRect());
    if (!capture->startCapture(port, request.frameRate, request.interlace, 1, request.codec, request.encoderOptions,
                               request.audioChannels, request.sampleRate)) {
        // Only a previous capture run that would not end refuses; showing "streaming" then would be a lie.
        return refuseStuckCapture();
    }
    isStreaming = true;
    statTimer->start(kStatIntervalMs);
    startAdaptiveBitrate(request.codec, request.videoBitrate, request.audioBitrate, request.rist);
    if (request.rist)
        telemetry->start([relay = ristSender] { return relay->linkStats(); }, request.videoBitrate);
    else
        telemetry->start([relay = srtSender] { return relay->linkStats(); }, request.videoBitrate);
    return true;
}

void MainWindow::stopStreaming() {
    statTimer->stop();
    telemetry->stop();
    stopAdaptiveBitrate();
    ui->cmdStart->setText(tr("START"));
    {
        QMutexLocker locker(&bondingsMutex);
        activeBondings.clear();
    }
    if (previewDlg->isVisible())
        previewDlg->hide();
    capture->setPreviewWindow(0);
    capture->stopCapture();
    isStreaming = false;
    stopRelay(ui->rbRist->isChecked());
    ui->statusBar->showMessage(QString());
}

void MainWindow::toggleStreaming() {
    if (isStreaming) {
        stopStreaming();
    } else {
        // One deadline for every wait of this Start, so that together they never hold the window longer.
        const QDeadlineTimer deadline(kStartWaitMs);
        StreamRequest request;
        if (!streamRequest(&request, deadline) || !startStreaming(request, deadline)) {
            ui->cmdStart->setChecked(false);
            return;
        }
    }
    updateControls();
}

void MainWindow::updateControls() {
    const bool idle = !isStreaming;
    ui->cmdStart->setChecked(isStreaming);
    ui->cmdRefresh->setEnabled(idle);
    ui->previewBtn->setVisible(isStreaming);
    ui->encodingGroup->setEnabled(idle);
    // Going idle frees every destination control: a configuration loaded while streaming may have switched the
    // transport, and only the controls of the new one would otherwise come back.
    if (idle) {
        ui->destinationGroup->setEnabled(true);
        ui->txtURL_rist->setEnabled(true);
        ui->txtStreamID_rist->setEnabled(true);
        ui->txtPassphrase_rist->setEnabled(true);
        ui->sbLatency->setEnabled(true);
    } else if (ui->rbRist->isChecked()) {
        ui->txtURL_rist->setEnabled(idle);
        ui->txtStreamID_rist->setEnabled(idle);
        ui->txtPassphrase_rist->setEnabled(idle);
        ui->sbLatency->setEnabled(idle);
    } else {
        ui->destinationGroup->setEnabled(idle);
    }
    ui->cmbVideoSources->setEnabled(idle);
    ui->cmbAudioSources->setEnabled(idle);
    ui->chkAlpha->setEnabled(idle);
    ui->rbRist->setEnabled(idle);
    ui->rbSrt->setEnabled(idle);
    ui->networkInterfaceComboBox->setEnabled(idle);
}

void MainWindow::onStatTimeout() {
    if (!capture->isRunning()) {
        ui->statusBar->showMessage(QString());
        return;
    }
    ui->statusBar->showMessage(streamrules::statusText(capture->sourceFormat.load(), capture->framesWritten.load(),
                                                       capture->captureErrors.load(), capture->writeErrors.load()));
}

void MainWindow::onSRTError() {
    const int limit = ui->spbReconnect->value();
    qDebug() << "onSRTError " << isStreaming << "mainwindow" << __LINE__;
    // A failure reported after a stop belongs to a run that is already over.
    if (!isStreaming)
        return;
    toggleStreaming();
    if (!reconnect.failed(limit))
        return;
    QTimer::singleShot(kReconnectDelayMs, this, [this, limit]() {
        qDebug() << "-- reconnect: " << reconnect.count() << " from " << limit;
        ui->cmdStart->click();
    });
}

void MainWindow::autoStart() {
    autoStart(QCoreApplication::arguments());
}

void MainWindow::autoStart(const QStringList &arguments) {
    const QString path = streamrules::findConfigFile(arguments);
    if (path.isEmpty())
        return;
    autoStarted = true;
    if (!loadConfigFile(path))
        return;
    qDebug() << "cmd Start clicked " << isStreaming << "mainwindow" << __LINE__;
    toggleStreaming();
}

bool MainWindow::refuseOverlongStreamId(const QString &onWire) {
    if (srtStreamIdFits(onWire))
        return false;
    AppMessages::warning(this, tr("Warning"),
                         tr("Stream ID is too long: SRT carries at most %1 bytes, this one takes %2.")
                             .arg(kSrtHandshakeStreamIdBytes)
                             .arg(srtStreamIdBytes(onWire)));
    return true;
}
