// The speed test launch: the dialog's parameters from the SRT controls, and the latency it recommends.
#include "mainwindow.h"
#include "ui_mainwindow.h"

#include "appmessages.h"
#include "logsdlg.h"
#include "resolvehost.h"
#include "speedtest.h"
#include "streamrules.h"

void MainWindow::setupSpeedTest() {
    speedTest = new SpeedTest();
    speedTest->setStyleSheet(QStringLiteral("SpeedTest{background-color: #050F15;}"));
    connect(speedTest, &SpeedTest::latencyChosen, this, [this](int ms, int recommendedMs) {
        ui->spbLatency->setValue(ms);
        logs->addMessage(QStringLiteral("LATENCY FROM SPEED TEST : %1 ms (recommended %2 ms)")
                             .arg(ui->spbLatency->value())
                             .arg(recommendedMs));
    });
}

void MainWindow::endSpeedTest() {
    // A test still running ends here, before the SRT library goes down with the application object.
    delete speedTest;
    speedTest = nullptr;
}

void MainWindow::on_cmdSpeedTest_clicked() {
    if (ui->txtStreamID->text().isEmpty()) {
        AppMessages::warning(this, tr("Warning"), tr("Please enter streamid."));
        return;
    }
    if (refuseOverlongStreamId(ui->txtStreamID->text() + QStringLiteral("#speedtest") +
                               (ui->chkLL->isChecked() ? QStringLiteral("#lossless") : QString())))
        return;
    const streamrules::SrtServer server = streamrules::parseSrtServer(ui->txtURL->text());
    if (!server.valid) {
        AppMessages::warning(this, tr("Warning"), tr("Incorrect SRT Server. Please enter host and port."));
        return;
    }
    if (refusePortOutOfRange(ui->txtURL->text()))
        return;
    // The same bound as a Start's: a resolver that does not answer must not freeze the window.
    bool timedOut = false;
    const QString address = resolveHost(server.host, true, QDeadlineTimer(kStartWaitMs), &timedOut);
    if (timedOut)
        logs->addMessage(QStringLiteral("NAME LOOKUP TIMED OUT: ") + server.host);
    logs->addMessage(QStringLiteral("SPEED TEST TO SERVER : ") + server.host + QStringLiteral("(resolved to ") +
                     address + QStringLiteral(")"));
    const QString interfaceAddress = senderInterface();
    if (speedTest->setParams(address, interfaceAddress, server.port, ui->txtStreamID->text(), ui->spbLatency->value(),
                             ui->txtPassphrase->text(), ui->cmbPBKeyLen->currentData().toInt(), ui->chkLL->isChecked()))
        speedTest->exec();
}
