// The main window driven as the operator would: its settings, the values a Start takes from the form, the
// refusals, the bounded listener wait and the quit-time save.
#include "appmessages.h"
#include "mainwindow.h"
#include "player.h"
#include "resender.h"
#include "srtstreamid.h"
#include "srttestlistener.h"
#include "streamhealth.h"
#include "telemetrystrip.h"
#include "windowtestmain.h"

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QCryptographicHash>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QSettings>
#include <QSpinBox>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QtTest>

#include "testkit.h"

#include <memory>
#include <sys/stat.h>

namespace {
// Every setting of these tests lives below this folder, never in the user's own store.
QTemporaryDir *settingsHome = nullptr;

QString storePath() {
    return settingsHome->filePath(QStringLiteral("config/Brackmoor/Tidewell.conf"));
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
    void startRefusals_data();
    void startRefusals();
    void badDestinationRefused_data();
    void badDestinationRefused();
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
    template <typename T> T *control(const char *name) {
        T *widget = window()->findChild<T *>(QLatin1String(name));
        if (!widget)
            qFatal("no control %s", name);
        return widget;
    }
    QComboBox *combo(const char *name) { return control<QComboBox>(name); }
    bool select(const char *name, const QString &text) {
        const int index = combo(name)->findText(text);
        combo(name)->setCurrentIndex(index);
        return index >= 0;
    }
    QString writeConfig(const QString &name, const QMap<QString, QVariant> &values) {
        const QString path = settingsHome->filePath(name);
        QFile::remove(path);
        QSettings file(path, QSettings::IniFormat);
        for (auto it = values.cbegin(); it != values.cend(); ++it)
            file.setValue(it.key(), it.value());
        file.sync();
        return path;
    }
    // A codec with rate-control parameters that opens on this machine, or empty.
    QString paramsCodec() {
        for (const char *codec : {"q264hw", "q264sw"}) {
            const int index = combo("cmbEncs")->findData(QLatin1String(codec));
            if (index >= 0)
                return QLatin1String(codec);
        }
        return QString();
    }

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
    window();
    QCOMPARE(combo("cmbFrames")->currentText(), QStringLiteral("1280x720"));
    QCOMPARE(combo("cmbFPS")->currentText(), QStringLiteral("25 fps"));
    QCOMPARE(control<QSpinBox>("spbLatency")->value(), 120);
    QCOMPARE(control<QSpinBox>("spbReconnect")->value(), 10);
    QCOMPARE(control<QSpinBox>("spbVBR")->value(), 128);
    QCOMPARE(control<QSpinBox>("sbLatency")->value(), 15);
    QVERIFY(!control<QCheckBox>("chkVITC")->isChecked());
    QVERIFY(!control<QCheckBox>("chkAlpha")->isChecked());
    QVERIFY(!control<QCheckBox>("chkLL")->isChecked());
    QVERIFY(control<QRadioButton>("rbSrt")->isChecked());
    QVERIFY(!control<QRadioButton>("rbRist")->isChecked());
    QCOMPARE(combo("cmbVideoSources")->currentIndex(), 0);
    QCOMPARE(combo("cmbAudioSources")->currentText(), QStringLiteral("no audio"));
    QCOMPARE(combo("cmbABR")->currentText(), QStringLiteral("1024"));
    QCOMPARE(window()->windowTitle(), QStringLiteral("Tidewell ver 1.2.3  (build 68)"));
    QVERIFY(!window()->streaming());
    QCOMPARE(control<QPushButton>("cmdStart")->text(), QStringLiteral("START"));
    // The screen entry comes last, after the devices.
    QCOMPARE(combo("cmbVideoSources")->itemData(combo("cmbVideoSources")->count() - 1).toString(),
             QStringLiteral("CAPTURE_DISPLAY#0"));
}

void TestMainWindow::everyKeySurvivesSaveAndLoad() {
    window();
    if (combo("cmbEncs")->count() == 0)
        QSKIP("no encoder opens on this machine");
    const QString codec = combo("cmbEncs")->itemData(0).toString();
    QMap<QString, QVariant> values = {
        {"ABR", "256"},
        {"VBR", 4096},
        {"URL", "srt://127.0.0.1:9001"},
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
    const QString path = writeConfig(QStringLiteral("every.ini"), values);
    {
        QSettings file(path, QSettings::IniFormat);
        window()->loadSettings(&file);
    }
    QVERIFY(control<QCheckBox>("chkLL")->isChecked());
    QVERIFY(control<QSpinBox>("spbLatency")->isHidden());
    QVERIFY(control<QRadioButton>("rbRist")->isChecked());

    const QString savedPath = settingsHome->filePath(QStringLiteral("saved.ini"));
    QFile::remove(savedPath);
    {
        QSettings saved(savedPath, QSettings::IniFormat);
        window()->saveSettings(&saved);
    }
    QSettings saved(savedPath, QSettings::IniFormat);
    for (auto it = values.cbegin(); it != values.cend(); ++it)
        QCOMPARE(saved.value(it.key()).toString(), it.value().toString());
}

void TestMainWindow::handWrittenTextKeysLoad_data() {
    QTest::addColumn<QString>("key");
    QTest::addColumn<QByteArray>("line"); // the value as typed into the file
    QTest::addColumn<QString>("saved");
    // Unquoted, a comma makes QSettings read a list; QSettings drops the blanks around each comma.
    QTest::newRow("URL") << "URL" << QByteArray("srt://127.0.0.1:9001?latency=200,x")
                         << "srt://127.0.0.1:9001?latency=200,x";
    QTest::newRow("STREAMID") << "STREAMID" << QByteArray("#!::r=live/cam1,m=publish") << "#!::r=live/cam1,m=publish";
    QTest::newRow("PASSPHRASE") << "PASSPHRASE" << QByteArray("0123456789,abc") << "0123456789,abc";
    QTest::newRow("AUDIOCHS") << "AUDIOCHS" << QByteArray("0, 1") << "0,1";
    QTest::newRow("URL_RIST") << "URL_RIST" << QByteArray("rist://10.0.0.9:5004, rist://10.0.1.9:5004")
                              << "rist://10.0.0.9:5004,rist://10.0.1.9:5004";
    QTest::newRow("STREAMID_RIST") << "STREAMID_RIST" << QByteArray("cam,1") << "cam,1";
    QTest::newRow("PASSPHRASE_RIST") << "PASSPHRASE_RIST" << QByteArray("s3cret,Word") << "s3cret,Word";
    QTest::newRow("BONDING_RIST") << "BONDING_RIST" << QByteArray("10.0.0.5(1),10.0.1.5(1)")
                                  << "10.0.0.5(1),10.0.1.5(1)";
    // Quoted, as Save config writes it, the text is kept exactly.
    QTest::newRow("quoted") << "PASSPHRASE_RIST" << QByteArray("\"s3cret, Word\"") << "s3cret, Word";
}

void TestMainWindow::handWrittenTextKeysLoad() {
    QFETCH(QString, key);
    QFETCH(QByteArray, line);
    QFETCH(QString, saved);
    const QString path = settingsHome->filePath(QStringLiteral("by-hand.ini"));
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    file.write("[General]\n" + key.toLatin1() + '=' + line + '\n');
    file.close();
    QVERIFY(window()->loadConfigFile(path));
    QVERIFY2(AppMessages::history().isEmpty(), qPrintable(AppMessages::history().join('\n')));

    const QString savedPath = settingsHome->filePath(QStringLiteral("by-hand-saved.ini"));
    QFile::remove(savedPath);
    {
        QSettings store(savedPath, QSettings::IniFormat);
        window()->saveSettings(&store);
    }
    QCOMPARE(QSettings(savedPath, QSettings::IniFormat).value(key).toString(), saved);
}

void TestMainWindow::encoderParamsStoredAsText() {
    window();
    const QString codec = paramsCodec();
    if (codec.isEmpty())
        QSKIP("no Quick Sync encoder opens on this machine");
    const QString key = codec + QStringLiteral("_params");
    const QString text = combo("cmbEncs")->itemText(combo("cmbEncs")->findData(codec));
    {
        const QString path = writeConfig(QStringLiteral("params.ini"),
                                         {{key, "auto 1 (fast capturing, minimal quality)"}, {"ENCSV", text}});
        QSettings file(path, QSettings::IniFormat);
        window()->loadSettings(&file);
    }
    QCOMPARE(combo("cmbParam_1")->currentText(), QStringLiteral("auto"));
    QCOMPARE(combo("cmbParam_2")->currentText(), QStringLiteral("1 (fast capturing, minimal quality)"));
    QVERIFY(select("cmbParam_1", QStringLiteral("vbr")));
    QVERIFY(select("cmbParam_2", QStringLiteral("4")));
    const QString savedPath = settingsHome->filePath(QStringLiteral("params-saved.ini"));
    QFile::remove(savedPath);
    {
        QSettings saved(savedPath, QSettings::IniFormat);
        window()->saveSettings(&saved);
    }
    QSettings saved(savedPath, QSettings::IniFormat);
    QCOMPARE(saved.value(key).toString(), QStringLiteral("vbr 4"));
}

void TestMainWindow::interfaceKeyLeftAloneWithoutChoice() {
    window();
    if (combo("networkInterfaceComboBox")->count() > 2)
        QSKIP("this machine has several usable interfaces, so the key is written");
    QVERIFY(combo("networkInterfaceComboBox")->isHidden());
    QCOMPARE(window()->senderInterface(), QString());
    const QString path = writeConfig(QStringLiteral("iface.ini"), {{"NETWORK_IFACE", "Ethernet: 10.9.9.9"}});
    {
        QSettings file(path, QSettings::IniFormat);
        window()->saveSettings(&file);
    }
    QSettings file(path, QSettings::IniFormat);
    QCOMPARE(file.value(QStringLiteral("NETWORK_IFACE")).toString(), QStringLiteral("Ethernet: 10.9.9.9"));
}

void TestMainWindow::ristDestFalseSwitchesBackToSrt() {
    control<QRadioButton>("rbRist")->setChecked(true);
    QVERIFY(control<QWidget>("wdgSrt")->isHidden());
    QCOMPARE(control<QLabel>("lblNameDistination")->text(), QStringLiteral("RIST Destination"));
    const QString path = writeConfig(QStringLiteral("srt.ini"), {{"RIST_DEST", false}});
    QSettings file(path, QSettings::IniFormat);
    window()->loadSettings(&file);
    QVERIFY(control<QRadioButton>("rbSrt")->isChecked());
    QVERIFY(!control<QWidget>("wdgSrt")->isHidden());
    QVERIFY(control<QWidget>("wdgRist")->isHidden());
    QCOMPARE(control<QLabel>("lblNameDistination")->text(), QStringLiteral("SRT Destination"));
}

void TestMainWindow::startRefusals_data() {
    QTest::addColumn<bool>("rist");
    QTest::addColumn<QString>("server");
    QTest::addColumn<QString>("passphrase");
    QTest::addColumn<QString>("message");
    const QString badPass = QStringLiteral("Warning: Passphrase should be empty or 10-79 chars");
    QTest::newRow("passphrase 9") << false << "127.0.0.1:9001" << QString(9, 'p') << badPass;
    QTest::newRow("passphrase 80") << false << "127.0.0.1:9001" << QString(80, 'p') << badPass;
    // The passphrase is checked before the server text.
    QTest::newRow("both wrong") << false << "nocolon" << QString(3, 'p') << badPass;
    QTest::newRow("server without colon")
        << false << "127.0.0.1" << QString() << "Warning: Incorrect SRT Server. Please enter host and port.";
    QTest::newRow("server with empty host")
        << false << " :9001" << QString() << "Warning: Incorrect SRT Server. Please enter host and port.";
    // An IPv6 address must come in brackets; without them its colons cannot be told from the port's.
    QTest::newRow("ipv6 server without brackets")
        << false << "::1:9001" << QString() << "Warning: Incorrect SRT Server. Please enter host and port.";
    QTest::newRow("rist without paths") << true << "" << QString()
                                        << "Fail rist start: Please, select which path to send the rist stream from!";
}

void TestMainWindow::startRefusals() {
    QFETCH(bool, rist);
    QFETCH(QString, server);
    QFETCH(QString, passphrase);
    QFETCH(QString, message);
    control<QRadioButton>(rist ? "rbRist" : "rbSrt")->setChecked(true);
    control<QLineEdit>("txtURL")->setText(server);
    control<QLineEdit>("txtPassphrase")->setText(passphrase);
    control<QPushButton>("cmdStart")->click();
    QCOMPARE(AppMessages::history(), QStringList{message});
    QVERIFY(!window()->streaming());
    QVERIFY(!control<QPushButton>("cmdStart")->isChecked());
    QCOMPARE(control<QPushButton>("cmdStart")->text(), QStringLiteral("START"));
    QVERIFY(control<QWidget>("encodingGroup")->isEnabled());
    QVERIFY(!window()->srtRelay()->isRunning());
}

void TestMainWindow::badDestinationRefused_data() {
    QTest::addColumn<QString>("button");
    QTest::addColumn<QString>("server");
    QTest::addColumn<QString>("streamId");
    QTest::addColumn<bool>("alpha");
    QTest::addColumn<bool>("lossless");
    QTest::addColumn<QString>("message");
    const QString start = QStringLiteral("cmdStart");
    const QString speedTest = QStringLiteral("cmdSpeedTest");
    const QString player = QStringLiteral("cmbPlayer");
    const QString server = QStringLiteral("127.0.0.1:9001");
    const auto tooLong = [](int bytes) {
        return QStringLiteral("Warning: Stream ID is too long: SRT carries at most %1 bytes, this one takes %2.")
            .arg(kSrtHandshakeStreamIdBytes)
            .arg(bytes);
    };
    QTest::newRow("700 characters") << start << server << QString(700, 'x') << false << false << tooLong(700);
    QTest::newRow("two-byte characters") << start << server << QString(300, QChar(0xe9)) << false << false
                                         << tooLong(600);
    // Fits alone; the suffixes the relay and the connection append push it over.
    const int limit = kSrtHandshakeStreamIdBytes;
    QTest::newRow("with #alpha") << start << server << QString(limit - 5, 'x') << true << false << tooLong(limit + 1);
    QTest::newRow("with #lossless") << start << server << QString(limit - 8, 'x') << false << true
                                    << tooLong(limit + 1);
    QTest::newRow("speed test") << speedTest << server << QString(limit - 9, 'x') << false << false
                                << tooLong(limit + 1);
    QTest::newRow("speed test, lossless")
        << speedTest << server << QString(limit - 18, 'x') << false << true << tooLong(limit + 1);
    QTest::newRow("return feed") << player << server << QString(limit - 12, 'x') << false << false
                                 << tooLong(limit + 1);
    // Taken as it stands, a larger number wraps round to another port: 106954 would reach 41418.
    const auto badPort = [](const char *port) {
        return QStringLiteral("Warning: Incorrect SRT Server port %1. Please enter a port from 1 to 65535.")
            .arg(QLatin1String(port));
    };
    QTest::newRow("port that wraps") << start << "127.0.0.1:106954"
                                     << "cam1" << false << false << badPort("106954");
    QTest::newRow("port past the highest") << start << "srt://127.0.0.1:65536"
                                           << "cam1" << false << false << badPort("65536");
    QTest::newRow("port 0") << start << "127.0.0.1:0"
                            << "cam1" << false << false << badPort("0");
    QTest::newRow("negative port") << start << "127.0.0.1:-1"
                                   << "cam1" << false << false << badPort("-1");
    QTest::newRow("speed test, port that wraps") << speedTest << "127.0.0.1:106954"
                                                 << "cam1" << false << false << badPort("106954");
    QTest::newRow("return feed, port that wraps") << player << "srt://127.0.0.1:70000"
                                                  << "cam1" << false << false << badPort("70000");
}

void TestMainWindow::badDestinationRefused() {
    QFETCH(QString, button);
    QFETCH(QString, server);
    QFETCH(QString, streamId);
    QFETCH(bool, alpha);
    QFETCH(bool, lossless);
    QFETCH(QString, message);
    control<QRadioButton>("rbSrt")->setChecked(true);
    control<QLineEdit>("txtURL")->setText(server);
    control<QLineEdit>("txtStreamID")->setText(streamId);
    control<QCheckBox>("chkAlpha")->setChecked(alpha);
    control<QCheckBox>("chkLL")->setChecked(lossless);
    control<QPushButton>(button.toLatin1().constData())->click();
    QCOMPARE(AppMessages::history(), QStringList{message});
    QVERIFY(!window()->streaming());
    QVERIFY(!control<QPushButton>("cmdStart")->isChecked());
    QVERIFY(!window()->srtRelay()->isRunning());
    QVERIFY(!window()->playerWindow()->isPlaying());
}

void TestMainWindow::startValuesFromForm() {
    // Files name the desktop by its entry's visible text, whatever the device behind it is called.
    QVERIFY(window()->loadConfigFile(writeConfig(QStringLiteral("desktop.ini"), {{"VSOURCE", "Desktop"}})));
    QCOMPARE(combo("cmbVideoSources")->currentData().toString(), QStringLiteral("CAPTURE_DISPLAY#0"));
    control<QLineEdit>("txtURL")->setText(QStringLiteral("SRT://127.0.0.1:9001"));
    control<QLineEdit>("txtStreamID")->setText(QStringLiteral("cam1"));
    control<QLineEdit>("txtPassphrase")->setText(QString(10, QLatin1Char('k')));
    QVERIFY(select("cmbPBKeyLen", QStringLiteral("24")));
    QVERIFY(select("cmbFPS", QStringLiteral("29.97 fps if2")));
    QVERIFY(select("cmbFrames", QStringLiteral("original")));
    QVERIFY(select("cmbABR", QStringLiteral("192")));
    QVERIFY(select("cmbSPR", QStringLiteral("44.1 Khz")));
    QVERIFY(select("cmbAudioSources", QStringLiteral("no audio")));
    control<QLineEdit>("txtAudio")->setText(QStringLiteral("  0,1 "));
    control<QSpinBox>("spbVBR")->setValue(4096);
    control<QSpinBox>("spbLatency")->setValue(500);
    control<QCheckBox>("chkLL")->setChecked(true);
    const int h264 = combo("cmbEncs")->findData(QStringLiteral("libopenh264"));
    if (h264 >= 0)
        combo("cmbEncs")->setCurrentIndex(h264);

    StreamRequest request;
    QVERIFY(window()->streamRequest(&request));
    QVERIFY(AppMessages::history().isEmpty());
    QCOMPARE(request.host, QStringLiteral("127.0.0.1"));
    QCOMPARE(request.address, QStringLiteral("127.0.0.1"));
    QCOMPARE(request.port, 9001);
    QCOMPARE(request.streamId, QStringLiteral("cam1"));
    QCOMPARE(request.keyLength, 24);
    QCOMPARE(request.latency, 500);
    QVERIFY(request.lossless);
    QCOMPARE(request.frameRate, 2997);
    QCOMPARE(request.interlace, 2);
    QCOMPARE(request.frameSize, QSize());
    QCOMPARE(request.videoBitrate, 4096);
    // No audio sends no audio bitrate.
    QCOMPARE(request.audioBitrate, 0);
    QCOMPARE(request.audioChoice, QStringLiteral("NO_AUDIO"));
    QCOMPARE(request.sampleRate, 44100);
    QCOMPARE(request.audioChannels, QStringLiteral("0,1"));
    QCOMPARE(request.videoDevice, QStringLiteral("X11 Screen Capture"));
    QCOMPARE(request.displayIndex, 0);
    if (h264 >= 0) {
        QCOMPARE(request.codec, QStringLiteral("libopenh264"));
        QCOMPARE(request.encoderOptions, QString());
    }

    // A query after the port makes it 0, and the Start still goes ahead.
    control<QLineEdit>("txtURL")->setText(QStringLiteral("127.0.0.1:9001?latency=200"));
    QVERIFY(select("cmbFPS", QStringLiteral("original")));
    QVERIFY(select("cmbAudioSources", QStringLiteral("original")));
    QVERIFY(window()->streamRequest(&request));
    QCOMPARE(request.port, 0);
    QCOMPARE(request.frameRate, -1);
    QCOMPARE(request.interlace, 3);

    control<QLineEdit>("txtURL")->setText(QStringLiteral("srt://[::1]:9001"));
    QVERIFY(window()->streamRequest(&request));
    QCOMPARE(request.address, QStringLiteral("::1"));
    QCOMPARE(request.port, 9001);
    QCOMPARE(request.audioBitrate, 192);
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
    QVERIFY(!combo("cmbParam_1")->isHidden());
    QVERIFY(!combo("cmbParam_2")->isHidden());
    control<QLineEdit>("txtURL")->setText(QStringLiteral("127.0.0.1:9001"));
    StreamRequest request;
    // Showing the lists does not store their first entries: the stored parameters stay empty and the
    // encoder keeps its defaults.
    QVERIFY(window()->streamRequest(&request));
    QCOMPARE(request.encoderOptions, QString());
    QVERIFY(select("cmbParam_1", QStringLiteral("vbr")));
    QVERIFY(select("cmbParam_2", QStringLiteral("4")));
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
        QVERIFY(combo("cmbParam_1")->isHidden());
        QVERIFY(combo("cmbParam_2")->isHidden());
        QVERIFY(window()->streamRequest(&request));
        QCOMPARE(request.encoderOptions, QString());
    }
}

void TestMainWindow::listenerFailureLeavesWindowIdle() {
    // Another listener holds the port the relay is told to use, so its listener cannot open.
    QTcpServer holder;
    QVERIFY(holder.listen(QHostAddress::LocalHost, 0));
    window()->srtRelay()->setRequestedListenPort(holder.serverPort());
    control<QLineEdit>("txtURL")->setText(QStringLiteral("127.0.0.1:%1").arg(testkit::freePort(true)));
    QElapsedTimer clock;
    clock.start();
    control<QPushButton>("cmdStart")->click();
    QVERIFY2(clock.elapsed() < MainWindow::kListenerWaitMs + 1000, "the failed listen must end the wait early");
    QCOMPARE(AppMessages::history().size(), 1);
    QVERIFY(AppMessages::history().first().startsWith(QStringLiteral("Warning: The stream could not be started")));
    QVERIFY(!window()->streaming());
    QVERIFY(!control<QPushButton>("cmdStart")->isChecked());
    QCOMPARE(control<QPushButton>("cmdStart")->text(), QStringLiteral("START"));
    QVERIFY(control<QWidget>("destinationGroup")->isEnabled());
    QVERIFY(testkit::waitUntil([this] { return !window()->srtRelay()->isRunning(); }, 5000));
    window()->srtRelay()->setRequestedListenPort(0);
}

void TestMainWindow::lateRelayFailureIsIgnored() {
    window();
    emit window()->srtRelay()->srtError();
    QTest::qWait(MainWindow::kReconnectDelayMs + 300);
    QVERIFY(!window()->streaming());
    QCOMPARE(window()->reconnects(), 0);
    QVERIFY(!control<QPushButton>("cmdStart")->isChecked());
    QVERIFY(AppMessages::history().isEmpty());
}

void TestMainWindow::relayFailuresRestartWithinLimit() {
    if (!windowtest::chooseTestPatternH264(*window()))
        QSKIP("the Test Pattern and the OpenH264 encoder are needed");
    // Nobody listens there: every run's sends fail and the relay reports it.
    control<QLineEdit>("txtURL")->setText(QStringLiteral("127.0.0.1:%1").arg(testkit::freePort(true)));
    control<QSpinBox>("spbReconnect")->setValue(2);

    int starts = 0;
    bool was = false;
    QStringList strip;
    QSignalSpy states(window()->streamHealth(), &StreamHealth::changed);
    auto countStarts = [&] {
        const bool now = window()->streaming();
        if (now && !was)
            ++starts;
        was = now;
        const QString shown = window()->findChild<TelemetryStrip *>()->figuresText();
        if (strip.isEmpty() || strip.last() != shown)
            strip << shown;
    };
    control<QPushButton>("cmdStart")->click();
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
    QVERIFY(!window()->streaming());
    QVERIFY(!control<QPushButton>("cmdStart")->isChecked());
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
    control<QLineEdit>("txtURL")->setText(QStringLiteral("127.0.0.1:%1").arg(testkit::freePort(true)));
    control<QSpinBox>("spbReconnect")->setValue(5);
    control<QPushButton>("cmdStart")->click();
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
        store.sync();
    }
    QCOMPARE(QFileInfo(storePath()).exists(), true);
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
    window()->autoStart({QStringLiteral("tidewell"), settingsHome->filePath(QStringLiteral("a.b.ini"))});
    QVERIFY(!window()->wasAutoStarted());
    control<QLineEdit>("txtStreamID")->setText(QStringLiteral("saved-at-quit"));
    QVERIFY(QMetaObject::invokeMethod(window(), "onAboutToQuit"));
    QCOMPARE(window()->settingsStore()->fileName(), storePath());
    QSettings store(storePath(), QSettings::IniFormat);
    QCOMPARE(store.value(QStringLiteral("STREAMID")).toString(), QStringLiteral("saved-at-quit"));
}

