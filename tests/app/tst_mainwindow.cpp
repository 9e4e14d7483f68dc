// The main window driven as the operator would: its settings, the values a Start takes from the form, the
// refusals, the bounded listener wait and the quit-time save.
#include "mainwindow.h"
#include "player.h"
#include "resender.h"
#include "srtstreamid.h"
#include "srttestlistener.h"
#include "streamhealth.h"
#include "telemetrystrip.h"
#include "testkit.h"
#include "windowtestmain.h"

#include <QRadioButton>

#include <sys/stat.h>

namespace {
QString storePath() {
    return windowtest::homePath(QStringLiteral("config/Brackmoor/Tidewell.conf"));
}

int fileMode(const QString &path) {
    struct stat status {};
    return ::stat(QFile::encodeName(path).constData(), &status) == 0 ? int(status.st_mode & 07777) : -1;
}
} // namespace

class TestMainWindow : public QObject {
    Q_OBJECT

private slots:
    void init();
    void cleanup();
    void freshUserDefaults();
    void everyKeySurvivesSaveAndLoad();
    void handWrittenTextKeysLoad_data();
    void handWrittenTextKeysLoad();
    void encoderParamsStoredAsText();
    void interfaceKeyLeftAloneWithoutChoice();
    void ristDestFalseSwitchesBackToSrt();
    void refusals_data();
    void refusals();
    void startValuesFromForm();
    void encoderOptionsFollowParameterLists_data();
    void encoderOptionsFollowParameterLists();
    void listenerFailureLeavesWindowIdle();
    void lateRelayFailureIsIgnored();
    void relayFailuresRestartWithinLimit();
    void closingCancelsPendingRestart();
    void quitAfterAutoStartLeavesStoreUntouched();
    void quitWithoutAutoStartSaves();
    void savedFilesAreOwnerOnly();
    void failedSaveIsReportedAndKeepsTheFile_data();
    void failedSaveIsReportedAndKeepsTheFile();
    void unusableConfigFileChangesNothing_data();
    void unusableConfigFileChangesNothing();
    void unusableConfigValuesAreReported();
    void stopAfterTransportSwitchFreesDestination();

private:
    MainWindow *window() {
        if (!mainWindow)
            mainWindow = std::make_unique<MainWindow>();
        return mainWindow.get();
    }
    template <typename T = QWidget> T *control(const char *name) { return windowtest::control<T>(*window(), name); }
    QComboBox *combo(const char *name) { return control<QComboBox>(name); }
    bool fill(const QStringList &settings) { return windowtest::fill(*window(), settings); }
    QStringList shown(const QStringList &names) { return windowtest::shown(*window(), names); }
    QString writeConfig(const QString &name, const QVariantMap &values) {
        return windowtest::writeIni(windowtest::homePath(name), values);
    }
    void loadSettings(const QVariantMap &values) {
        QSettings file(writeConfig(QStringLiteral("load.ini"), values), QSettings::IniFormat);
        window()->loadSettings(&file);
    }
    // What the window's settings save writes over a file that held before, read back.
    QVariantMap savedSettings(const QVariantMap &before = {}) {
        const QString path = writeConfig(QStringLiteral("saved.ini"), before);
        {
            QSettings file(path, QSettings::IniFormat);
            window()->saveSettings(&file);
        }
        QSettings file(path, QSettings::IniFormat);
        QVariantMap values;
        for (const QString &key : file.allKeys())
            values.insert(key, file.value(key));
        return values;
    }
    void clickStart() { control<QPushButton>("cmdStart")->click(); }
    // The form as a Start that did not happen leaves it.
    void verifyIdle() {
        QVERIFY(!window()->streaming());
        QVERIFY(!control<QPushButton>("cmdStart")->isChecked());
        QCOMPARE(control<QPushButton>("cmdStart")->text(), QStringLiteral("START"));
        QVERIFY(control<QWidget>("destinationGroup")->isEnabled());
        QVERIFY(control<QWidget>("encodingGroup")->isEnabled());
    }
    // A codec with rate-control parameters that opens on this machine, or empty.
    QString paramsCodec() {
        for (const char *codec : {"q264hw", "q264sw"}) {
            if (combo("cmbEncs")->findData(QLatin1String(codec)) >= 0)
                return QLatin1String(codec);
        }
        return QString();
    }
    QString nobodyListening() { return QStringLiteral("txtURL=127.0.0.1:%1").arg(testkit::freePort(true)); }

    std::unique_ptr<MainWindow> mainWindow;
};

void TestMainWindow::init() {
    QFile::remove(storePath());
    // Files that tick the timecode box make the window ask the time server: never a public one from a test.
    QSettings(storePath(), QSettings::IniFormat).setValue(QStringLiteral("NTP_SERVER"), QStringLiteral("127.0.0.1:9"));
    AppMessages::clearHistory();
}

void TestMainWindow::cleanup() {
    mainWindow.reset();
}

