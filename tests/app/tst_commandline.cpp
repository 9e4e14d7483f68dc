// The installed program's command line as a user types it: --help and --version answer without a display and in
// the user's language, and a command line it does not understand is refused with exit code 2 before any
// window or stream exists.
#include "testkit.h"

namespace {
constexpr int kAnswerMs = 15000;
}

class TestCommandLine : public QObject {
    Q_OBJECT

private slots:
    void answers_data();
    void answers();
};

void TestCommandLine::answers_data() {
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QString>("lang");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QString>("stdOut");
    QTest::addColumn<QString>("stdErr");
    const QString version = QStringLiteral("Tidewell ver 1.2.3 (build 68)\n");
    const QString none;
    testkit::row("--version", QStringList{"--version"}, "C", 0, version, none);
    testkit::row("-v after a Qt option", QStringList{"-platform", "offscreen", "-v"}, "C", 0, version, none);
    testkit::row("--help", QStringList{"--help"}, "C", 0, "[config.ini]", none);
    testkit::row("--help lists -platform", QStringList{"-h"}, "C", 0, "--platform <name>", none);
    testkit::row("--help in German", QStringList{"--help"}, "de_DE.UTF-8", 0, "Konfigurationsdatei für den Stream",
                 none);
    testkit::row("--help without translation", QStringList{"--help"}, "fr_FR.UTF-8", 0,
                 "Configuration file to stream with", none);
    testkit::row("unknown option", QStringList{"--bogus"}, "C", 2, none,
                 "tidewell: Unknown option 'bogus'.\nTry 'tidewell --help'");
    testkit::row("letters are not bundled", QStringList{"-hv"}, "C", 2, none, "Unknown option 'hv'.");
    testkit::row("Qt option without its value", QStringList{"-platform"}, "C", 2, none,
                 "Missing value after '-platform'.");
    testkit::row("unknown option with a configuration file", QStringList{"--record", "out.ts", "stream.ini"}, "C", 2,
                 none, "Unknown option 'record'.");
    testkit::row("--help lists --stats", QStringList{"--help"}, "C", 0, "--stats <file>", none);
    testkit::row("--stats without its file", QStringList{"stream.ini", "--stats"}, "C", 2, none,
                 "Missing value after '--stats'.");
    // A typo in the file name must not leave a headless program idling for ever.
    testkit::row("missing configuration file", QStringList{"-platform", "offscreen", "strem.ini"}, "C", 2, none,
                 "tidewell: cannot read the configuration file strem.ini: no such file");
    testkit::row("missing file after an existing one", QStringList{"-platform", "offscreen", "stream.ini", "other.ini"},
                 "C", 2, none, "tidewell: cannot read the configuration file other.ini:");
    testkit::row("a folder named .ini", QStringList{"folder.ini"}, "C", 2, none,
                 "tidewell: cannot read the configuration file folder.ini: not a file");
    testkit::row("--stats into a missing folder",
                 QStringList{"-platform", "offscreen", "--stats", "no/such/folder/stats.jsonl", "stream.ini"}, "C", 2,
                 none, "tidewell: cannot append to the statistics file no/such/folder/stats.jsonl");
}

void TestCommandLine::answers() {
    QFETCH(QStringList, arguments);
    QFETCH(QString, lang);
    QFETCH(int, exitCode);
    QFETCH(QString, stdOut);
    QFETCH(QString, stdErr);

    QTemporaryDir dir;
    QVERIFY(testkit::writeFile(dir.filePath(QStringLiteral("stream.ini")),
                               "[General]\nVSOURCE=Test Pattern\nURL=srt://127.0.0.1:9\n"));
    QVERIFY(QDir(dir.path()).mkdir(QStringLiteral("folder.ini")));

    QProcess app;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("HOME"), dir.path());
    env.insert(QStringLiteral("XDG_CONFIG_HOME"), dir.filePath(QStringLiteral("config")));
    env.insert(QStringLiteral("XDG_STATE_HOME"), dir.filePath(QStringLiteral("state")));
    env.insert(QStringLiteral("XDG_DATA_HOME"), dir.filePath(QStringLiteral("data")));
    // No display and no platform: an answer that needed a window would fail here.
    env.remove(QStringLiteral("DISPLAY"));
    env.remove(QStringLiteral("WAYLAND_DISPLAY"));
    env.remove(QStringLiteral("QT_QPA_PLATFORM"));
    for (const char *name : {"LANGUAGE", "LC_ALL", "LC_MESSAGES"})
        env.remove(QLatin1String(name));
    env.insert(QStringLiteral("LANG"), lang);
    app.setProcessEnvironment(env);
    app.setWorkingDirectory(dir.path());
    app.start(QStringLiteral(TIDEWELL_EXECUTABLE), arguments);
    QVERIFY(app.waitForFinished(kAnswerMs));
    const QString out = QString::fromUtf8(app.readAllStandardOutput());
    const QString err = QString::fromUtf8(app.readAllStandardError());
    QCOMPARE(app.exitStatus(), QProcess::NormalExit);
    QCOMPARE(app.exitCode(), exitCode);
    QVERIFY2(out.contains(stdOut), qPrintable(out));
    QVERIFY2(err.contains(stdErr), qPrintable(err));
    // Nothing was started: the stream's first diagnostic line never appears.
    QVERIFY2(!err.contains(QStringLiteral("cmd Start clicked")), qPrintable(err));
}

QTEST_GUILESS_MAIN(TestCommandLine)
#include "tst_commandline.moc"
