// The rules that turn the form into Start values, the status line and the restart decision.
#include "reconnectpolicy.h"
#include "streamrules.h"
#include "testkit.h"

using namespace streamrules;

class TestStreamRules : public QObject {
    Q_OBJECT

private slots:
    void serverText_data();
    void serverText();
    void passphraseLengths_data();
    void passphraseLengths();
    void interlaceFromEntryText_data();
    void interlaceFromEntryText();
    void videoAndAudioChoices();
    void encoderOptions();
    void encoderParamsStoredForm_data();
    void encoderParamsStoredForm();
    void statusLine_data();
    void statusLine();
    void configFileArgument();
    void serializedConfigValues_data();
    void serializedConfigValues();
    void splashWait();
    void senderInterfaceChoice();
    void reconnectLimit();
};

void TestStreamRules::serverText_data() {
    QTest::addColumn<QString>("text");
    QTest::addColumn<bool>("valid");
    QTest::addColumn<QString>("host");
    QTest::addColumn<int>("port");
    QTest::newRow("scheme") << "srt://10.0.0.9:9001" << true << "10.0.0.9" << 9001;
    QTest::newRow("upper-case scheme") << "SRT://10.0.0.9:9001" << true << "10.0.0.9" << 9001;
    QTest::newRow("no scheme") << "10.0.0.9:9001" << true << "10.0.0.9" << 9001;
    QTest::newRow("query makes port 0") << "10.0.0.9:9001?latency=200" << true << "10.0.0.9" << 0;
    QTest::newRow("host name lower-cased") << "Relay.Example:7000" << true << "relay.example" << 7000;
    QTest::newRow("no colon") << "10.0.0.9" << false << "" << 0;
    QTest::newRow("empty") << "" << false << "" << 0;
    QTest::newRow("empty port") << "10.0.0.9:" << true << "10.0.0.9" << 0;
    QTest::newRow("highest port") << "10.0.0.9:65535" << true << "10.0.0.9" << 65535;
    QTest::newRow("port past the highest") << "10.0.0.9:65536" << true << "10.0.0.9" << 0;
    QTest::newRow("extra parts ignored") << "h:1:2" << true << "h" << 1;
    QTest::newRow("blanks around") << "  srt://10.0.0.9 : 9001 \t" << true << "10.0.0.9" << 9001;
    QTest::newRow("blank inside host") << "10.0.0 .9:9001" << false << "" << 0;
    QTest::newRow("empty host") << ":9001" << false << "" << 0;
    QTest::newRow("blank host") << "srt://  :9001" << false << "" << 0;
    // Without brackets an IPv6 address cannot be told from its port.
    QTest::newRow("ipv6 loopback") << "::1:9001" << false << "" << 0;
    QTest::newRow("ipv6 full") << "2001:db8:0:0:0:0:0:1:9001" << false << "" << 0;
    QTest::newRow("ipv6 without port") << "2001:db8::1" << false << "" << 0;
    QTest::newRow("ipv6 bracketed") << "srt://[::1]:9001" << true << "::1" << 9001;
    QTest::newRow("ipv6 bracketed, blanks") << " [ 2001:DB8::1 ] : 7000?latency=1" << true << "2001:db8::1" << 0;
    QTest::newRow("ipv6 bracketed, extra part") << "[::1]:9001:5" << true << "::1" << 9001;
    QTest::newRow("ipv6 bracketed, no port") << "[::1]" << false << "" << 0;
    QTest::newRow("ipv6 bracketed, unclosed") << "[::1:9001" << false << "" << 0;
    QTest::newRow("bracketed ipv4") << "[10.0.0.9]:9001" << false << "" << 0;
    QTest::newRow("bracketed name") << "[relay]:9001" << false << "" << 0;
}

void TestStreamRules::serverText() {
    QFETCH(QString, text);
    const SrtServer server = parseSrtServer(text);
    QTEST(server.valid, "valid");
    if (server.valid) {
        QTEST(server.host, "host");
        QTEST(server.port, "port");
    }
}