void TestMainWindow::freshUserDefaults() {
    QCOMPARE(shown({"cmbFrames", "cmbFPS", "spbLatency", "spbReconnect", "spbVBR", "sbLatency", "chkVITC", "chkAlpha",
                    "chkLL", "rbSrt", "rbRist", "cmbAudioSources", "cmbABR"}),
             QStringList({"cmbFrames=1280x720", "cmbFPS=25 fps", "spbLatency=120", "spbReconnect=10", "spbVBR=128",
                          "sbLatency=15", "chkVITC=0", "chkAlpha=0", "chkLL=0", "rbSrt=1", "rbRist=0",
                          "cmbAudioSources=no audio", "cmbABR=1024"}));
    QCOMPARE(combo("cmbVideoSources")->currentIndex(), 0);
    QCOMPARE(window()->windowTitle(), QStringLiteral("Tidewell ver 1.2.3  (build 68)"));
    verifyIdle();
    // The screen entry comes last, after the devices.
    QCOMPARE(combo("cmbVideoSources")->itemData(combo("cmbVideoSources")->count() - 1).toString(),
             QStringLiteral("CAPTURE_DISPLAY#0"));
}

void TestMainWindow::everyKeySurvivesSaveAndLoad() {
    window();
    if (combo("cmbEncs")->count() == 0)
        QSKIP("no encoder opens on this machine");
    const QVariantMap values = {
        {"ABR", "256"},
        {"VBR", 4096},
        {"URL", "srt://127.0.0.1:9001"},
        {"URL_BACKUP", "srt://127.0.0.1:9002"},
        {"STREAMID", "cam1"},
        {"SPR", "44.1 Khz"},
        {"ENCSV", combo("cmbEncs")->itemText(combo("cmbEncs")->count() - 1)},
        {"FRAME", "1920x1080"},
        {"VSOURCE", combo("cmbVideoSources")->itemText(combo("cmbVideoSources")->count() - 1)},
        {"ASOURCE", "original"},
        {"FPS", "29.97 fps if2"},
        {"LATENCY", 300},
        // Kept as loaded also where the NDI box cannot be ticked (no NDI runtime here).
        {"IS_NDI", true},
        {"RECONNECT", 7},
        {"PASSPHRASE", "0123456789abc"},
        {"PBKEYLEN", "32"},
        {"VITC", true},
        {"ALPHA", true},
        {"AUDIOCHS", "0,1"},
        {"LOSSLESS", true},
        {"RIST_DEST", true},
        {"URL_RIST", "rist://127.0.0.1:5004"},
        {"STREAMID_RIST", "cname"},
        {"PASSPHRASE_RIST", "secret"},
        {"BONDING_RIST", "10.0.0.1"},
    };
    loadSettings(values);
    QVERIFY(control<QCheckBox>("chkLL")->isChecked());
    QVERIFY(control("spbLatency")->isHidden());
    QVERIFY(control<QRadioButton>("rbRist")->isChecked());
    const QVariantMap saved = savedSettings();
    for (auto it = values.cbegin(); it != values.cend(); ++it)
        QCOMPARE(saved.value(it.key()).toString(), it.value().toString());
}

void TestMainWindow::handWrittenTextKeysLoad_data() {
    QTest::addColumn<QString>("key");
    QTest::addColumn<QByteArray>("line"); // the value as typed into the file
    QTest::addColumn<QString>("saved");   // empty: as typed
    // Unquoted, a comma makes QSettings read a list; QSettings drops the blanks around each comma.
    QTest::newRow("URL") << "URL" << QByteArray("srt://127.0.0.1:9001?latency=200,x") << QString();
    QTest::newRow("STREAMID") << "STREAMID" << QByteArray("#!::r=live/cam1,m=publish") << QString();
    QTest::newRow("PASSPHRASE") << "PASSPHRASE" << QByteArray("0123456789,abc") << QString();
    QTest::newRow("AUDIOCHS") << "AUDIOCHS" << QByteArray("0, 1") << "0,1";
    QTest::newRow("URL_RIST") << "URL_RIST" << QByteArray("rist://10.0.0.9:5004, rist://10.0.1.9:5004")
                              << "rist://10.0.0.9:5004,rist://10.0.1.9:5004";
    QTest::newRow("STREAMID_RIST") << "STREAMID_RIST" << QByteArray("cam,1") << QString();
    QTest::newRow("PASSPHRASE_RIST") << "PASSPHRASE_RIST" << QByteArray("s3cret,Word") << QString();
    QTest::newRow("BONDING_RIST") << "BONDING_RIST" << QByteArray("10.0.0.5(1),10.0.1.5(1)") << QString();
    // Quoted, as Save config writes it, the text is kept exactly.
    QTest::newRow("quoted") << "PASSPHRASE_RIST" << QByteArray("\"s3cret, Word\"") << "s3cret, Word";
}

