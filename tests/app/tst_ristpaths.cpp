// RIST over real network paths. The test builds two network namespaces of its own: the sender's, where this
// test process and the program run, and the receiver's, where ristreceiver listens on one address (on its lo)
// that both veth paths reach. The receiver answers from that one address over the path a packet came in by.
//
//   sender ns:   vA 10.201.1.1/24   vB 10.201.2.1/24   route 10.203.0.2 via either path (metrics 10, 20)
//   receiver ns: vAr 10.201.1.2/24  vBr 10.201.2.2/24  lo 10.203.0.2/32, path routes with src 10.203.0.2
#include "appmessages.h"
#include "ckblblwidget.h"
#include "mainwindow.h"
#include "risttestreceiver.h"
#include "testkit.h"
#include "windowtestmain.h"

#include <QApplication>
#include <QJsonArray>
#include <QJsonDocument>
#include <QPlainTextEdit>
#include <QProcess>
#include <QSettings>
#include <QTemporaryDir>
#include <QtTest>

#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <memory>
#include <sched.h>
#include <unistd.h>

namespace {

const char kReceiverAddress[] = "10.203.0.2";
const char kPathA[] = "10.201.1.1";
const char kPathB[] = "10.201.2.1";
const char kSecret[] = "paths-secret&0123";
constexpr int kDataMs = 30000;
// The path refresh runs every 10 s.
constexpr int kRefreshMs = 12000;

QString senderNs;
QString receiverNs;
QString topologyError;
QTemporaryDir *home = nullptr;

bool run(const QString &command) {
    return std::system(command.toLocal8Bit().constData()) == 0;
}

// Namespaces of earlier runs of this test that were killed before they could tidy up.
void removeStaleNamespaces() {
    QProcess list;
    list.start(QStringLiteral("ip"), {QStringLiteral("netns"), QStringLiteral("list")});
    list.waitForFinished(5000);
    for (const QString &line : QString::fromLocal8Bit(list.readAll()).split('\n')) {
        const QString name = line.section(' ', 0, 0);
        if (!name.startsWith(QLatin1String("tw-i08-")))
            continue;
        const pid_t owner = pid_t(name.section('-', -1).toLong());
        if (owner > 0 && ::kill(owner, 0) != 0)
            run(QStringLiteral("ip netns del %1 2>/dev/null").arg(name));
    }
}

bool buildTopology() {
    removeStaleNamespaces();
    senderNs = QStringLiteral("tw-i08-s-%1").arg(::getpid());
    receiverNs = QStringLiteral("tw-i08-r-%1").arg(::getpid());
    const QString s = senderNs;
    const QString r = receiverNs;
    const QStringList commands{
        QStringLiteral("ip netns add %1").arg(s),
        QStringLiteral("ip netns add %1").arg(r),
        QStringLiteral("ip link add vA netns %1 type veth peer name vAr netns %2").arg(s, r),
        QStringLiteral("ip link add vB netns %1 type veth peer name vBr netns %2").arg(s, r),
        QStringLiteral("ip -n %1 addr add 10.201.1.1/24 dev vA").arg(s),
        QStringLiteral("ip -n %1 addr add 10.201.2.1/24 dev vB").arg(s),
        QStringLiteral("ip -n %1 addr add 10.201.1.2/24 dev vAr").arg(r),
        QStringLiteral("ip -n %1 addr add 10.201.2.2/24 dev vBr").arg(r),
        QStringLiteral("ip -n %1 addr add 10.203.0.2/32 dev lo").arg(r),
        QStringLiteral("ip -n %1 link set lo up && ip -n %1 link set vA up && ip -n %1 link set vB up").arg(s),
        QStringLiteral("ip -n %1 link set lo up && ip -n %1 link set vAr up && ip -n %1 link set vBr up").arg(r),
        QStringLiteral("ip -n %1 route replace 10.201.1.0/24 dev vAr src 10.203.0.2").arg(r),
        QStringLiteral("ip -n %1 route replace 10.201.2.0/24 dev vBr src 10.203.0.2").arg(r),
        QStringLiteral("ip -n %1 route add 10.203.0.2/32 via 10.201.1.2 dev vA metric 10").arg(s),
        QStringLiteral("ip -n %1 route add 10.203.0.2/32 via 10.201.2.2 dev vB metric 20").arg(s),
        // Replies reach the sender over the path they belong to, which the routing table may not prefer.
        QStringLiteral("for n in %1 %2; do for d in all default vA vB vAr vBr; do ip netns exec $n sysctl -qw "
                       "net.ipv4.conf.$d.rp_filter=0 2>/dev/null; done; done; true")
            .arg(s, r),
    };
    for (const QString &command : commands) {
        if (!run(command + QStringLiteral(" >/dev/null"))) {
            topologyError = QStringLiteral("network namespaces are not possible here (%1 failed)").arg(command);
            return false;
        }
    }
    return true;
}

void removeTopology() {
    if (!senderNs.isEmpty())
        run(QStringLiteral("ip netns del %1 2>/dev/null; ip netns del %2 2>/dev/null").arg(senderNs, receiverNs));
}

// Moves this (still single-threaded) process into the sender's namespace: every thread it starts later, and
// every program it runs, is there too.
bool enterSenderNamespace() {
    const int fd = ::open(QByteArray("/var/run/netns/" + senderNs.toLocal8Bit()).constData(), O_RDONLY | O_CLOEXEC);
    const bool entered = fd >= 0 && ::setns(fd, CLONE_NEWNET) == 0;
    if (fd >= 0)
        ::close(fd);
    if (!entered)
        topologyError = QStringLiteral("cannot enter the sender's network namespace");
    return entered;
}

qint64 txPackets(const QString &device) {
    QByteArray output;
    testkit::runProgram(QStringLiteral("ip"),
                        {QStringLiteral("-s"), QStringLiteral("-j"), QStringLiteral("link"), QStringLiteral("show"),
                         QStringLiteral("dev"), device},
                        5000, &output);
    const QJsonArray links = QJsonDocument::fromJson(output).array();
    return qint64(
        links.at(0).toObject().value("stats64").toObject().value("tx").toObject().value("packets").toDouble(-1));
}

// Packets each path sent in the next windowMs.
QPair<qint64, qint64> pathPackets(int windowMs) {
    const qint64 a = txPackets(QStringLiteral("vA"));
    const qint64 b = txPackets(QStringLiteral("vB"));
    QTest::qWait(windowMs);
    return {txPackets(QStringLiteral("vA")) - a, txPackets(QStringLiteral("vB")) - b};
}

void writeConfig(const QString &path, const QString &servers, const QString &bonding, const QString &secret) {
    testkit::writeStreamConfig(path, {{"FRAME", "1280x720"},
                                      {"FPS", "25 fps"},
                                      {"VBR", 800},
                                      {"RECONNECT", 3},
                                      {"RIST_DEST", true},
                                      {"URL_RIST", servers},
                                      {"STREAMID_RIST", "cam1"},
                                      {"PASSPHRASE_RIST", secret},
                                      {"BONDING_RIST", bonding}});
}

double tsPacketShare(const QByteArray &data) {
    int places = 0;
    int synced = 0;
    for (int i = 0; i < data.size(); i += 188, ++places)
        synced += data[i] == char(0x47);
    return places ? double(synced) / places : 0.0;
}

} // namespace

