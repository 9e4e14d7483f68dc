#include "mainwindow.h"
#include "ui_mainwindow.h"

#include "appmessages.h"
#include "appstyle.h"
#include "capturestreamer.h"
#include "crashhandler.h"
#include "crashsymbolizer.h"
#include "instancecounter.h"
#include "linktelemetry.h"
#include "logsdlg.h"
#include "mfndiruntime.h"
#include "ndisource.h"
#include "networkclocksync.h"
#include "player.h"
#include "privatefile.h"
#include "resender.h"
#include "resenderrist.h"
#include "settingstext.h"
#include "sldcardsource2.h"
#include "streamhealth.h"
#include "telemetrystrip.h"
#include "updatenotifier.h"
#include "userguide.h"

#include <QCloseEvent>
#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QDebug>
#include <QDesktopServices>
#include <QDir>
#include <QSettings>
#include <QStandardPaths>
#include <QTimer>
#include <QUrl>

#include <srt/srt.h>

const char *const MainWindow::kVersion = "ver 1.2.3";

namespace {
// Where a distributor names its update feed; without it no update check is made.
const char kUpdateFeedKey[] = "UPDATE_FEED";
constexpr int kStatusNoticeMs = 10000;
constexpr int kNetRefreshMs = 10000;
// How long closing the window waits for the capture thread to finish its last frame.
constexpr int kCloseWaitMs = 10000;
// Looking up the names and lines of new crash reports runs addr2line on the GUI thread; it gives up after this.
constexpr int kCrashLookupMs = 10000;
} // namespace

