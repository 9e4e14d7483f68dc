// The Debian package as a user gets it: CPack builds it with dependencies taken from the linked libraries,
// lintian finds no error, and the program unpacked from it into a throwaway root answers --version and
// streams headless to a local srt-live-transmit until SIGTERM ends it.
#include "headlessapp.h"
#include "peerprocess.h"
#include "testkit.h"

#include <QtTest>

namespace {
constexpr int kPackageMs = 120000;
constexpr int kToolMs = 60000;
constexpr int kFirstDataMs = 30000;
constexpr int kExitMs = 15000;
constexpr qint64 kEnoughBytes = 100 * 1024;
} // namespace

class TestPackage : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void controlFields_data();
    void controlFields();
    void lintianFindsNoError();
    void unpackedProgramAnswersVersion();
    void unpackedProgramStreams();

private:
    QString program() const { return root.filePath(QStringLiteral("usr/bin/tidewell")); }

    QTemporaryDir work;
    QTemporaryDir root;
    QString package;
};

void TestPackage::initTestCase() {
    QVERIFY(work.isValid() && root.isValid());
    QByteArray output;
    int code = testkit::runProgram(QStringLiteral(TIDEWELL_CPACK),
                                   {QStringLiteral("-G"), QStringLiteral("DEB"), QStringLiteral("--config"),
                                    QStringLiteral(TIDEWELL_BUILD_DIR "/CPackConfig.cmake"), QStringLiteral("-B"),
                                    work.path()},
                                   kPackageMs, &output);
    QVERIFY2(code == 0, output.constData());
    const QStringList debs = QDir(work.path()).entryList({QStringLiteral("tidewell_*.deb")}, QDir::Files);
    QCOMPARE(debs.size(), 1);
    package = work.filePath(debs.first());
    code = testkit::runProgram(QStringLiteral("dpkg"), {QStringLiteral("-x"), package, root.path()}, kToolMs, &output);
    QVERIFY2(code == 0, output.constData());
}

void TestPackage::controlFields_data() {
    QTest::addColumn<QString>("field");
    QTest::addColumn<QString>("contains");
    testkit::row("package", "Package", "tidewell");
    // The build number is the Debian revision.
    testkit::row("version", "Version", "1.2.3-68");
    // From dpkg-shlibdeps: the libraries the program links, with the versions it needs.
    testkit::row("depends on Qt", "Depends", "libqt5widgets5 (>=");
    testkit::row("depends on libsrt", "Depends", "libsrt1.5-gnutls (>=");
    testkit::row("depends on FFmpeg", "Depends", "libavformat");
}

void TestPackage::controlFields() {
    QFETCH(QString, field);
    QFETCH(QString, contains);
    QByteArray value;
    QCOMPARE(testkit::runProgram(QStringLiteral("dpkg-deb"), {QStringLiteral("-f"), package, field}, kToolMs, &value),
             0);
    QVERIFY2(QString::fromUtf8(value).contains(contains), value.constData());
}

void TestPackage::lintianFindsNoError() {
    if (!testkit::haveProgram(QStringLiteral("lintian")))
        QSKIP("lintian is not installed (scripts/setup installs it)");
    QByteArray output;
    const int code = testkit::runProgram(
        QStringLiteral("lintian"), {QStringLiteral("--fail-on"), QStringLiteral("error"), package}, kToolMs, &output);
    QVERIFY2(code == 0, output.constData());
}

void TestPackage::unpackedProgramAnswersVersion() {
    QByteArray output;
    QCOMPARE(testkit::runProgram(program(), {QStringLiteral("--version")}, kToolMs, &output), 0);
    QVERIFY2(output.contains("Tidewell ver 1.2.3 (build 68)\n"), output.constData());
}

void TestPackage::unpackedProgramStreams() {
    if (!testkit::haveProgram(QStringLiteral("srt-live-transmit")))
        QSKIP("srt-live-transmit is needed");
    QTemporaryDir home;
    QVERIFY(home.isValid());
    const quint16 port = testkit::freePort(true);
    const QString received = home.filePath(QStringLiteral("received.ts"));
    PeerProcess listener;
    QVERIFY2(startSrtFileServer(listener, port, received), qPrintable(listener.output()));
    HeadlessApp app(program(), home,
                    HeadlessApp::config(home, {{"FPS", "25 fps"},
                                               {"VBR", 1024},
                                               {"URL", QStringLiteral("srt://127.0.0.1:%1").arg(port)},
                                               {"STREAMID", "package"}}));
    QVERIFY(app.started());
    QVERIFY2(testkit::waitUntil([&] { return QFileInfo(received).size() > kEnoughBytes; }, kFirstDataMs, 100),
             qPrintable(app.log()));
    QVERIFY2(app.terminate(kExitMs), qPrintable(app.log()));
    QCOMPARE(app.exitCode(), 0);
}

QTEST_GUILESS_MAIN(TestPackage)
#include "tst_package.moc"