class TestRistPaths : public QObject {
    Q_OBJECT

private slots:
    void init();
    void autoStartStreamsOverRist();
    void pathsCarryTheStream();
    void lostReceiverRestartsTheStream();
    void srpCredentialsKeepTheirCase();

private:
    CkbLblWidget *row(MainWindow &window, const QString &address) {
        for (CkbLblWidget *candidate : window.bondingRows()) {
            if (candidate->text() == address)
                return candidate;
        }
        return nullptr;
    }
    bool startWindow(MainWindow &window, const QString &bonding, quint16 port,
                     const QString &server = QStringLiteral("rist://%1:%2")) {
        const QString config = home->filePath(QStringLiteral("window.ini"));
        QFile::remove(config);
        writeConfig(config, server.arg(QLatin1String(kReceiverAddress)).arg(port), bonding, QString());
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
    QVERIFY2(right.start(QLatin1String(kSecret), receiverNs, QLatin1String(kReceiverAddress)),
             qPrintable(right.output()));
    QVERIFY2(wrong.start(QStringLiteral("another-secret-42"), receiverNs, QLatin1String(kReceiverAddress)),
             qPrintable(wrong.output()));
    QTemporaryDir dir;
    const QString config = dir.filePath(QStringLiteral("rist.ini"));
    writeConfig(config, QString(), QString(), QLatin1String(kSecret));
    {
        QSettings ini(config, QSettings::IniFormat);
        ini.remove(QStringLiteral("URL_RIST"));
        ini.remove(QStringLiteral("BONDING_RIST"));
    }
    // The lists as an operator types them into the file, without quotes (QSettings then reads string lists).
    QFile file(config);
    QVERIFY(file.open(QIODevice::Append));
    file.write(QStringLiteral("URL_RIST=rist://%1:%2, %1:%3\nBONDING_RIST=%4(1),%5(1)\n")
                   .arg(QLatin1String(kReceiverAddress))
                   .arg(right.port())
                   .arg(wrong.port())
                   .arg(QLatin1String(kPathA), QLatin1String(kPathB))
                   .toLatin1());
    file.close();
    const qint64 sentA = txPackets(QStringLiteral("vA"));
    const qint64 sentB = txPackets(QStringLiteral("vB"));

    QProcess app;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("HOME"), dir.path());
    env.insert(QStringLiteral("XDG_CONFIG_HOME"), dir.filePath(QStringLiteral("config")));
    env.remove(QStringLiteral("DISPLAY"));
    app.setProcessEnvironment(env);
    app.setProcessChannelMode(QProcess::MergedChannels);
    app.setStandardOutputFile(dir.filePath(QStringLiteral("app.log")));
    app.start(QStringLiteral(TIDEWELL_EXECUTABLE), {QStringLiteral("-platform"), QStringLiteral("offscreen"), config});
    QVERIFY(app.waitForStarted(5000));
    auto appLog = [&dir] { return QString::fromUtf8(testkit::readFile(dir.filePath(QStringLiteral("app.log")))); };
    constexpr int kEnough = 300 * 1024;
    const bool arrived = testkit::waitUntil([&] { return right.data().size() > kEnough; }, kDataMs, 100);
    const qint64 pathA = txPackets(QStringLiteral("vA")) - sentA;
    const qint64 pathB = txPackets(QStringLiteral("vB")) - sentB;
    ::kill(pid_t(app.processId()), SIGTERM);
    QVERIFY(app.waitForFinished(15000));
    QVERIFY2(arrived, qPrintable(appLog()));
    // Weights 1 and 1 share the stream between both paths.
    QVERIFY2(pathA > 100 && pathB > 100, qPrintable(QStringLiteral("%1 / %2").arg(pathA).arg(pathB)));

