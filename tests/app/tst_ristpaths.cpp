// RIST over real network paths, in two network namespaces of the test's own (tests/common/ristpathtopology.h):
// two veth paths from the sender's namespace, where this test process and the program run, to ristreceiver.
#include "ckblblwidget.h"
#include "headlessapp.h"
#include "mainwindow.h"
#include "ristpathtopology.h"
#include "risttestreceiver.h"
#include "streamhealth.h"
#include "telemetrystrip.h"
#include "testkit.h"
#include "tscontinuity.h"
#include "windowtestmain.h"

namespace {

using ristpaths::kReceiverAddress;
const QString kPathA = ristpaths::pathAddress(0);
const QString kPathB = ristpaths::pathAddress(1);
const char kSecret[] = "paths-secret&0123";
constexpr int kDataMs = 30000;
// The path refresh runs every 10 s.
constexpr int kRefreshMs = 12000;

QString topologyError;

// Packets each path sent in the next windowMs.
QPair<qint64, qint64> pathPackets(int windowMs) {
    const qint64 a = ristpaths::sentPackets(0);
    const qint64 b = ristpaths::sentPackets(1);
    QTest::qWait(windowMs);
    return {ristpaths::sentPackets(0) - a, ristpaths::sentPackets(1) - b};
}

QString server(quint16 port) {
    return QStringLiteral("rist://%1:%2").arg(QLatin1String(kReceiverAddress)).arg(port);
}

QVariantMap ristConfig(const QVariantMap &more) {
    QVariantMap values{{"FRAME", "1280x720"}, {"FPS", "25 fps"},         {"VBR", 800},           {"RECONNECT", 3},
                       {"RIST_DEST", true},   {"STREAMID_RIST", "cam1"}, {"PASSPHRASE_RIST", ""}};
    values.insert(more);
    return values;
}

bool startReceiver(RistTestReceiver &receiver, const QString &secret = {}, quint16 port = 0) {
    return receiver.start(secret, ristpaths::receiverNamespace(), QLatin1String(kReceiverAddress), port);
}

} // namespace

class TestRistPaths : public QObject {
    Q_OBJECT

private slots:
    void init();
    void autoStartStreamsOverRist();
    void autoStartWaitsForItsPaths();
    void pathsCarryTheStream();
    void lostReceiverRestartsTheStream();
    void everyPathGoneAndBack();
    void alphaReachesTheRistStream();
    void srpCredentialsKeepTheirCase();

private:
    CkbLblWidget *row(MainWindow &window, const QString &address) {
        for (CkbLblWidget *candidate : window.bondingRows()) {
            if (candidate->text() == address)
                return candidate;
        }
        return nullptr;
    }
    bool startWindow(MainWindow &window, const QString &bonding, const QString &url, const QVariantMap &more = {}) {
        const QString config = windowtest::homePath(QStringLiteral("window.ini"));
        QFile::remove(config);
        QVariantMap values{{"URL_RIST", url}, {"BONDING_RIST", bonding}};
        values.insert(more);
        testkit::writeStreamConfig(config, ristConfig(values));
        if (!window.loadConfigFile(config))
            return false;
        window.toggleStreaming();
        return window.streaming();
    }
};

void TestRistPaths::init() {
    if (!topologyError.isEmpty())
        QSKIP(qPrintable(topologyError));
    if (!testkit::haveProgram(QStringLiteral("ristreceiver")) || !testkit::haveProgram(QStringLiteral("ffprobe")))
        QSKIP("ristreceiver (rist-tools) and ffprobe are needed");
}

void TestRistPaths::autoStartStreamsOverRist() {
    RistTestReceiver right;
    RistTestReceiver wrong;
    QVERIFY2(startReceiver(right, QLatin1String(kSecret)), qPrintable(right.output()));
    QVERIFY2(startReceiver(wrong, QStringLiteral("another-secret-42")), qPrintable(wrong.output()));
    QTemporaryDir dir;
    const QString config = HeadlessApp::config(dir, ristConfig({{"PASSPHRASE_RIST", kSecret}}));
    // The lists as an operator types them into the file, without quotes (QSettings then reads string lists).
    QFile file(config);
    QVERIFY(file.open(QIODevice::Append));
    file.write(QStringLiteral("URL_RIST=rist://%1:%2, %1:%3\nBONDING_RIST=%4(1),%5(1)\n")
                   .arg(QLatin1String(kReceiverAddress))
                   .arg(right.port())
                   .arg(wrong.port())
                   .arg(kPathA, kPathB)
                   .toLatin1());
    file.close();
    const qint64 sentA = ristpaths::sentPackets(0);
    const qint64 sentB = ristpaths::sentPackets(1);

    HeadlessApp app(TIDEWELL_EXECUTABLE, dir, config);
    QVERIFY(app.started());
    constexpr int kEnough = 300 * 1024;
    const bool arrived = testkit::waitUntil([&] { return right.data().size() > kEnough; }, kDataMs, 100);
    QVERIFY(app.terminate());
    const qint64 pathA = ristpaths::sentPackets(0) - sentA;
    const qint64 pathB = ristpaths::sentPackets(1) - sentB;
    QVERIFY2(arrived, qPrintable(app.log()));
    // Weights 1 and 1 share the stream between both paths.
    QVERIFY2(pathA > 100 && pathB > 100, qPrintable(QStringLiteral("%1 / %2").arg(pathA).arg(pathB)));

    const QString recording = dir.filePath(QStringLiteral("received.ts"));
    QVERIFY(testkit::writeFile(recording, right.data()));
    QCOMPARE(testkit::streamSummary(testkit::ffprobe(recording), QStringLiteral("video")),
             QStringLiteral("h264 1280x720 25/1"));
    // The receiver with another secret got packets, but nothing a decoder could read.
    QVERIFY(TsContinuity::syncShare(wrong.data()) < 0.05);
    QVERIFY(!app.log().contains(QLatin1String(kSecret)));
}

