#include "mainwindow.h"
#include "ui_mainwindow.h"

#include "capturestreamer.h"
#include "logsdlg.h"
#include "networkclock.h"
#include "networkclocksync.h"
#include "settingstext.h"

#include <QSettings>

namespace {
const char kDefaultTimeServer[] = "pool.ntp.org";
const char kTimeServerKey[] = "NTP_SERVER";
} // namespace

void MainWindow::setupNetworkClock() {
    setNetworkClockLog(logs);
    const QString server = settingsText(*settings, QLatin1String(kTimeServerKey), QLatin1String(kDefaultTimeServer));
    if (!setNtpServer(server)) {
        logs->addMessage(tr("Time server \"%1\" is not host[:port]; using %2").arg(server, kDefaultTimeServer));
        setNtpServer(QLatin1String(kDefaultTimeServer));
    }
    clockSync = new NetworkClockSync();
    // Whatever the outcome, the strip follows the box as it is when the answer comes: the operator may have
    // unticked it while the server was being asked.
    connect(clockSync, &NetworkClockSync::synchronised, this,
            [this](int) { capture->setVITC(ui->chkVITC->isChecked()); });
    if (ui->chkVITC->isChecked())
        clockSync->request();
}