void TestMainWindow::handWrittenTextKeysLoad() {
    QFETCH(QString, key);
    QFETCH(QByteArray, line);
    QFETCH(QString, saved);
    const QString path = windowtest::homePath(QStringLiteral("by-hand.ini"));
    QVERIFY(testkit::writeFile(path, "[General]\n" + key.toLatin1() + '=' + line + '\n'));
    QVERIFY(window()->loadConfigFile(path));
    QVERIFY2(AppMessages::history().isEmpty(), qPrintable(AppMessages::history().join('\n')));
    QCOMPARE(savedSettings().value(key).toString(), saved.isEmpty() ? QString::fromLatin1(line) : saved);
}

void TestMainWindow::encoderParamsStoredAsText() {
    window();
    const QString codec = paramsCodec();
    if (codec.isEmpty())
        QSKIP("no Quick Sync encoder opens on this machine");
    const QString key = codec + QStringLiteral("_params");
    loadSettings({{key, "auto 1 (fast capturing, minimal quality)"},
                  {"ENCSV", combo("cmbEncs")->itemText(combo("cmbEncs")->findData(codec))}});
    QCOMPARE(shown({"cmbParam_1", "cmbParam_2"}),
             QStringList({"cmbParam_1=auto", "cmbParam_2=1 (fast capturing, minimal quality)"}));
    QVERIFY(fill({"cmbParam_1=vbr", "cmbParam_2=4"}));
    QCOMPARE(savedSettings().value(key).toString(), QStringLiteral("vbr 4"));
}

void TestMainWindow::interfaceKeyLeftAloneWithoutChoice() {
    window();
    if (combo("networkInterfaceComboBox")->count() > 2)
        QSKIP("this machine has several usable interfaces, so the key is written");
    QVERIFY(combo("networkInterfaceComboBox")->isHidden());
    QCOMPARE(window()->senderInterface(), QString());
    QVERIFY(combo("networkInterfaceComboBox_backup")->isHidden());
    QCOMPARE(window()->backupSenderInterface(), QString());
    const QVariantMap saved =
        savedSettings({{"NETWORK_IFACE", "Ethernet: 10.9.9.9"}, {"NETWORK_IFACE_BACKUP", "Modem: 10.8.8.8"}});
    QCOMPARE(QStringList({saved.value("NETWORK_IFACE").toString(), saved.value("NETWORK_IFACE_BACKUP").toString()}),
             QStringList({"Ethernet: 10.9.9.9", "Modem: 10.8.8.8"}));
}

void TestMainWindow::ristDestFalseSwitchesBackToSrt() {
    QVERIFY(fill({"rbRist=1"}));
    QVERIFY(control("wdgSrt")->isHidden());
    QCOMPARE(control<QLabel>("lblNameDistination")->text(), QStringLiteral("RIST Destination"));
    loadSettings({{"RIST_DEST", false}});
    QVERIFY(control<QRadioButton>("rbSrt")->isChecked());
    QVERIFY(!control("wdgSrt")->isHidden());
    QVERIFY(control("wdgRist")->isHidden());
    QCOMPARE(control<QLabel>("lblNameDistination")->text(), QStringLiteral("SRT Destination"));
}