void TestRistPaths::autoStartWaitsForItsPaths() {
    // A service started at boot, before its modems: the file's paths are not there yet.
    RistTestReceiver receiver;
    QVERIFY(startReceiver(receiver));
    QVERIFY(ristpaths::dropPath(0) && ristpaths::dropPath(1));
    QTemporaryDir dir;
    const QString stats = dir.filePath(QStringLiteral("stats.jsonl"));
    HeadlessApp app(
        TIDEWELL_EXECUTABLE, dir,
        HeadlessApp::config(dir, ristConfig({{"URL_RIST", server(receiver.port())},
                                             {"BONDING_RIST", QStringLiteral("%1(1),%2(2)").arg(kPathA, kPathB)}})),
        {QStringLiteral("--stats"), stats});
    QVERIFY(app.started());
    const bool waited = testkit::waitUntil(
        [&] { return testkit::readFile(stats).contains("\"state\":\"no_network_path\""); }, 15000, 100);
    // The paths come a few seconds later; the stream follows by itself.
    QTest::qWait(2000);
    const bool restored = ristpaths::restorePath(0) && ristpaths::restorePath(1);
    const bool arrived = testkit::waitUntil([&] { return receiver.data().size() > 100 * 1024; }, kDataMs, 100);
    QVERIFY(app.terminate());
    QVERIFY2(waited && restored && arrived, qPrintable(app.log()));
    QVERIFY(!app.log().contains(QLatin1String("select which path")));
    QVERIFY(testkit::readFile(stats).contains("\"state\":\"sending\""));
}

void TestRistPaths::pathsCarryTheStream() {
    RistTestReceiver receiver;
    QVERIFY2(startReceiver(receiver), qPrintable(receiver.output()));
    MainWindow window;
    QVERIFY(row(window, kPathA) && row(window, kPathB));
    QVERIFY(startWindow(window, QStringLiteral("%1(1),%2(2)").arg(kPathA, kPathB), server(receiver.port())));
    QVERIFY(testkit::waitUntil([&] { return receiver.data().size() > 100 * 1024; }, kDataMs, 100));

    // Weights 1 and 2: the stream is shared between the two paths.
    QPair<qint64, qint64> sent = pathPackets(2000);
    QVERIFY2(sent.first > 50 && sent.second > 50,
             qPrintable(QStringLiteral("%1 / %2").arg(sent.first).arg(sent.second)));

    // Unticked while streaming: that path falls silent, the other carries everything.
    row(window, kPathB)->click();
    QTest::qWait(300);
    qint64 before = receiver.data().size();
    sent = pathPackets(2000);
    QVERIFY2(sent.first > 100 && sent.second < 5,
             qPrintable(QStringLiteral("%1 / %2").arg(sent.first).arg(sent.second)));
    QVERIFY(receiver.data().size() > before);

    // Ticked again, then its interface goes down: within one refresh its row is unticked and removed.
    row(window, kPathB)->click();
    sent = pathPackets(2000);
    QVERIFY(sent.second > 50);
    QVERIFY(testkit::runCommands({QStringLiteral("ip link set vB down")}));
    QVERIFY(testkit::waitUntil([&] { return !row(window, kPathB); }, kRefreshMs, 100));
    before = receiver.data().size();
    QVERIFY(testkit::waitUntil([&] { return receiver.data().size() > before + 50 * 1024; }, 5000, 100));
    QVERIFY(window.streaming());

    // Back again: the operator's choice stands, the path is ticked with its weight and carries its share.
    QVERIFY(testkit::runCommands({QStringLiteral("ip link set vB up")}));
    QVERIFY(testkit::waitUntil([&] { return row(window, kPathB); }, kRefreshMs, 100));
    QVERIFY(row(window, kPathB)->isChecked());
    QCOMPARE(row(window, kPathB)->weight(), 2);
    sent = pathPackets(2000);
    QVERIFY2(sent.second > 50, qPrintable(QString::number(sent.second)));
    window.toggleStreaming();
    QVERIFY(window.waitForWorkers(10000));
}