MainWindow::MainWindow(QWidget *parent)
    : QMainWindow(parent), ui(new Ui::MainWindow), statTimer(new QTimer(this)),
      ndiSource(std::make_unique<NDISource>()), capture(new CaptureStreamer()) {
    rateControlTypes =
        QStringList{QStringLiteral("auto"), QStringLiteral("vbr"),    QStringLiteral("cbr"),    QStringLiteral("cqp"),
                    QStringLiteral("avbr"), QStringLiteral("vbr_la"), QStringLiteral("quality")};
    qualities = QStringList{QStringLiteral("1 (fast capturing, minimal quality)"),
                            QStringLiteral("2"),
                            QStringLiteral("3"),
                            QStringLiteral("4"),
                            QStringLiteral("5"),
                            QStringLiteral("6"),
                            QStringLiteral("7 (maximal quality, slow capturing)")};
    presets = QStringList{QStringLiteral("default"),          QStringLiteral("high_quality"),
                          QStringLiteral("high_performance"), QStringLiteral("low_latency"),
                          QStringLiteral("low_latency_hq"),   QStringLiteral("low_latency_hp"),
                          QStringLiteral("blue_ray_disk")};
    paramsReady = true;
    autoStarted = false;

    ui->setupUi(this);

    instanceCounter = new InstanceCounter(this);
    instance = QStringLiteral("Tidewell (%1)").arg(InstanceCounter::instanceLetter(instanceCounter->instanceIndex()));

    player = new Player(this, instance);

    setWindowTitle(QStringLiteral("Tidewell %1  (build %2)").arg(QLatin1String(kVersion)).arg(kBuildNumber));

    updateNotifier = new UpdateNotifier();

    logs = new LogsDlg();
    capture->setLogWindow(logs);
    player->setLogWindow(logs);

    srtSender = new RESender(logs);
    ristSender = new RESenderRist(logs);
    telemetry = new LinkTelemetry(logs, this);
    telemetry->setStrip(ui->wdgTelemetry);
    health = new StreamHealth(this);
    restartTimer = new QTimer(this);
    restartTimer->setSingleShot(true);
    connect(restartTimer, &QTimer::timeout, this, &MainWindow::restartAfterFailure);
    // Queued also for the RIST relay's reports from this thread (a path refresh that removed the last peer), so
    // that a stop never runs inside the refresh that caused it.
    for (RelayThread *relay : {static_cast<RelayThread *>(srtSender), static_cast<RelayThread *>(ristSender)}) {
        connect(relay, &RelayThread::srtError, this, &MainWindow::onSRTError, Qt::QueuedConnection);
        connect(relay, &RelayThread::phaseChanged, health, &StreamHealth::relayPhase, Qt::QueuedConnection);
    }
    connect(health, &StreamHealth::changed, this, [this](StreamHealth::State, const QString &text) {
        logs->addMessage(QStringLiteral("STREAM STATE: ") + text);
        telemetry->setState(health->key(), text);
    });
    connect(health, &StreamHealth::textChanged, this, [this](const QString &text) {
        ui->wdgTelemetry->setState(health->state() == StreamHealth::State::Sending ? QString() : text);
    });

    ui->wdgRistParams->hide();
    isStreaming = false;

    QSettings::setDefaultFormat(QSettings::IniFormat);
    settings = new QSettings(QStringLiteral("Brackmoor"), QStringLiteral("Tidewell"));
    // A store written by an older version may be readable by every user; it holds the passphrases.
    privatefile::restrictToOwner(settings->fileName());
    connect(qApp, &QCoreApplication::aboutToQuit, this, &MainWindow::onAboutToQuit);

    setupSpeedTest();

    fillBitrateLists();

    statTimer->setTimerType(Qt::PreciseTimer);
    connect(statTimer, &QTimer::timeout, this, &MainWindow::onStatTimeout);
    captureWatch = new QTimer(this);
    captureWatch->setInterval(kCaptureWatchMs);
    connect(captureWatch, &QTimer::timeout, this, &MainWindow::watchCapture);

    SLDCardSource2::initManager();

    fillFrameSizes();
    fillFrameRates();
    fillVideoSources();
    fillAudioSources();
    fillEncoders();
    setupAdaptiveBitrate();

    const QStringList interfaces = listInterfaces();
    createBondingRows(interfaces);
    ui->networkInterfaceComboBox->addItem(tr("use default"));
    ui->networkInterfaceComboBox->addItems(interfaces);
    ui->networkInterfaceComboBox_backup->addItem(tr("use default"));
    ui->networkInterfaceComboBox_backup->addItems(interfaces);

    loadSettings(settings);

    setupUpdateCheck();

    const quint32 version = quint32(srt_getversion());
    const QString versionText = QStringLiteral("SRT VERSION: %1.%2.%3 (%4)")
                                    .arg((version >> 16) & 0xff)
                                    .arg((version >> 8) & 0xff)
                                    .arg(version & 0xff)
                                    .arg(version);
    logs->addMessage(versionText);
    qDebug().noquote() << " SRT VER" << versionText;
    // Said once: whether NDI sources and the NDI output can be had, and if not, where the runtime was looked for.
    logs->addMessage(MFNdiRuntime::instance().logLine());

    reconnect.reset();

    setupPreview();
    connect(ui->helpLbl, &TLabel::clicked, this, &MainWindow::helpLblClicked);
    connect(ui->previewBtn, &QPushButton::clicked, this, &MainWindow::showPreview);
    ui->previewBtn->hide();

    guideFile = userguide::locate(QCoreApplication::applicationDirPath());
    setupHelpLabel(ui->lblHelpTC, QLatin1String(userguide::kTimecodeSection));
    setupHelpLabel(ui->lblHelpAlpha, QLatin1String(userguide::kAlphaSection));
    appstyle::dimPlaceholders(this);

    setupNetworkClock();

    on_rbRist_toggled(ui->rbRist->isChecked());
    ui->txtBonding_rist->hide();
    ui->pbUpdateNet->hide();

    netRefreshTimer = new QTimer();
    connect(netRefreshTimer, &QTimer::timeout, this, &MainWindow::on_pbUpdateNet_clicked);
    netRefreshTimer->start(kNetRefreshMs);
}

MainWindow::~MainWindow() {
    endSpeedTest();
    delete netRefreshTimer;
    // The player's threads must have ended before it goes with this window; the wait is bounded.
    player->stopPlay();
    const QDeadlineTimer playerDeadline(kCloseWaitMs);
    while (player->isPlaying() && !playerDeadline.hasExpired())
        QCoreApplication::processEvents(QEventLoop::AllEvents, 50);
    // The exchange notices the stop within 100 ms; a name lookup that hangs (no resolver answers) is left
    // behind like a stuck capture thread, since destroying a running thread aborts the process.
    clockSync->stop();
    disconnect(clockSync, nullptr, this, nullptr);
    if (clockSync->wait(kCloseWaitMs))
        delete clockSync;
    if (capture->isRunning())
        capture->stopCapture();
    // A capture thread that does not finish in time is left behind: destroying a running thread aborts.
    if (capture->wait(kCloseWaitMs))
        delete capture;
    delete ui;
}