void TestMainWindow::refusals_data() {
    QTest::addColumn<QString>("button");
    QTest::addColumn<QStringList>("form"); // what differs from a fresh window
    QTest::addColumn<QString>("message");
    const QString start = QStringLiteral("cmdStart");
    const QString speedTest = QStringLiteral("cmdSpeedTest");
    const QString player = QStringLiteral("cmbPlayer");
    const QString server = QStringLiteral("txtURL=127.0.0.1:9001");
    const QString badPass = QStringLiteral("Warning: Passphrase should be empty or 10-79 chars");
    const QString badServer = QStringLiteral("Warning: Incorrect SRT Server. Please enter host and port.");
    const auto pass = [](int length) { return QStringLiteral("txtPassphrase=") + QString(length, 'p'); };
    QTest::newRow("passphrase 9") << start << QStringList{server, pass(9)} << badPass;
    QTest::newRow("passphrase 80") << start << QStringList{server, pass(80)} << badPass;
    // The passphrase is checked before the server text.
    QTest::newRow("both wrong") << start << QStringList{"txtURL=nocolon", pass(3)} << badPass;
    QTest::newRow("server without colon") << start << QStringList{"txtURL=127.0.0.1"} << badServer;
    QTest::newRow("server with empty host") << start << QStringList{"txtURL= :9001"} << badServer;
    // An IPv6 address must come in brackets; without them its colons cannot be told from the port's.
    QTest::newRow("ipv6 server without brackets") << start << QStringList{"txtURL=::1:9001"} << badServer;
    QTest::newRow("rist without paths") << start << QStringList{"rbRist=1"}
                                        << "Fail rist start: Please, select which path to send the rist stream from!";

    const auto tooLong = [](int bytes) {
        return QStringLiteral("Warning: Stream ID is too long: SRT carries at most %1 bytes, this one takes %2.")
            .arg(kSrtHandshakeStreamIdBytes)
            .arg(bytes);
    };
    const auto id = [](int length, QChar letter = 'x') {
        return QStringLiteral("txtStreamID=") + QString(length, letter);
    };
    QTest::newRow("700 characters") << start << QStringList{server, id(700)} << tooLong(700);
    QTest::newRow("two-byte characters") << start << QStringList{server, id(300, QChar(0xe9))} << tooLong(600);
    // Fits alone; the suffixes the relay and the connection append push it over.
    const int limit = kSrtHandshakeStreamIdBytes;
    QTest::newRow("with #alpha") << start << QStringList{server, id(limit - 5), "chkAlpha=1"} << tooLong(limit + 1);
    QTest::newRow("with #lossless") << start << QStringList{server, id(limit - 8), "chkLL=1"} << tooLong(limit + 1);
    QTest::newRow("speed test") << speedTest << QStringList{server, id(limit - 9)} << tooLong(limit + 1);
    QTest::newRow("speed test, lossless")
        << speedTest << QStringList{server, id(limit - 18), "chkLL=1"} << tooLong(limit + 1);
    QTest::newRow("return feed") << player << QStringList{server, id(limit - 12)} << tooLong(limit + 1);
    // Taken as it stands, a larger number wraps round to another port: 106954 would reach 41418.
    const auto badPort = [](const char *port) {
        return QStringLiteral("Warning: Incorrect SRT Server port %1. Please enter a port from 1 to 65535.")
            .arg(QLatin1String(port));
    };
    const auto to = [](const char *url) { return QStringList{QStringLiteral("txtURL=") + url, "txtStreamID=cam1"}; };
    QTest::newRow("port that wraps") << start << to("127.0.0.1:106954") << badPort("106954");
    QTest::newRow("port past the highest") << start << to("srt://127.0.0.1:65536") << badPort("65536");
    QTest::newRow("port 0") << start << to("127.0.0.1:0") << badPort("0");
    QTest::newRow("negative port") << start << to("127.0.0.1:-1") << badPort("-1");
    QTest::newRow("speed test, port that wraps") << speedTest << to("127.0.0.1:106954") << badPort("106954");
    QTest::newRow("return feed, port that wraps") << player << to("srt://127.0.0.1:70000") << badPort("70000");
    // The backup server is checked like the main one; a port that is no number would leave it out unseen.
    const QString badBackup =
        QStringLiteral("Warning: Incorrect backup SRT Server. Please enter host and port, or leave it empty.");
    const auto backupTo = [&](const char *url) { return QStringList{server, QStringLiteral("txtURL_backup=") + url}; };
    QTest::newRow("backup without colon") << start << backupTo("127.0.0.2") << badBackup;
    QTest::newRow("backup port no number") << start << backupTo("127.0.0.2:9002?latency=200") << badBackup;
    QTest::newRow("backup port that wraps")
        << start << backupTo("srt://127.0.0.2:106954")
        << "Warning: Incorrect backup SRT Server port 106954. Please enter a port from 1 to 65535.";
}

void TestMainWindow::refusals() {
    QFETCH(QString, button);
    QFETCH(QStringList, form);
    QFETCH(QString, message);
    QVERIFY(fill(form));
    control<QPushButton>(qPrintable(button))->click();
    QCOMPARE(AppMessages::history(), QStringList{message});
    verifyIdle();
    QVERIFY(!window()->srtRelay()->isRunning());
    QVERIFY(!window()->playerWindow()->isPlaying());
}