void TestMainWindow::savedFilesAreOwnerOnly() {
    const mode_t mask = ::umask(022);
    control<QLineEdit>("txtPassphrase")->setText(QStringLiteral("0123456789secret"));
    const QString fresh = settingsHome->filePath(QStringLiteral("private/fresh.ini"));
    const bool freshSaved = window()->saveConfigFile(fresh);
    // A file of an older version, readable by everyone, is rewritten for its owner only.
    const QString older = settingsHome->filePath(QStringLiteral("older.ini"));
    QFile file(older);
    QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    file.write("[General]\nURL=srt://127.0.0.1:9\n");
    file.close();
    QVERIFY(file.setPermissions(QFile::ReadOwner | QFile::WriteOwner | QFile::ReadGroup | QFile::ReadOther));
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
    const QString path = atQuit ? storePath() : settingsHome->filePath(QStringLiteral("locked/config.ini"));
    const QString folder = QFileInfo(path).absolutePath();
    if (!atQuit) {
        QVERIFY(QDir().mkpath(folder));
        QFile file(path);
        QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
        file.write("[General]\nSTREAMID=before\n");
    }
    const QByteArray before = testkit::readFile(path);
    QVERIFY(!before.isEmpty());
    control<QLineEdit>("txtStreamID")->setText(QStringLiteral("not-saved"));
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
    const QString path = settingsHome->filePath(QStringLiteral("unusable.ini"));
    QFile::remove(path);
    if (!content.isEmpty()) {
        QFile file(path);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(content);
    }
    control<QLineEdit>("txtURL_rist")->setText(QStringLiteral("rist://127.0.0.1:5004"));
    control<QSpinBox>("spbLatency")->setValue(300);
    control<QSpinBox>("spbReconnect")->setValue(4);
    control<QCheckBox>("chkLL")->setChecked(true);
    QVERIFY(!window()->loadConfigFile(path));
    QCOMPARE(AppMessages::history().size(), 1);
    QVERIFY2(AppMessages::history().first().contains(reason), qPrintable(AppMessages::history().first()));
    QCOMPARE(control<QLineEdit>("txtURL_rist")->text(), QStringLiteral("rist://127.0.0.1:5004"));
    QCOMPARE(control<QSpinBox>("spbLatency")->value(), 300);
    QCOMPARE(control<QSpinBox>("spbReconnect")->value(), 4);
    QVERIFY(control<QCheckBox>("chkLL")->isChecked());

    // On the command line the same file starts nothing.
    if (content.isEmpty())
        return;
    AppMessages::clearHistory();
    window()->autoStart({QStringLiteral("tidewell"), path});
    QCOMPARE(AppMessages::history().size(), 1);
    QVERIFY(!window()->streaming());
    QVERIFY(!window()->srtRelay()->isRunning());
    QCOMPARE(control<QPushButton>("cmdStart")->text(), QStringLiteral("START"));
}