void MainWindow::setupHelpLabel(QLabel *label, const QString &section) {
    const QString address = userguide::address(guideFile, section).toString(QUrl::FullyEncoded);
    label->setText(QStringLiteral("<a style='color:white;text-decoration:none;' href='%1'><img width='27' "
                                  "height='27' src=:/QUESTION /></a>")
                       .arg(address.toHtmlEscaped()));
    label->setToolTip(address);
    // Opened here rather than by the label, so that a guide that is not there is reported.
    label->setOpenExternalLinks(false);
    connect(label, &QLabel::linkActivated, this, [this, section] { openUserGuide(section); });
    label->setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::LinksAccessibleByMouse |
                                   Qt::LinksAccessibleByKeyboard);
    label->setCursor(Qt::PointingHandCursor);
}

bool MainWindow::openUserGuide(const QString &section) {
    if (guideFile.isEmpty()) {
        logs->addMessage(QStringLiteral("USER GUIDE NOT FOUND: no %1 above %2")
                             .arg(QLatin1String(userguide::kRelativePath), QCoreApplication::applicationDirPath()));
        ui->statusBar->showMessage(tr("The user guide is not installed."), kStatusNoticeMs);
        return false;
    }
    return QDesktopServices::openUrl(userguide::address(guideFile, section));
}

void MainWindow::setupUpdateCheck() {
    QString refusal;
    const QUrl feed = UpdateNotifier::configuredFeed(settingsText(*settings, QLatin1String(kUpdateFeedKey)), &refusal);
    if (!refusal.isEmpty())
        logs->addMessage(QStringLiteral("UPDATE FEED NOT USED: ") + refusal);
    // Nobody sees a notice on a platform without a screen, so the check is not made there.
    if (feed.isEmpty() || !AppMessages::interactive())
        return;
    connect(updateNotifier, &UpdateNotifier::newVersionAvailable, this,
            [this](const QString &msg, const QString &url) { UpdateNotifier::showNotice(this, msg, url); });
    updateNotifier->checkForUpdate(kBuildNumber, feed.toString(QUrl::FullyEncoded));
}

void MainWindow::on_cmdInfo_clicked() {
    logs->showInfo();
}

void MainWindow::on_actionCrash_Report_triggered() {
    const QString folder = crashReportsFolder();
    QDir().mkpath(folder);
    symbolizeCrashReports(folder, QDeadlineTimer(kCrashLookupMs));
    QDesktopServices::openUrl(QUrl::fromLocalFile(folder));
}

void MainWindow::helpLblClicked() {
    openUserGuide(QString());
}

void MainWindow::closeEvent(QCloseEvent *event) {
    // The wait below runs the event loop: a restart due in it would start a stream in a closing window.
    closing = true;
    cancelRestart();
    player->stopPlay();
    player->hide();
    // The whole stream, relay included: a relay left running would take the encoder's end for a failure.
    if (isStreaming) {
        stopStreaming();
        health->stopped();
    }
    if (capture->isRunning())
        capture->stopCapture();
    logs->hide();
    const QDeadlineTimer deadline(kCloseWaitMs);
    while ((capture->isRunning() || player->isPlaying()) && !deadline.hasExpired())
        QCoreApplication::processEvents(QEventLoop::AllEvents, 50);
    event->accept();
}

void MainWindow::stopWithoutSaving() {
    saveSuppressed = true;
    closing = true;
    cancelRestart();
    if (isStreaming)
        toggleStreaming();
    else
        health->stopped();
}

bool MainWindow::waitForWorkers(int timeoutMs) {
    const QDeadlineTimer deadline(timeoutMs);
    if (capture->isRunning())
        capture->stopCapture();
    const bool captureDone = capture->wait(deadline);
    if (srtSender->isRunning())
        srtSender->stopRetransmit();
    const bool relayDone = srtSender->wait(deadline);
    if (ristSender->isRunning())
        ristSender->stopRetransmit();
    const bool ristDone = ristSender->wait(deadline);
    return captureDone && relayDone && ristDone;
}