void TestMainWindow::startValuesFromForm() {
    // Files name the desktop by its entry's visible text, whatever the device behind it is called.
    QVERIFY(window()->loadConfigFile(writeConfig(QStringLiteral("desktop.ini"), {{"VSOURCE", "Desktop"}})));
    QCOMPARE(combo("cmbVideoSources")->currentData().toString(), QStringLiteral("CAPTURE_DISPLAY#0"));
    QVERIFY(fill({"txtURL=SRT://127.0.0.1:9001", "txtStreamID=cam1", "txtPassphrase=kkkkkkkkkk", "cmbPBKeyLen=24",
                  "cmbFPS=29.97 fps if2", "cmbFrames=original", "cmbABR=192", "cmbSPR=44.1 Khz",
                  "cmbAudioSources=no audio", "txtAudio=  0,1 ", "spbVBR=4096", "spbLatency=500", "chkLL=1"}));
    const int h264 = combo("cmbEncs")->findData(QStringLiteral("libopenh264"));
    if (h264 >= 0)
        combo("cmbEncs")->setCurrentIndex(h264);

    StreamRequest request;
    QVERIFY(window()->streamRequest(&request));
    QVERIFY(AppMessages::history().isEmpty());
    QCOMPARE(QStringList({request.host, request.address, request.streamId, request.audioChoice, request.audioChannels,
                          request.videoDevice}),
             QStringList({"127.0.0.1", "127.0.0.1", "cam1", "NO_AUDIO", "0,1", "X11 Screen Capture"}));
    // No audio sends no audio bitrate.
    QCOMPARE(QList<int>({request.port, request.keyLength, request.latency, request.frameRate, request.interlace,
                         request.videoBitrate, request.audioBitrate, request.sampleRate, request.displayIndex}),
             QList<int>({9001, 24, 500, 2997, 2, 4096, 0, 44100, 0}));
    QVERIFY(request.lossless);
    QCOMPARE(request.frameSize, QSize());
    if (h264 >= 0)
        QCOMPARE(request.codec + '|' + request.encoderOptions, QStringLiteral("libopenh264|"));

    // A query after the port makes it 0, and the Start still goes ahead.
    QVERIFY(fill({"txtURL=127.0.0.1:9001?latency=200", "cmbFPS=original", "cmbAudioSources=original"}));
    QVERIFY(window()->streamRequest(&request));
    QCOMPARE(QList<int>({request.port, request.frameRate, request.interlace}), QList<int>({0, -1, 3}));

    QCOMPARE(request.backupPort, 0);

    QVERIFY(fill({"txtURL=srt://[::1]:9001", "txtURL_backup= SRT://127.0.0.2:9002 "}));
    QVERIFY(window()->streamRequest(&request));
    QCOMPARE(request.address, QStringLiteral("::1"));
    QCOMPARE(QStringList({request.backupAddress, request.backupInterfaceAddress}),
             QStringList({"127.0.0.2", window()->backupSenderInterface()}));
    QCOMPARE(request.backupPort, 9002);
    QCOMPARE(QList<int>({request.port, request.audioBitrate}), QList<int>({9001, 192}));
    QCOMPARE(request.audioChoice, QStringLiteral("ORIGINAL"));
}

void TestMainWindow::encoderOptionsFollowParameterLists_data() {
    QTest::addColumn<QString>("codec"); // empty: the Quick Sync entry that opens here
    QTest::addColumn<bool>("adaptive"); // the adaptive bitrate with "vbr"
    QTest::newRow("Quick Sync") << QString() << true;
    // The same two lists; libx265 cannot retarget in place, and the box's tool tip says why.
    QTest::newRow("HEVC (Software)") << QStringLiteral("x265sw") << false;
}

void TestMainWindow::encoderOptionsFollowParameterLists() {
    QFETCH(QString, codec);
    QFETCH(bool, adaptive);
    window();
    if (codec.isEmpty())
        codec = paramsCodec();
    if (codec.isEmpty() || combo("cmbEncs")->findData(codec) < 0)
        QSKIP("the encoder does not open on this machine");
    combo("cmbEncs")->setCurrentIndex(combo("cmbEncs")->findData(codec));
    QVERIFY(!combo("cmbParam_1")->isHidden() && !combo("cmbParam_2")->isHidden());
    QVERIFY(fill({"txtURL=127.0.0.1:9001"}));
    StreamRequest request;
    // Showing the lists does not store their first entries: the stored parameters stay empty and the
    // encoder keeps its defaults.
    QVERIFY(window()->streamRequest(&request));
    QCOMPARE(request.encoderOptions, QString());
    QVERIFY(fill({"cmbParam_1=vbr", "cmbParam_2=4"}));
    QVERIFY(window()->streamRequest(&request));
    QCOMPARE(request.codec, codec);
    QCOMPARE(request.encoderOptions, QStringLiteral(" video::rc_type='vbr' video::quality='4'"));
    auto *box = control<QCheckBox>("chkAdaptive");
    QCOMPARE(box->isEnabled(), adaptive);
    if (!adaptive) {
        const QString text = combo("cmbEncs")->currentText();
        QVERIFY2(box->toolTip().contains(QStringLiteral("Not available with: ")) &&
                     box->toolTip().contains(text + QStringLiteral(": FFmpeg's libx265")),
                 qPrintable(box->toolTip()));
    }

    const int plain = combo("cmbEncs")->findData(QStringLiteral("mpeg2video"));
    if (plain >= 0) {
        combo("cmbEncs")->setCurrentIndex(plain);
        QVERIFY(combo("cmbParam_1")->isHidden() && combo("cmbParam_2")->isHidden());
        QVERIFY(window()->streamRequest(&request));
        QCOMPARE(request.encoderOptions, QString());
    }
}

void TestMainWindow::listenerFailureLeavesWindowIdle() {
    // Another listener holds the port the relay is told to use, so its listener cannot open.
    QTcpServer holder;
    QVERIFY(holder.listen(QHostAddress::LocalHost, 0));
    window()->srtRelay()->setRequestedListenPort(holder.serverPort());
    QVERIFY(fill({nobodyListening()}));
    QElapsedTimer clock;
    clock.start();
    clickStart();
    QVERIFY2(clock.elapsed() < MainWindow::kListenerWaitMs + 1000, "the failed listen must end the wait early");
    QCOMPARE(AppMessages::history().size(), 1);
    QVERIFY(AppMessages::history().first().startsWith(QStringLiteral("Warning: The stream could not be started")));
    verifyIdle();
    QVERIFY(testkit::waitUntil([this] { return !window()->srtRelay()->isRunning(); }, 5000));
    window()->srtRelay()->setRequestedListenPort(0);
}

