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
#include "ristrules.h"
#include "srtstreamid.h"
#include "streamhealth.h"
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
    // The operator takes over: a pending automatic restart would undo this click 700 ms later.
    cancelRestart();
    toggleStreaming();
}

bool MainWindow::collectBondings(QString *paths) {
    for (const CkbLblWidget *row : bondingRows()) {
        if (row->isChecked())
            *paths += row->pathText() + QLatin1Char(',');
    }
    return !paths->isEmpty();
}

bool MainWindow::streamRequest(StreamRequest *request, QDeadlineTimer deadline) {
    request->rist = ui->rbRist->isChecked();
    request->alpha = ui->chkAlpha->isChecked();
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
        // As typed: the relay lower-cases scheme and host, and the query may hold a case-sensitive password.
        request->servers = ui->txtURL_rist->text().trimmed();
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
        if (refusePortOutOfRange(ui->txtURL->text()))
            return false;
        const QString backupText = ui->txtURL_backup->text().trimmed();
        const streamrules::SrtServer backup = streamrules::parseSrtServer(backupText);
        // A port that is no number would leave the backup at port 0, which means none: refused, not dropped.
        if (!backupText.isEmpty() && (!backup.valid || (backup.portInRange && backup.port == 0))) {
            AppMessages::warning(this, tr("Warning"),
                                 tr("Incorrect backup SRT Server. Please enter host and port, or leave it empty."));
            return false;
        }
        if (!backupText.isEmpty() && refusePortOutOfRange(backupText, true))
            return false;
        // The id goes out with its suffixes; libsrt would refuse it at every connection attempt.
        QString onWire = ui->txtStreamID->text();
        if (request->alpha)
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
        if (!backupText.isEmpty()) {
            request->backupHost = backup.host;
            request->backupPort = backup.port;
            request->backupInterfaceAddress = backupSenderInterface();
            // The same deadline: a backup whose name does not resolve in time is tried, and fails, like a dead one.
            timedOut = false;
            request->backupAddress = resolveHost(backup.host, true, deadline, &timedOut);
            if (timedOut)
                logs->addMessage(QStringLiteral("NAME LOOKUP TIMED OUT: ") + backup.host);
            logs->addMessage(QStringLiteral("STREAM TO BACKUP SERVER : ") + backup.host +
                             QStringLiteral("(resolved to ") + request->backupAddress + QStringLiteral(")"));
        }
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
    // Given to the started relay and capture run now: the box may have changed since (Load config while
    // streaming), and a flag given to the other transport's relay would never reach this stream.
    capture->setAlpha(request.alpha);
    if (request.rist) {
        ristSender->setAlpha(request.alpha);
        ristSender->setRistParams(ui->sbRtt->value(), ui->sbRetries->value(), ui->sbRetriesBuff->value(),
                                  ui->sbLatency->value());
        ristSender->setBondings(request.bondings);
        ristSender->startRetransmit(request.servers, request.interfaceAddress, request.ristStreamId, request.secret,
                                    deadline);
    } else {
        srtSender->setAlpha(request.alpha);
        srtSender->setBackupServer(request.backupAddress, request.backupInterfaceAddress, request.backupPort);
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

    // Opened by the capture thread as its run begins: a device slow to open holds neither the window nor this
    // Start's deadline.
    capture->chooseDevices(request.videoDevice, request.audioChoice, request.displayIndex);
    capture->setOutputParams(request.frameSize, request.videoBitrate, request.audioBitrate);
    if (!capture->startCapture(port, request.frameRate, request.interlace, 1, request.codec, request.encoderOptions,
                               request.audioChannels, request.sampleRate)) {
        // Only a previous capture run that would not end refuses; showing "streaming" then would be a lie.
        return refuseStuckCapture();
    }
    isStreaming = true;
    runningRist = request.rist;
    health->started(request.rist ? ristSender->runNumber() : srtSender->runNumber());
    statTimer->start(kStatIntervalMs);
    captureWatch->start();
    startAdaptiveBitrate(request.codec, request.videoBitrate, request.audioBitrate, request.rist);
    if (request.rist)
        telemetry->start([relay = ristSender] { return relay->linkStats(); }, request.videoBitrate);
    else
        telemetry->start([relay = srtSender] { return relay->linkStats(); }, request.videoBitrate);
    return true;
}

void MainWindow::stopStreaming() {
    statTimer->stop();
    captureWatch->stop();
    telemetry->stop();
    stopAdaptiveBitrate();
    ui->cmdStart->setText(tr("START"));
    if (previewDlg->isVisible())
        previewDlg->hide();
    capture->setPreviewWindow(0);
    capture->stopCapture();
    isStreaming = false;
    stopRelay(runningRist);
    ui->statusBar->showMessage(QString());
}

void MainWindow::toggleStreaming() {
    if (isStreaming) {
        stopStreaming();
        health->stopped();
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
    ui->networkInterfaceComboBox_backup->setEnabled(idle);
}

void MainWindow::watchCapture() {
    if (!isStreaming)
        return;
    // A capture run that cannot go on fails the stream like a relay failure, so that the restart takes over: a
    // source gone for good (a capture card that could not be opened again), an encoder whose output is dead.
    switch (capture->failure.exchange(CaptureStreamer::Failure::None)) {
    case CaptureStreamer::Failure::None:
        health->sourcePicture(!capture->pictureMissing.load());
        return;
    case CaptureStreamer::Failure::SourceLost:
        logs->addMessage(QStringLiteral("SOURCE LOST: the video source gives no picture"));
        // Said before the restart's countdown, also when the source never gave a picture at all.
        health->sourcePicture(false);
        break;
    case CaptureStreamer::Failure::OutputFailed:
        logs->addMessage(QStringLiteral("ENCODER FAILED: the encoded stream does not reach the relay"));
        break;
    }
    onSRTError();
}

void MainWindow::onStatTimeout() {
    if (!capture->isRunning()) {
        ui->statusBar->showMessage(QString());
        return;
    }
    QString text = streamrules::statusText(capture->sourceFormat.load(), capture->framesWritten.load(),
                                           capture->captureErrors.load(), capture->writeErrors.load());
    if (!runningRist && srtSender->destinationCount() > 1) {
        const auto state = [this](int index) {
            return srtSender->destinationUp(index) ? tr("sending") : tr("reconnecting");
        };
        text += tr("  main server: %1, backup server: %2").arg(state(0), state(1));
    }
    ui->statusBar->showMessage(text);
}

void MainWindow::onSRTError() {
    const int limit = ui->spbReconnect->value();
    qDebug() << "onSRTError " << isStreaming << "mainwindow" << __LINE__;
    // A failure reported after a stop belongs to a run that is already over.
    if (!isStreaming || closing)
        return;
    stopStreaming();
    updateControls();
    failedAttempt(limit);
}

void MainWindow::failedAttempt(int limit) {
    waitingForPath = false;
    if (!reconnect.failed(limit)) {
        health->gaveUp(limit);
        return;
    }
    restartLimit = limit;
    health->restartPending(reconnect.count(), limit, kReconnectDelayMs);
    restartTimer->start(kReconnectDelayMs);
}

void MainWindow::cancelRestart() {
    // The countdown or the wait for a path is over; whatever comes next says so itself.
    if (restartTimer->isActive() || waitingForPath)
        health->stopped();
    restartTimer->stop();
    waitingForPath = false;
}

void MainWindow::restartAfterFailure() {
    if (closing || isStreaming)
        return;
    if (!waitingForPath)
        qDebug() << "-- reconnect: " << reconnect.count() << " from " << restartLimit;
    startWhenAPathIsThere();
}

void MainWindow::startWhenAPathIsThere() {
    if (ui->rbRist->isChecked()) {
        // Rows of interfaces that went are removed and rows of those that came back are ticked again now, not
        // at the next refresh. Without a ticked path the restart waits for one instead of refusing to start.
        on_pbUpdateNet_clicked();
        const QList<CkbLblWidget *> rows = bondingRows();
        if (std::none_of(rows.cbegin(), rows.cend(), [](const CkbLblWidget *row) { return row->isChecked(); })) {
            if (!waitingForPath) {
                waitingForPath = true;
                pathDeadline = QDeadlineTimer(kPathWaitMs);
                health->waitingForPath();
            }
            if (pathDeadline.hasExpired())
                failedAttempt(restartLimit);
            else
                restartTimer->start(kPathPollMs);
            return;
        }
    }
    waitingForPath = false;
    toggleStreaming();
    // A restart that does not get going (the previous run stuck, no listener) is one more failed attempt.
    if (!isStreaming)
        failedAttempt(restartLimit);
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
    // A service started at boot may come before its modem: the paths the file names are waited for, within the
    // reconnect limit, as a restart waits for them. A file that names none is refused as a click would be.
    QString ticked;
    if (ui->rbRist->isChecked() && !collectBondings(&ticked) &&
        !ristrules::parseBondings(ui->txtBonding_rist->text()).isEmpty()) {
        logs->addMessage(QStringLiteral("WAITING FOR A NETWORK PATH: ") + ui->txtBonding_rist->text());
        restartLimit = ui->spbReconnect->value();
        startWhenAPathIsThere();
        return;
    }
    toggleStreaming();
}

bool MainWindow::refusePortOutOfRange(const QString &serverText, bool backup) {
    const streamrules::SrtServer server = streamrules::parseSrtServer(serverText);
    if (server.portInRange)
        return false;
    AppMessages::warning(
        this, tr("Warning"),
        backup ? tr("Incorrect backup SRT Server port %1. Please enter a port from 1 to 65535.").arg(server.portText)
               : tr("Incorrect SRT Server port %1. Please enter a port from 1 to 65535.").arg(server.portText));
    return true;
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