void TestStreamRules::passphraseLengths_data() {
    QTest::addColumn<int>("length");
    QTest::addColumn<bool>("accepted");
    QTest::newRow("empty") << 0 << true;
    QTest::newRow("1") << 1 << false;
    QTest::newRow("9") << 9 << false;
    QTest::newRow("10") << 10 << true;
    QTest::newRow("79") << 79 << true;
    QTest::newRow("80") << 80 << false;
}

void TestStreamRules::passphraseLengths() {
    QFETCH(int, length);
    QTEST(passphraseAcceptable(QString(length, QLatin1Char('x'))), "accepted");
}

void TestStreamRules::interlaceFromEntryText_data() {
    QTest::addColumn<QString>("text");
    QTest::addColumn<int>("code");
    QTest::newRow("progressive") << "25 fps" << 3;
    QTest::newRow("top first") << "25 fps if1" << 1;
    QTest::newRow("bottom first") << "29.97 fps if2" << 2;
    QTest::newRow("original") << "original" << 3;
}

void TestStreamRules::interlaceFromEntryText() {
    QFETCH(QString, text);
    QTEST(interlaceCode(text), "code");
}

void TestStreamRules::videoAndAudioChoices() {
    const VideoChoice second = videoChoice(QStringLiteral("Desktop #1"), QStringLiteral("CAPTURE_DISPLAY#1"));
    QCOMPARE(second.deviceName, QStringLiteral("X11 Screen Capture"));
    QCOMPARE(second.displayIndex, 1);
    const VideoChoice device = videoChoice(QStringLiteral("Test Pattern"), QVariant());
    QCOMPARE(device.deviceName, QStringLiteral("Test Pattern"));
    QCOMPARE(device.displayIndex, -1);
    // The prefix is matched case-sensitively.
    QCOMPARE(videoChoice(QStringLiteral("x"), QStringLiteral("capture_display#1")).displayIndex, -1);

    QCOMPARE(audioChoice(QStringLiteral("no audio"), QStringLiteral("NO_AUDIO")), QStringLiteral("NO_AUDIO"));
    QCOMPARE(audioChoice(QStringLiteral("Mic 1"), QVariant()), QStringLiteral("Mic 1"));
}

void TestStreamRules::encoderOptions() {
    const QString quality = QStringLiteral(" video::rc_type='%1' video::quality='%2'");
    QCOMPARE(encoderOptionText(quality, {QStringLiteral("vbr"), QStringLiteral("4")}),
             QStringLiteral(" video::rc_type='vbr' video::quality='4'"));
    QCOMPARE(
        encoderOptionText(quality, {QStringLiteral("auto"), QStringLiteral("1 (fast capturing, minimal quality)")}),
        QStringLiteral(" video::rc_type='auto' video::quality='1'"));
    // Parameters never picked are left to the encoder: the writer refuses empty values.
    QCOMPARE(encoderOptionText(quality, {QString(), QString()}), QString());
    QCOMPARE(encoderOptionText(quality, {QStringLiteral("cbr"), QString()}), QStringLiteral(" video::rc_type='cbr'"));
    QCOMPARE(encoderOptionText(quality, {QString(), QStringLiteral("7 (maximal quality, slow capturing)")}),
             QStringLiteral(" video::quality='7'"));
    QCOMPARE(encoderOptionText(QString(), {QStringLiteral("vbr"), QStringLiteral("4")}), QString());
}

void TestStreamRules::encoderParamsStoredForm_data() {
    QTest::addColumn<QString>("stored");
    QTest::addColumn<QStringList>("params");
    QTest::newRow("two words") << "vbr 4" << QStringList{"vbr", "4"};
    QTest::newRow("text with blanks") << "auto 1 (fast capturing, minimal quality)"
                                      << QStringList{"auto", "1 (fast capturing, minimal quality)"};
    QTest::newRow("one word") << "cbr" << QStringList{"cbr", ""};
    QTest::newRow("single space") << " " << QStringList{"", ""};
}

void TestStreamRules::encoderParamsStoredForm() {
    QFETCH(QString, stored);
    QFETCH(QStringList, params);
    QCOMPARE(splitEncoderParams(stored), params);
    // What was split is stored back the same way, so a load and save keep the text.
    if (!params.last().isEmpty() || stored == QLatin1String(" "))
        QCOMPARE(joinEncoderParams(params), stored);
}

