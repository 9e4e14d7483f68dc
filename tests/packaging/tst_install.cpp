// `cmake --install` as a distribution runs it: every file in its standard place, the menu entry and the AppStream
// metadata pass the desktop's own validators, the entry names the installed program and icon, and the
// installed program, its metadata and its manual page tell the same version.
#include "testkit.h"

#include <QImage>
#include <QtTest>

namespace {
constexpr int kInstallMs = 60000;
constexpr int kToolMs = 30000;
const QString kAppId = QStringLiteral("example.tidewell.Tidewell");
} // namespace

class TestInstall : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void filesInPlace_data();
    void filesInPlace();
    void iconSizes_data();
    void iconSizes();
    void validators_data();
    void validators();
    void desktopEntryNamesInstalledFiles();
    void serviceUnitRunsTheProgramHeadless();
    void userGuideReadsOffline();
    void versionsAgree();

private:
    QString installed(const QString &relative) const { return root.filePath(QStringLiteral("usr/") + relative); }
    QString desktopEntry() const { return installed(QStringLiteral("share/applications/%1.desktop").arg(kAppId)); }
    QString metainfo() const { return installed(QStringLiteral("share/metainfo/%1.metainfo.xml").arg(kAppId)); }

    QTemporaryDir root;
};

void TestInstall::initTestCase() {
    QVERIFY(root.isValid());
    QByteArray output;
    const int code = testkit::runProgram(QStringLiteral(TIDEWELL_CMAKE),
                                         {QStringLiteral("--install"), QStringLiteral(TIDEWELL_BUILD_DIR),
                                          QStringLiteral("--prefix"), root.filePath(QStringLiteral("usr"))},
                                         kInstallMs, &output);
    QVERIFY2(code == 0, output.constData());
}

void TestInstall::filesInPlace_data() {
    QTest::addColumn<QString>("path");
    QTest::addColumn<bool>("executable");
    QTest::newRow("program") << "bin/tidewell" << true;
    QTest::newRow("menu entry") << "share/applications/example.tidewell.Tidewell.desktop" << false;
    QTest::newRow("metainfo") << "share/metainfo/example.tidewell.Tidewell.metainfo.xml" << false;
    QTest::newRow("scalable icon") << "share/icons/hicolor/scalable/apps/tidewell.svg" << false;
    QTest::newRow("manual page") << "share/man/man1/tidewell.1.gz" << false;
    QTest::newRow("copyright") << "share/doc/tidewell/copyright" << false;
    QTest::newRow("changelog") << "share/doc/tidewell/changelog.Debian.gz" << false;
    QTest::newRow("user guide") << "share/doc/tidewell/user-guide.html" << false;
    QTest::newRow("systemd user unit") << "lib/systemd/user/tidewell@.service" << false;
}

void TestInstall::filesInPlace() {
    QFETCH(QString, path);
    QFETCH(bool, executable);
    const QFileInfo info(installed(path));
    QVERIFY2(info.isFile() && info.size() > 0, qPrintable(info.filePath()));
    QCOMPARE(info.isExecutable(), executable);
}

void TestInstall::iconSizes_data() {
    QTest::addColumn<int>("size");
    for (const int size : {16, 22, 24, 32, 48, 64, 128, 256})
        QTest::addRow("%dx%d", size, size) << size;
}

// The theme picks an icon by its folder; one drawn at another size would be scaled blurry or cut.
void TestInstall::iconSizes() {
    QFETCH(int, size);
    const QImage icon(installed(QStringLiteral("share/icons/hicolor/%1x%1/apps/tidewell.png").arg(size)));
    QCOMPARE(icon.size(), QSize(size, size));
    QVERIFY(icon.hasAlphaChannel());
}

void TestInstall::validators_data() {
    QTest::addColumn<QString>("program");
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QString>("file");
    QTest::newRow("desktop-file-validate") << "desktop-file-validate" << QStringList() << desktopEntry();
    // --no-net: the validator would otherwise try to reach the metadata's web addresses.
    QTest::newRow("appstreamcli") << "appstreamcli" << QStringList{"validate", "--no-net"} << metainfo();
}

void TestInstall::validators() {
    QFETCH(QString, program);
    QFETCH(QStringList, arguments);
    QFETCH(QString, file);
    if (!testkit::haveProgram(program))
        QSKIP(qPrintable(program + QStringLiteral(" is not installed (scripts/setup installs it)")));
    QByteArray output;
    const int code = testkit::runProgram(program, arguments << file, kToolMs, &output);
    QVERIFY2(code == 0, output.constData());
}

