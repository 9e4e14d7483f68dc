#pragma once

#include "adaptivebitrate.h"
#include "reconnectpolicy.h"
#include "streamrequest.h"

#include <QDeadlineTimer>
#include <QMainWindow>
#include <QMap>
#include <QPair>
#include <QStringList>

#include <atomic>
#include <memory>

namespace Ui {
class MainWindow;
}

class CaptureStreamer;
class CkbLblWidget;
class InstanceCounter;
class LinkTelemetry;
class LogsDlg;
class NDISource;
class NetworkClockSync;
class Player;
class QSettings;
class QTimer;
class RESender;
class RESenderRist;
class SpeedTest;
class StreamHealth;
class TPreviewDlg;
class UpdateNotifier;

// The one main window: the operator's controls, the settings store, and the start and stop of a stream.
// Its code is split by concern: mainwindow.cpp (assembly), mainwindowsettings.cpp, mainwindowstream.cpp,
// mainwindowoptions.cpp, mainwindownetwork.cpp and mainwindowplayer.cpp.
class MainWindow : public QMainWindow {
    Q_OBJECT

public:
    explicit MainWindow(QWidget *parent = nullptr);
    ~MainWindow() override;

    static const char *const kVersion;
    static constexpr int kBuildNumber = 68;
    // The relay gets this long to open its loopback listener before a Start is given up.
    static constexpr int kListenerWaitMs = 5000;
    // Every wait of one Start on this thread together (name look-up, the previous capture and relay runs, the
    // listener) ends within this; what is not ready by then makes the Start fail with a message.
    static constexpr int kStartWaitMs = 5000;
    static constexpr int kStatIntervalMs = 2000;
    // How often a running stream's capture is asked whether it failed or lacks pictures.
    static constexpr int kCaptureWatchMs = 250;
    static constexpr int kReconnectDelayMs = 700;
    // A RIST restart without a ticked path whose interface is there waits this long for one (one path refresh
    // period), looking this often, before the attempt counts as failed.
    static constexpr int kPathWaitMs = 10000;
    static constexpr int kPathPollMs = 1000;

    // Keys whose stored value is unusable (names no entry, not a number, not a switch state) are left out and
    // added to ignored.
    void loadSettings(QSettings *store, QStringList *ignored = nullptr);
    // Loads a configuration file (Load config, auto-start). A file that cannot be read or is no INI file changes
    // nothing and is refused; unusable values are reported. Both with a warning box; false when refused.
    bool loadConfigFile(const QString &path);
    void saveSettings(QSettings *store);
    // Save config: writes the settings into a file only its owner may read. A file that could not be written
    // keeps what it held, and the failure is reported with a warning box; false then.
    bool saveConfigFile(const QString &path);

    void toggleStreaming();
    void autoStart();
    // The same with an explicit argument list (the program path first).
    void autoStart(const QStringList &arguments);

    // Reads the Start values from the form; false (with the box already shown) when the form is refused.
    // The server name's look-up waits at most until the deadline.
    bool streamRequest(StreamRequest *request, QDeadlineTimer deadline = QDeadlineTimer(kStartWaitMs));

    QStringList availableEncoders();
    QStringList listInterfaces();
    // A usable interface: its human-readable name, its first IPv4 address, and the system's index of it, which
    // changes when the interface goes and comes back (a modem unplugged and plugged in again).
    struct UsableInterface {
        QString name;
        QString address;
        int index = 0;
    };
    QList<UsableInterface> currentInterfaces();
    QString senderInterface();
    // The same for the backup server's interface list.
    QString backupSenderInterface();
    // Warns and returns true when the stream id, with its suffixes, is longer than an SRT handshake carries.
    bool refuseOverlongStreamId(const QString &onWire);
    // Warns and returns true when the SRT server text's port is a number outside 1-65535, which would wrap round
    // to another port.
    bool refusePortOutOfRange(const QString &serverText, bool backup = false);