void TestStreamRules::statusLine_data() {
    QTest::addColumn<double>("rate");
    QTest::addColumn<int>("bits");
    QTest::addColumn<qint64>("captureErrors");
    QTest::addColumn<qint64>("writeErrors");
    QTest::addColumn<QString>("expected");
    const QString head = QStringLiteral("video:1920x1080@%1  audio:2 ch (%2 bits, 48000 )   frames:1234");
    QTest::newRow("clean") << 25.0 << 16 << qint64(0) << qint64(0) << head.arg("25", "16");
    QTest::newRow("ntsc rate") << 29.97 << 16 << qint64(0) << qint64(0) << head.arg("29.97", "16");
    QTest::newRow("big-endian bits shown positive") << 25.0 << -32 << qint64(0) << qint64(0) << head.arg("25", "32");
    QTest::newRow("capture errors") << 50.0 << 16 << qint64(3) << qint64(0)
                                    << head.arg("50", "16") + QStringLiteral(" ERR_capture: 3");
    QTest::newRow("both errors") << 50.0 << 16 << qint64(3) << qint64(7)
                                 << head.arg("50", "16") + QStringLiteral(" ERR_capture: 3 ERR_write: 7");
    QTest::newRow("write errors only") << 50.0 << 16 << qint64(0) << qint64(1)
                                       << head.arg("50", "16") + QStringLiteral(" ERR_write: 1");
}

void TestStreamRules::statusLine() {
    QFETCH(double, rate);
    QFETCH(int, bits);
    QFETCH(qint64, captureErrors);
    QFETCH(qint64, writeErrors);
    MFFormat format;
    format.width = 1920;
    format.height = 1080;
    format.frameRate = rate;
    format.channels = 2;
    format.bitsPerSample = bits;
    format.sampleRate = 48000;
    QTEST(statusText(format, 1234, captureErrors, writeErrors), "expected");
}

void TestStreamRules::configFileArgument() {
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    auto touch = [&dir](const QString &name) {
        testkit::writeFile(dir.filePath(name), {});
        return dir.filePath(name);
    };
    const QString first = touch(QStringLiteral("first.ini"));
    const QString second = touch(QStringLiteral("second.ini"));
    const QString dotted = touch(QStringLiteral("a.b.ini"));
    const QString upper = touch(QStringLiteral("upper.INI"));
    const QString missing = dir.filePath(QStringLiteral("missing.ini"));

    QCOMPARE(findConfigFile({QStringLiteral("/usr/bin/tidewell"), first, second}), first);
    QCOMPARE(findConfigFile({QStringLiteral("tidewell"), dotted, missing, upper}), QString());
    QCOMPARE(findConfigFile({QStringLiteral("tidewell"), missing, dotted, second}), second);
    // A folder named like a configuration file is not one.
    QVERIFY(QDir(dir.path()).mkdir(QStringLiteral("folder.ini")));
    QCOMPARE(findConfigFile({dir.filePath(QStringLiteral("folder.ini"))}), QString());
}