void TestRistPaths::lostReceiverRestartsTheStream() {
    auto receiver = std::make_unique<RistTestReceiver>();
    QVERIFY(startReceiver(*receiver));
    const quint16 port = receiver->port();
    MainWindow window;
    QVERIFY(startWindow(window, kPathA, server(port)));
    QVERIFY(testkit::waitUntil([&] { return receiver->data().size() > 50 * 1024; }, kDataMs, 100));

    // Every peer falls silent: the relay reports the stream lost, the window stops it and starts it again.
    receiver.reset();
    QVERIFY(testkit::waitUntil([&] { return window.reconnects() > 0; }, 15000, 100));
    receiver = std::make_unique<RistTestReceiver>();
    QVERIFY(startReceiver(*receiver, QString(), port));
    QVERIFY(testkit::waitUntil([&] { return receiver->data().size() > 50 * 1024; }, kDataMs, 100));
    QVERIFY(window.streaming());
    window.toggleStreaming();
    QVERIFY(window.waitForWorkers(10000));
}

void TestRistPaths::everyPathGoneAndBack() {
    RistTestReceiver receiver;
    QVERIFY(startReceiver(receiver));
    MainWindow window;
    QVERIFY(startWindow(window, QStringLiteral("%1(1),%2(3)").arg(kPathA, kPathB), server(receiver.port())));
    QVERIFY(testkit::waitUntil([&] { return receiver.data().size() > 50 * 1024; }, kDataMs, 100));

    // Both modems pulled: the stream is a failed one, and its restart waits for a path, saying so.
    QVERIFY(ristpaths::dropPath(0) && ristpaths::dropPath(1));
    StreamHealth *health = window.streamHealth();
    QVERIFY(testkit::waitUntil([&] { return health->state() == StreamHealth::State::NoNetworkPath; }, 15000, 50));
    QVERIFY(!window.streaming());
    QCOMPARE(window.findChild<TelemetryStrip *>()->figuresText(), QStringLiteral("Link: no network path"));

    // Back: both rows return ticked with their weights, and the stream with them, by itself.
    QVERIFY(ristpaths::restorePath(0) && ristpaths::restorePath(1));
    const int before = receiver.data().size();
    QVERIFY(testkit::waitUntil([&] { return receiver.data().size() > before + 50 * 1024; }, 15000, 100));
    QVERIFY(window.streaming());
    QVERIFY(row(window, kPathA) && row(window, kPathA)->isChecked());
    QVERIFY(row(window, kPathB) && row(window, kPathB)->isChecked());
    QCOMPARE(row(window, kPathB)->weight(), 3);
    QVERIFY(testkit::waitUntil([&] { return health->state() == StreamHealth::State::Sending; }, 5000, 50));
    window.toggleStreaming();
    QVERIFY(window.waitForWorkers(10000));
}

void TestRistPaths::alphaReachesTheRistStream() {
    // The receiver's info-level log names each flow's cname.
    RistTestReceiver receiver;
    receiver.setStatsIntervalMs(1000);
    QVERIFY(startReceiver(receiver));
    MainWindow window;
    QVERIFY(startWindow(window, kPathA, server(receiver.port()), {{"ALPHA", true}}));
    QVERIFY2(testkit::waitUntil([&] { return receiver.output().contains("cname: cam1#alpha"); }, 10000, 100),
             qPrintable(receiver.output()));
    window.toggleStreaming();
    QVERIFY(window.waitForWorkers(10000));
}

void TestRistPaths::srpCredentialsKeepTheirCase() {
    if (!testkit::haveProgram(QStringLiteral("ristsrppasswd")))
        QSKIP("ristsrppasswd (rist-tools) is needed");
    QByteArray user;
    QCOMPARE(testkit::runProgram(QStringLiteral("ristsrppasswd"), {QStringLiteral("Cam"), QStringLiteral("S3cret")},
                                 5000, &user),
             0);
    const QString users = windowtest::homePath(QStringLiteral("srp.txt"));
    QVERIFY(testkit::writeFile(users, user.trimmed() + '\n'));
    RistTestReceiver receiver;
    receiver.setSrpFile(users);
    QVERIFY2(startReceiver(receiver), qPrintable(receiver.output()));
    MainWindow window;
    // The scheme and host in capitals are the operator's to write; user name and password are case-sensitive.
    QVERIFY(startWindow(window, kPathA,
                        QStringLiteral("RIST://%1:%2?username=Cam&password=S3cret")
                            .arg(QLatin1String(kReceiverAddress))
                            .arg(receiver.port())));
    const bool arrived = testkit::waitUntil([&] { return receiver.data().size() > 50 * 1024; }, kDataMs, 100);
    window.toggleStreaming();
    QVERIFY2(arrived, qPrintable(receiver.output().right(2000)));
    QVERIFY(window.waitForWorkers(10000));
}

int main(int argc, char *argv[]) {
    QTemporaryDir dir;
    windowtest::homeDir() = &dir;
    windowtest::isolateHome(dir);
    // Before any thread exists, so that all of them live in the sender's namespace.
    if (ristpaths::build(&topologyError))
        ristpaths::enterSender(&topologyError);
    int result = 0;
    {
        QApplication app(argc, argv);
        windowtest::configureApplication(dir);
        TestRistPaths test;
        result = QTest::qExec(&test, argc, argv);
    }
    ristpaths::remove();
    return result;
}

#include "tst_ristpaths.moc"