    // Stops a running stream and never saves the settings at quit: the way out for SIGINT and SIGTERM.
    void stopWithoutSaving();
    // Waits (bounded) for the capture and relay threads after a stop; false if one is still running.
    bool waitForWorkers(int timeoutMs);

    bool streaming() const { return isStreaming; }
    int reconnects() const { return reconnect.count(); }
    bool wasAutoStarted() const { return autoStarted; }
    QString instanceName() const { return instance; }
    Player *playerWindow() const { return player; }
    // The server's return feed for the stream id, from the SRT controls as typed.
    static QString returnFeedAddress(const QString &server, const QString &streamId, const QString &passphrase,
                                     int keyLength);
    CaptureStreamer *captureThread() const { return capture; }
    TPreviewDlg *previewDialog() const { return previewDlg; }
    RESender *srtRelay() const { return srtSender; }
    RESenderRist *ristRelay() const { return ristSender; }
    // Link figures of the running stream, for the strip, the log and the statistics file.
    LinkTelemetry *linkTelemetry() const { return telemetry; }
    // What the stream is doing, in words.
    StreamHealth *streamHealth() const { return health; }
    // The bonding path rows in layout order.
    QList<CkbLblWidget *> bondingRows() const;
    void relayoutBondingGrid();
    QSettings *settingsStore() const { return settings; }
    UpdateNotifier *updateCheck() const { return updateNotifier; }
    // The installed user guide (or the build tree's copy); empty when there is none.
    QString userGuideFile() const { return guideFile; }
    // Opens the guide in the desktop's browser, at section when one is given; false (and a log line) without one.
    bool openUserGuide(const QString &section);

protected:
    void closeEvent(QCloseEvent *event) override;

private slots:
    void on_cmdStart_clicked();
    void on_cmdRefresh_clicked();
    void onStatTimeout();
    void onSRTError();
    void on_cmdInfo_clicked();
    void on_cmdSpeedTest_clicked();
    void on_cmbPlayer_clicked();
    void on_cmbPlayer_clicked(bool checked);
    void on_cmbVideoSources_currentIndexChanged(int index);
    void on_cmbAudioSources_currentIndexChanged(int index);
    void on_actionSave_config_triggered();
    void on_actionLoad_config_triggered();
    void on_actionCrash_Report_triggered();
    void showPreview();
    void previewSizeChanged();
    void previewAudioChanged(bool enabled);
    void previewHidden();
    void helpLblClicked();
    void on_chkVITC_clicked(bool checked);
    void on_cmbEncs_currentIndexChanged(int index);
    void on_cmbParam_1_currentTextChanged(const QString &arg1);
    void on_cmbParam_2_currentTextChanged(const QString &arg1);
    void on_chkLL_stateChanged(int arg1);
    void on_rbRist_toggled(bool checked);
    void on_pbUpdateNet_clicked();
    void checkedBondingIp(bool checked, const QString &ip, int weight);
    void onAboutToQuit();
    void onLinkSample(const LinkStats &stats);

private:
    // saveConfigFile and the save at quit; logLine starts the log window's line on a failure.
    bool writeSettingsFile(const QString &path, const char *logLine);
    // Option lists (mainwindowoptions.cpp).
    void fillVideoSources();
    void fillAudioSources();
    void fillEncoders();
    void fillFrameRates();
    void fillFrameSizes();
    void fillBitrateLists();
    void applySources();
    void storeEncoderParam(int position, const QString &text);

    // Stream control (mainwindowstream.cpp).
    void stopStreaming();
    bool startStreaming(const StreamRequest &request, QDeadlineTimer deadline);
    bool waitForListener(int *port, const std::atomic<int> &listenPort, QDeadlineTimer deadline);
    // Warns, logs and puts the button back after a Start that got as far as the relay.
    void refuseStart(bool rist, const QString &logLine, const QString &warning);
    void stopRelay(bool rist);
    // A run failed or an automatic restart did not get going: restart within the limit, or give up.
    void failedAttempt(int limit);
    void restartAfterFailure();
    // Starts, or for RIST without a ticked path whose interface is there, waits for one (looking every kPathPollMs)
    // for up to kPathWaitMs and then counts a failed attempt within restartLimit.
    void startWhenAPathIsThere();
    // The capture run's own failure (through onSRTError, like a relay's) and whether its source has pictures.
    void watchCapture();
    void cancelRestart();
    void updateControls();
    bool collectBondings(QString *paths);