void TestMainWindow::unusableConfigValuesAreReported() {
    control<QSpinBox>("spbVBR")->setValue(4096);
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
    QCOMPARE(control<QLineEdit>("txtStreamID")->text(), QStringLiteral("kept"));
    QCOMPARE(control<QSpinBox>("spbVBR")->value(), 4096);
    QCOMPARE(control<QSpinBox>("spbLatency")->value(), 120);
    QCOMPARE(control<QSpinBox>("spbReconnect")->value(), 10);
    QVERIFY(!control<QCheckBox>("chkVITC")->isChecked());
    QCOMPARE(combo("cmbEncs")->currentText(), encoder);
    QCOMPARE(combo("cmbVideoSources")->currentText(), source);
    QCOMPARE(combo("cmbFPS")->currentText(), QStringLiteral("25 fps"));
    StreamRequest request;
    QVERIFY(window()->streamRequest(&request));
    QCOMPARE(request.port, 9001);
}

void TestMainWindow::stopAfterTransportSwitchFreesDestination() {
    if (!windowtest::chooseTestPatternH264(*window()))
        QSKIP("the Test Pattern and the OpenH264 encoder are needed");
    SrtTestListener server;
    QVERIFY2(server.start(), qPrintable(server.errorText()));
    control<QSpinBox>("spbReconnect")->setValue(0);
    control<QLineEdit>("txtURL")->setText(QStringLiteral("127.0.0.1:%1").arg(server.port()));
    control<QPushButton>("cmdStart")->click();
    QVERIFY(window()->streaming());
    QVERIFY(testkit::waitUntil([&] { return server.bytesReceived() > 0; }, 10000));
    QVERIFY(!control<QWidget>("destinationGroup")->isEnabled());
    // A configuration loaded while streaming switches the destination to RIST; the Stop must free it all.
    QVERIFY(window()->loadConfigFile(writeConfig(QStringLiteral("to-rist.ini"), {{"RIST_DEST", true}})));
    if (window()->streaming())
        control<QPushButton>("cmdStart")->click();
    QVERIFY(!window()->streaming());
    QVERIFY(control<QWidget>("destinationGroup")->isEnabled());
    QVERIFY(control<QWidget>("txtURL_rist")->isEnabled());
    QVERIFY(control<QWidget>("rbSrt")->isEnabled());
    // The Stop ended the relay that was started, not the one the form shows now: the server sees its caller go.
    QVERIFY(testkit::waitUntil([&] { return !window()->srtRelay()->isRunning(); }, 3000));
    QVERIFY(testkit::waitUntil([&] { return server.callers().first().closed; }, 10000));
    QVERIFY(window()->waitForWorkers(10000));
}

int main(int argc, char *argv[]) {
    return windowtest::run<TestMainWindow>(argc, argv, &settingsHome);
}

#include "tst_mainwindow.moc"