void TestStreamRules::serializedConfigValues_data() {
    QTest::addColumn<QByteArray>("text");
    QTest::addColumn<bool>("serialized");
    QTest::newRow("plain values") << QByteArray("[General]\nURL=srt://10.0.0.9:9001\nPASSPHRASE=p@ss(word)\n") << false;
    QTest::newRow("object from text") << QByteArray("GEOMETRY=@Rect(1 2 3 4)\n") << false;
    // A string list whose count no data follows: QSettings aborted on this one.
    QTest::newRow("variant") << QByteArray("\nRL=@Variant(\\0\\0\\0\x0bx7f\\0\\x1)\n.\n") << true;
    QTest::newRow("date and time") << QByteArray("T=@DateTime(\\0\\0)\n") << true;
    QTest::newRow("in a list") << QByteArray("URL_RIST=a, @Variant(\\0)\n") << true;
    QTest::newRow("quoted") << QByteArray("K=\"@\"Variant(\\0)\n") << true;
    QTest::newRow("hex at sign") << QByteArray("K=\\x40Variant(\\0)\n") << true;
    QTest::newRow("hex keeps 16 bits") << QByteArray("K=\\x10040Variant(\\0)\n") << true;
    QTest::newRow("hex escape without digits") << QByteArray("URL=@Var\\xiant(\\0\\=\\0\\0\x0b"
                                                             "17f\\xx\\1\\1)\n")
                                               << true;
    QTest::newRow("octal at sign") << QByteArray("K=\\100Variant(\\0)\n") << true;
    QTest::newRow("octal past the at sign") << QByteArray("K=\\1100Variant(\\0)\n") << false;
    QTest::newRow("escaped letter") << QByteArray("K=@V\\x61riant(\\0)\n") << true;
    QTest::newRow("continued line") << QByteArray("K=@\\\nVariant(\\0)\n") << true;
    QTest::newRow("continued line, CRLF") << QByteArray("K=@\\\r\nVariant(\\0)\r\n") << true;
    QTest::newRow("next line") << QByteArray("K=@\nVariant(\\0)\n") << false;
    // An escape that makes half a surrogate pair elsewhere in the file must not hide the marker.
    QTest::newRow("after a lone surrogate") << QByteArray("[a\\xd800]\nURL=@Var\\;iant(\\0)\n") << true;
    // Found by the fuzzer: QSettings read "@Var\\;iant(" as a serialised list and allocated without bound.
    QTest::newRow("escaped semicolon inside the marker") << QByteArray("URL=@Var\\;iant(\\0\\=\\0\\0\x0b"
                                                                       "17f\\xx\\1\n")
                                                         << true;
    QTest::newRow("unknown escape drops the at sign") << QByteArray("K=\\@Variant(\\0)\n") << false;
}

void TestStreamRules::serializedConfigValues() {
    QFETCH(QByteArray, text);
    QFETCH(bool, serialized);
    QCOMPARE(iniHoldsSerializedValue(text), serialized);
    if (serialized)
        return;
    // What is let through reaches QSettings, and it reads no serialised object from it.
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString path = dir.filePath(QStringLiteral("probe.ini"));
    QVERIFY(testkit::writeFile(path, text));
    QSettings store(path, QSettings::IniFormat);
    for (const QString &key : store.allKeys()) {
        const int type = store.value(key).userType();
        QVERIFY2(type == QMetaType::QString || type == QMetaType::QStringList || type == QMetaType::QRect,
                 qPrintable(key));
    }
}

void TestStreamRules::splashWait() {
    QCOMPARE(splashWaitMs(500), 1500);
    QCOMPARE(splashWaitMs(0), 2000);
    QCOMPARE(splashWaitMs(1999), 1);
    QCOMPARE(splashWaitMs(2000), 0);
    QCOMPARE(splashWaitMs(4000), 0);
}

void TestStreamRules::senderInterfaceChoice() {
    QCOMPARE(senderInterface(2, QStringLiteral("use default")), QString());
    QCOMPARE(senderInterface(2, QStringLiteral("eth0: 10.1.2.3")), QString());
    QCOMPARE(senderInterface(3, QStringLiteral("use default")), QStringLiteral("0.0.0.0"));
    QCOMPARE(senderInterface(3, interfaceText(QStringLiteral("Wi-Fi 2"), QStringLiteral("10.1.2.3"))),
             QStringLiteral("10.1.2.3"));
    QCOMPARE(interfaceText(QStringLiteral("Ethernet"), QStringLiteral("192.168.1.5")),
             QStringLiteral("Ethernet: 192.168.1.5"));
}

void TestStreamRules::reconnectLimit() {
    ReconnectPolicy policy;
    // Limit 3, four failures in a row: three restarts, then the stream stays stopped and the count resets.
    QVERIFY(policy.failed(3));
    QVERIFY(policy.failed(3));
    QVERIFY(policy.failed(3));
    QCOMPARE(policy.count(), 3);
    QVERIFY(!policy.failed(3));
    QCOMPARE(policy.count(), 0);
    // After the reset the next failure may restart again.
    QVERIFY(policy.failed(3));

    ReconnectPolicy never;
    QVERIFY(!never.failed(0));
    QVERIFY(!never.failed(0));
    QCOMPARE(never.count(), 0);
}

QTEST_GUILESS_MAIN(TestStreamRules)
#include "tst_streamrules.moc"