    // Network paths (mainwindownetwork.cpp).
    CkbLblWidget *addBondingRow(const QString &name, const QString &address, int interfaceIndex);
    void createBondingRows(const QStringList &interfaceTexts);
    // Ticks the rows listed in the stored path tokens (with their weights) and unticks the others.
    void applyBondingSelection(const QString &tokens);
    // Writes the ticked rows into txtBonding_rist, the text that "BONDING_RIST" stores.
    void storeBondingSelection();

    // A "?" label that opens the user guide at section.
    void setupHelpLabel(class QLabel *label, const QString &section);
    // Reads "UPDATE_FEED": an https address starts the one check; none (the default) or another scheme, none.
    void setupUpdateCheck();
    void setupNetworkClock();
    void setupPreview();

    // Adaptive bitrate (mainwindowadaptive.cpp).
    void setupAdaptiveBitrate();
    // Enables the box for encoders that can change their bitrate in place; the tool tip names the others.
    void updateAdaptiveAvailability();
    void startAdaptiveBitrate(const QString &codec, int videoKbps, int audioKbps, bool rist);
    void stopAdaptiveBitrate();
    void applyAdaptiveSample(const LinkStats &stats);
    // The rate control chosen for the current encoder; empty for encoders without the choice.
    QString currentRateControl() const;

    // Speed test launch (mainwindowspeedtest.cpp).
    void setupSpeedTest();
    void endSpeedTest();

    Ui::MainWindow *ui;
    QTimer *statTimer;
    QTimer *captureWatch = nullptr;
    QTimer *netRefreshTimer = nullptr;
    std::unique_ptr<NDISource> ndiSource;
    // Kept by pointer: if a run does not end within the close wait, the object is left behind rather than
    // destroyed while its thread runs.
    CaptureStreamer *capture;
    LogsDlg *logs = nullptr;
    RESender *srtSender = nullptr;
    RESenderRist *ristSender = nullptr;
    LinkTelemetry *telemetry = nullptr;
    // Set while applyBondingSelection ticks rows, so that the rows it has not reached yet keep the stored text.
    bool applyingBondings = false;
    UpdateNotifier *updateNotifier = nullptr;
    SpeedTest *speedTest = nullptr;
    // Synchronises the network clock for the timecode switch off the GUI thread.
    NetworkClockSync *clockSync = nullptr;
    TPreviewDlg *previewDlg = nullptr;
    InstanceCounter *instanceCounter = nullptr;
    Player *player = nullptr;
    QSettings *settings = nullptr;
    QString instance;
    QString guideFile;

    bool isStreaming = false;
    // The transport of the running stream: Stop ends that relay whatever the form shows by then.
    bool runningRist = false;
    StreamHealth *health = nullptr;
    // The pending automatic restart; closing the window stops it.
    QTimer *restartTimer = nullptr;
    int restartLimit = 0;
    // Set while a RIST restart waits for a path.
    bool waitingForPath = false;
    QDeadlineTimer pathDeadline;
    bool closing = false;
    bool autoStarted = false;
    bool saveSuppressed = false;
    ReconnectPolicy reconnect;
    AdaptiveBitrate adaptive;
    bool adaptiveActive = false;
    // Reads the SRT relay's pulses while the adaptive bitrate runs over SRT; RIST runs on the telemetry's second.
    QTimer *adaptivePulse = nullptr;

    QMap<QString, QStringList> encoderParams;
    QString currentEncoder;
    QString encoderOptionsFormat;
    QStringList rateControlTypes;
    QStringList qualities;
    QStringList presets;
    bool paramsReady = true;
};