void TestInstall::desktopEntryNamesInstalledFiles() {
    const QString entry = QString::fromUtf8(testkit::readFile(desktopEntry()));
    const QString exec = QRegularExpression(QStringLiteral("^Exec=(\\S+)"), QRegularExpression::MultilineOption)
                             .match(entry)
                             .captured(1);
    const QString icon = QRegularExpression(QStringLiteral("^Icon=(\\S+)$"), QRegularExpression::MultilineOption)
                             .match(entry)
                             .captured(1);
    QVERIFY(!exec.isEmpty() && !icon.isEmpty());
    // The menu starts the program through PATH, so the entry must name the installed binary, not a path.
    QVERIFY2(QFileInfo(installed(QStringLiteral("bin/") + exec)).isExecutable(), qPrintable(exec));
    QVERIFY2(QFileInfo::exists(installed(QStringLiteral("share/icons/hicolor/scalable/apps/%1.svg").arg(icon))),
             qPrintable(icon));
}

void TestInstall::serviceUnitRunsTheProgramHeadless() {
    const QString unit =
        QString::fromUtf8(testkit::readFile(installed(QStringLiteral("lib/systemd/user/tidewell@.service"))));
    auto value = [&unit](const QString &key) {
        return QRegularExpression(QStringLiteral("^%1=(.*)$").arg(key), QRegularExpression::MultilineOption)
            .match(unit)
            .captured(1)
            .trimmed();
    };
    // systemd finds a command without a path on its own search path; the package puts the program there.
    const QStringList exec = value(QStringLiteral("ExecStart")).split(QLatin1Char(' '));
    QCOMPARE(exec, (QStringList{"tidewell", "-platform", "offscreen", "%h/.config/Tidewell/%i.ini"}));
    QVERIFY(QFileInfo(installed(QStringLiteral("bin/") + exec.first())).isExecutable());
    QCOMPARE(value(QStringLiteral("Type")), QStringLiteral("notify"));
    QCOMPARE(value(QStringLiteral("Restart")), QStringLiteral("on-failure"));
    QVERIFY(value(QStringLiteral("WatchdogSec")).toInt() > 0);
    QCOMPARE(value(QStringLiteral("WantedBy")), QStringLiteral("default.target"));
}

// The window's help labels open the installed guide at these sections, in a browser that may have no network.
void TestInstall::userGuideReadsOffline() {
    const QString guide =
        QString::fromUtf8(testkit::readFile(installed(QStringLiteral("share/doc/tidewell/user-guide.html"))));
    for (const char *section : {"timecode", "alpha"})
        QVERIFY2(guide.contains(QStringLiteral("<a id=\"%1\"></a>").arg(QLatin1String(section))), section);
    const QRegularExpression remote(QStringLiteral("<(script|link|img)\\b|\\bsrc=|url\\("));
    QVERIFY2(!remote.match(guide).hasMatch(), qPrintable(remote.match(guide).captured()));
}

void TestInstall::versionsAgree() {
    QByteArray version;
    QCOMPARE(testkit::runProgram(installed(QStringLiteral("bin/tidewell")), {QStringLiteral("--version")}, kToolMs,
                                 &version),
             0);
    const QRegularExpressionMatch program =
        QRegularExpression(QStringLiteral("^Tidewell ver (\\S+) \\(build (\\d+)\\)$"),
                           QRegularExpression::MultilineOption)
            .match(QString::fromUtf8(version));
    QVERIFY2(program.hasMatch(), version.constData());

    const QString release = QRegularExpression(QStringLiteral("<release version=\"([^\"]+)\""))
                                .match(QString::fromUtf8(testkit::readFile(metainfo())))
                                .captured(1);
    QCOMPARE(release, program.captured(1));

    QByteArray manual;
    QCOMPARE(testkit::runProgram(QStringLiteral("gzip"),
                                 {QStringLiteral("-dc"), installed(QStringLiteral("share/man/man1/tidewell.1.gz"))},
                                 kToolMs, &manual),
             0);
    QVERIFY2(manual.startsWith(".TH TIDEWELL 1 ") &&
                 manual.left(manual.indexOf('\n')).contains("\"Tidewell " + program.captured(1).toUtf8() + '"'),
             manual.left(80).constData());
}

QTEST_GUILESS_MAIN(TestInstall)
#include "tst_install.moc"