void TestMainWindow::lateRelayFailureIsIgnored() {
    window();
    emit window()->srtRelay()->srtError();
    QTest::qWait(MainWindow::kReconnectDelayMs + 300);
    verifyIdle();
    QCOMPARE(window()->reconnects(), 0);
    QVERIFY(AppMessages::history().isEmpty());
}

void TestMainWindow::relayFailuresRestartWithinLimit() {
    if (!windowtest::chooseTestPatternH264(*window()))
        QSKIP("the Test Pattern and the OpenH264 encoder are needed");
    // Nobody listens there: every run's sends fail and the relay reports it.
    QVERIFY(fill({nobodyListening(), "spbReconnect=2"}));

    int starts = 0;
    bool was = false;
    QStringList strip;
    QSignalSpy states(window()->streamHealth(), &StreamHealth::changed);
    auto countStarts = [&] {
        const bool now = window()->streaming();
        if (now && !was)
            ++starts;
        was = now;
        const QString text = window()->findChild<TelemetryStrip *>()->figuresText();
        if (strip.isEmpty() || strip.last() != text)
            strip << text;
    };
    clickStart();
    QVERIFY(window()->streaming());
    // The first run and two restarts; the third failure gives up and resets the count.
    QVERIFY2(testkit::waitUntil(
                 [&] {
                     countStarts();
                     return starts == 3 && !window()->streaming() && window()->reconnects() == 0;
                 },
                 60000, 5),
             qPrintable(QStringLiteral("starts %1, reconnects %2").arg(starts).arg(window()->reconnects())));
    // No restart follows the last failure.
    QTest::qWait(MainWindow::kReconnectDelayMs + 500);
    countStarts();
    QCOMPARE(starts, 3);
    verifyIdle();
    QVERIFY(window()->waitForWorkers(10000));

    // Said in words all along: never "not streaming" while a restart is due.
    QStringList said;
    for (const QList<QVariant> &change : qAsConst(states))
        said << change.at(1).toString();
    QVERIFY2(said.contains("server not answering") && said.contains("reconnecting (1 of 2) in 0.7 s") &&
                 said.contains("reconnecting (2 of 2) in 0.7 s") && said.last() == "stopped after 2 reconnects",
             qPrintable(said.join(" | ")));
    QVERIFY2(std::any_of(strip.cbegin(), strip.cend(),
                         [](const QString &text) { return text.startsWith("Link: reconnecting (1 of 2) in 0."); }),
             qPrintable(strip.join(" | ")));
    QCOMPARE(strip.last(), QStringLiteral("Link: stopped after 2 reconnects"));
}

void TestMainWindow::closingCancelsPendingRestart() {
    if (!windowtest::chooseTestPatternH264(*window()))
        QSKIP("the Test Pattern and the OpenH264 encoder are needed");
    QVERIFY(fill({nobodyListening(), "spbReconnect=5"}));
    clickStart();
    QVERIFY(window()->streaming());
    StreamHealth *health = window()->streamHealth();
    QVERIFY(testkit::waitUntil([&] { return health->state() == StreamHealth::State::Reconnecting; }, 20000, 5));
    // The close waits for the capture run with the event loop running, long enough for the restart to fall due.
    window()->close();
    QTest::qWait(MainWindow::kReconnectDelayMs + 500);
    QVERIFY(!window()->streaming());
    QVERIFY(!window()->srtRelay()->isRunning());
    QVERIFY(window()->waitForWorkers(10000));
}

void TestMainWindow::quitAfterAutoStartLeavesStoreUntouched() {
    {
        QSettings store(QStringLiteral("Brackmoor"), QStringLiteral("Tidewell"));
        store.setValue(QStringLiteral("URL"), QStringLiteral("10.0.0.1:1"));
        store.setValue(QStringLiteral("RECONNECT"), 4);
    }
    QVERIFY(QFileInfo::exists(storePath()));
    const QByteArray before = testkit::readFile(storePath());
    // The file's passphrase is refused, so nothing streams, but the settings came from the file.
    const QString config = writeConfig(QStringLiteral("auto.ini"), {{"URL", "127.0.0.1:9"}, {"PASSPHRASE", "short"}});
    window()->autoStart({QStringLiteral("tidewell"), config});
    QVERIFY(window()->wasAutoStarted());
    QCOMPARE(AppMessages::history(), QStringList{"Warning: Passphrase should be empty or 10-79 chars"});
    QVERIFY(QMetaObject::invokeMethod(window(), "onAboutToQuit"));
    QCOMPARE(testkit::readFile(storePath()), before);
}