    const QString recording = dir.filePath(QStringLiteral("received.ts"));
    QFile received(recording);
    QVERIFY(received.open(QIODevice::WriteOnly));
    received.write(right.data());
    received.close();
    const QJsonObject video = testkit::probeStream(testkit::ffprobe(recording), QStringLiteral("video"));
    QCOMPARE(video.value(QStringLiteral("codec_name")).toString(), QStringLiteral("h264"));
    QCOMPARE(video.value(QStringLiteral("width")).toInt(), 1280);
    QCOMPARE(video.value(QStringLiteral("height")).toInt(), 720);
    QCOMPARE(video.value(QStringLiteral("r_frame_rate")).toString(), QStringLiteral("25/1"));
    // The receiver with another secret got packets, but nothing a decoder could read.
    QVERIFY(tsPacketShare(wrong.data()) < 0.05);
    QVERIFY(!appLog().contains(QLatin1String(kSecret)));
}

void TestRistPaths::pathsCarryTheStream() {
    RistTestReceiver receiver;
    QVERIFY2(receiver.start(QString(), receiverNs, QLatin1String(kReceiverAddress)), qPrintable(receiver.output()));
    MainWindow window;
    QVERIFY(row(window, kPathA) && row(window, kPathB));
    QVERIFY(startWindow(window, QStringLiteral("%1(1),%2(1)").arg(kPathA, kPathB), receiver.port()));
    QVERIFY(testkit::waitUntil([&] { return receiver.data().size() > 100 * 1024; }, kDataMs, 100));

    // Weights 1 and 1: the stream is shared between the two paths.
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
    QVERIFY(run(QStringLiteral("ip link set vB down")));
    QVERIFY(testkit::waitUntil([&] { return !row(window, kPathB); }, kRefreshMs, 100));
    before = receiver.data().size();
    QVERIFY(testkit::waitUntil([&] { return receiver.data().size() > before + 50 * 1024; }, 5000, 100));
    QVERIFY(window.streaming());

    // Back again: a new row, not ticked.
    QVERIFY(run(QStringLiteral("ip link set vB up")));
    QVERIFY(testkit::waitUntil([&] { return row(window, kPathB); }, kRefreshMs, 100));
    QVERIFY(!row(window, kPathB)->isChecked());
    QCOMPARE(row(window, kPathB)->weight(), 1);
    window.toggleStreaming();
    QVERIFY(window.waitForWorkers(10000));
}