void TestMainWindow::quitWithoutAutoStartSaves() {
    window()->autoStart({QStringLiteral("tidewell"), windowtest::homePath(QStringLiteral("a.b.ini"))});
    QVERIFY(!window()->wasAutoStarted());
    QVERIFY(fill({"txtStreamID=saved-at-quit"}));
    QVERIFY(QMetaObject::invokeMethod(window(), "onAboutToQuit"));
    QCOMPARE(window()->settingsStore()->fileName(), storePath());
    QCOMPARE(QSettings(storePath(), QSettings::IniFormat).value("STREAMID").toString(),
             QStringLiteral("saved-at-quit"));
}

void TestMainWindow::savedFilesAreOwnerOnly() {
    const mode_t mask = ::umask(022);
    QVERIFY(fill({"txtPassphrase=0123456789secret"}));
    const QString fresh = windowtest::homePath(QStringLiteral("private/fresh.ini"));
    const bool freshSaved = window()->saveConfigFile(fresh);
    // A file of an older version, readable by everyone, is rewritten for its owner only.
    const QString older = windowtest::homePath(QStringLiteral("older.ini"));
    QVERIFY(testkit::writeFile(older, "[General]\nURL=srt://127.0.0.1:9\n"));
    QVERIFY(QFile::setPermissions(older, QFile::ReadOwner | QFile::WriteOwner | QFile::ReadGroup | QFile::ReadOther));
    const bool olderSaved = window()->saveConfigFile(older);
    // The store: init() created it with the umask's mode.
    QVERIFY(QMetaObject::invokeMethod(window(), "onAboutToQuit"));
    ::umask(mask);
    QVERIFY(freshSaved && olderSaved);
    QVERIFY2(AppMessages::history().isEmpty(), qPrintable(AppMessages::history().join('\n')));
    for (const QString &path : {fresh, older, storePath()}) {
        QVERIFY2(fileMode(path) == 0600, qPrintable(QStringLiteral("%1: %2").arg(path).arg(fileMode(path), 0, 8)));
        QVERIFY(testkit::readFile(path).contains("0123456789secret"));
    }
}

void TestMainWindow::failedSaveIsReportedAndKeepsTheFile_data() {
    QTest::addColumn<bool>("fullDisk"); // else a read-only folder
    QTest::addColumn<bool>("atQuit");   // the store at quit, else Save config
    QTest::newRow("Save config, read-only folder") << false << false;
    QTest::newRow("Save config, full disk") << true << false;
    QTest::newRow("quit, read-only folder") << false << true;
    QTest::newRow("quit, full disk") << true << true;
}

void TestMainWindow::failedSaveIsReportedAndKeepsTheFile() {
    QFETCH(bool, fullDisk);
    QFETCH(bool, atQuit);
    const QString path = atQuit ? storePath() : windowtest::homePath(QStringLiteral("locked/config.ini"));
    const QString folder = QFileInfo(path).absolutePath();
    if (!atQuit)
        QVERIFY(QDir().mkpath(folder) && testkit::writeFile(path, "[General]\nSTREAMID=before\n"));
    const QByteArray before = testkit::readFile(path);
    QVERIFY(!before.isEmpty());
    QVERIFY(fill({"txtStreamID=not-saved"}));
    bool saved = false;
    {
        std::unique_ptr<testkit::FileSizeLimit> limit;
        std::unique_ptr<testkit::ReadOnlyFolder> locked;
        if (fullDisk)
            limit = std::make_unique<testkit::FileSizeLimit>(before.size() + 16);
        else if (!(locked = std::make_unique<testkit::ReadOnlyFolder>(folder))->ok())
            QSKIP("this file system cannot make a folder read-only");
        if (atQuit)
            QVERIFY(QMetaObject::invokeMethod(window(), "onAboutToQuit"));
        else
            saved = window()->saveConfigFile(path);
    }
    QVERIFY(!saved);
    QCOMPARE(AppMessages::history().size(), 1);
    QVERIFY2(
        AppMessages::history().first().startsWith(QStringLiteral("Warning: The settings were not saved to ") + path),
        qPrintable(AppMessages::history().first()));
    QCOMPARE(testkit::readFile(path), before);
    // Nothing half-written is left beside it.
    QCOMPARE(QDir(folder).entryList(QDir::Files | QDir::Hidden), QStringList{QFileInfo(path).fileName()});
    // QSettings keeps what it could not write in its cache of the file and writes it with the next write from this
    // process, the next test's included: that write happens now.
    QSettings(path, QSettings::IniFormat).sync();
}

void TestMainWindow::unusableConfigFileChangesNothing_data() {
    QTest::addColumn<QByteArray>("content"); // empty: the file does not exist
    QTest::addColumn<QString>("reason");
    QTest::newRow("binary") << QByteArray("\x7f"
                                          "ELF\x02\x01\x01",
                                          7) +
                                   QByteArray(3, '\0') + "[x]\nURL=1:2\n"
                            << "not a configuration";
    // QSettings would read a serialised string list whose count no data follows, and abort.
    QTest::newRow("serialised value") << QByteArray("[General]\nURL=srt://10.0.0.9:9001\n"
                                                    "RL=@Variant(\\0\\0\\0\x0bx7f\\0\\x1)\n")
                                      << "not a configuration";
    QTest::newRow("text without keys") << QByteArray("just some notes\nabout a stream\n") << "not a configuration";
    QTest::newRow("missing file") << QByteArray() << "cannot be read";
}

void TestMainWindow::unusableConfigFileChangesNothing() {
    QFETCH(QByteArray, content);
    QFETCH(QString, reason);
    const QString path = windowtest::homePath(QStringLiteral("unusable.ini"));
    QFile::remove(path);
    if (!content.isEmpty())
        QVERIFY(testkit::writeFile(path, content));
    const QStringList form = {"txtURL_rist=rist://127.0.0.1:5004", "spbLatency=300", "spbReconnect=4", "chkLL=1"};
    QVERIFY(fill(form));
    QVERIFY(!window()->loadConfigFile(path));
    QCOMPARE(AppMessages::history().size(), 1);
    QVERIFY2(AppMessages::history().first().contains(reason), qPrintable(AppMessages::history().first()));
    QCOMPARE(shown(form), form);

    // On the command line the same file starts nothing.
    if (content.isEmpty())
        return;
    AppMessages::clearHistory();
    window()->autoStart({QStringLiteral("tidewell"), path});
    QCOMPARE(AppMessages::history().size(), 1);
    verifyIdle();
    QVERIFY(!window()->srtRelay()->isRunning());
}

void TestMainWindow::unusableConfigValuesAreReported() {
    QVERIFY(fill({"spbVBR=4096"}));
    const QString encoder = combo("cmbEncs")->currentText();
    const QString source = combo("cmbVideoSources")->currentText();
    const QString path = writeConfig(QStringLiteral("garbage.ini"), {{"URL", " 127.0.0.1:9001 "},
                                                                     {"VBR", "lots"},
                                                                     {"LATENCY", "fast"},
                                                                     {"RECONNECT", "ten"},
                                                                     {"VITC", "maybe"},
                                                                     {"ENCSV", "No Such Encoder"},
                                                                     {"VSOURCE", "No Such Camera"},
                                                                     {"FPS", "99 fps"},
                                                                     {"STREAMID", "kept"}});
    QVERIFY(window()->loadConfigFile(path));
    QCOMPARE(AppMessages::history().size(), 1);
    const QString message = AppMessages::history().first();
    for (const char *key : {"VBR", "LATENCY", "RECONNECT", "VITC", "ENCSV", "VSOURCE", "FPS"})
        QVERIFY2(message.contains(QLatin1String(key)), qPrintable(message));
    QVERIFY2(!message.contains(QLatin1String("STREAMID")) && !message.contains(QLatin1String("URL")),
             qPrintable(message));
    // Usable values are applied; the others keep the control (VBR) or take the missing key's default.
    QCOMPARE(shown({"txtStreamID", "spbVBR", "spbLatency", "spbReconnect", "chkVITC", "cmbEncs", "cmbVideoSources",
                    "cmbFPS"}),
             QStringList({"txtStreamID=kept", "spbVBR=4096", "spbLatency=120", "spbReconnect=10", "chkVITC=0",
                          "cmbEncs=" + encoder, "cmbVideoSources=" + source, "cmbFPS=25 fps"}));
    StreamRequest request;
    QVERIFY(window()->streamRequest(&request));
    QCOMPARE(request.port, 9001);
}

void TestMainWindow::stopAfterTransportSwitchFreesDestination() {
    if (!windowtest::chooseTestPatternH264(*window()))
        QSKIP("the Test Pattern and the OpenH264 encoder are needed");
    SrtTestListener server;
    QVERIFY2(server.start(), qPrintable(server.errorText()));
    QVERIFY(fill({"spbReconnect=0", QStringLiteral("txtURL=127.0.0.1:%1").arg(server.port())}));
    clickStart();
    QVERIFY(window()->streaming());
    QVERIFY(testkit::waitUntil([&] { return server.bytesReceived() > 0; }, 10000));
    QVERIFY(!control("destinationGroup")->isEnabled());
    // A configuration loaded while streaming switches the destination to RIST; the Stop must free it all.
    QVERIFY(window()->loadConfigFile(writeConfig(QStringLiteral("to-rist.ini"), {{"RIST_DEST", true}})));
    if (window()->streaming())
        clickStart();
    verifyIdle();
    QVERIFY(control("txtURL_rist")->isEnabled() && control("rbSrt")->isEnabled());
    // The Stop ended the relay that was started, not the one the form shows now: the server sees its caller go.
    QVERIFY(testkit::waitUntil([&] { return !window()->srtRelay()->isRunning(); }, 3000));
    QVERIFY(testkit::waitUntil([&] { return server.callers().first().closed; }, 10000));
    QVERIFY(window()->waitForWorkers(10000));
}

int main(int argc, char *argv[]) {
    return windowtest::run<TestMainWindow>(argc, argv);
}

#include "tst_mainwindow.moc"