void TestRistPaths::lostReceiverRestartsTheStream() {
    auto receiver = std::make_unique<RistTestReceiver>();
    QVERIFY(receiver->start(QString(), receiverNs, QLatin1String(kReceiverAddress)));
    const quint16 port = receiver->port();
    MainWindow window;
    QVERIFY(startWindow(window, QLatin1String(kPathA), port));
    QVERIFY(testkit::waitUntil([&] { return receiver->data().size() > 50 * 1024; }, kDataMs, 100));

    // Every peer falls silent: the relay reports the stream lost, the window stops it and starts it again.
    receiver.reset();
    QVERIFY(testkit::waitUntil([&] { return window.reconnects() > 0; }, 15000, 100));
    receiver = std::make_unique<RistTestReceiver>();
    QVERIFY(receiver->start(QString(), receiverNs, QLatin1String(kReceiverAddress), port));
    QVERIFY(testkit::waitUntil([&] { return receiver->data().size() > 50 * 1024; }, kDataMs, 100));
    QVERIFY(window.streaming());
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
    const QString users = home->filePath(QStringLiteral("srp.txt"));
    QFile file(users);
    QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    file.write(user.trimmed() + '\n');
    file.close();
    RistTestReceiver receiver;
    receiver.setSrpFile(users);
    QVERIFY2(receiver.start(QString(), receiverNs, QLatin1String(kReceiverAddress)), qPrintable(receiver.output()));
    MainWindow window;
    // The scheme and host in capitals are the operator's to write; user name and password are case-sensitive.
    QVERIFY(startWindow(window, QLatin1String(kPathA), receiver.port(),
                        QStringLiteral("RIST://%1:%2?username=Cam&password=S3cret")));
    const bool arrived = testkit::waitUntil([&] { return receiver.data().size() > 50 * 1024; }, kDataMs, 100);
    window.toggleStreaming();
    QVERIFY2(arrived, qPrintable(receiver.output().right(2000)));
    QVERIFY(window.waitForWorkers(10000));
}

int main(int argc, char *argv[]) {
    QTemporaryDir dir;
    home = &dir;
    windowtest::isolateHome(dir);
    // Before any thread exists, so that all of them live in the sender's namespace.
    if (::geteuid() != 0)
        topologyError = QStringLiteral("network namespaces need root");
    else if (buildTopology())
        enterSenderNamespace();
    int result = 0;
    {
        QApplication app(argc, argv);
        windowtest::configureApplication(dir);
        TestRistPaths test;
        result = QTest::qExec(&test, argc, argv);
    }
    removeTopology();
    return result;
}

#include "tst_ristpaths.moc"
