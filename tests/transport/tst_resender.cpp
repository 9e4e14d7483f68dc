// RESender end to end on loopback: an encoder stand-in writes into the relay's listener, real SRT peers
// (srt-live-transmit, the test kit's libsrt listener) receive.
#include "logsdlg.h"
#include "peerprocess.h"
#include "resender.h"
#include "ristpathtopology.h"
#include "srttestlistener.h"
#include "testkit.h"

#include <QtTest>

#include <QElapsedTimer>
#include <QPlainTextEdit>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>

#include <atomic>
#include <memory>

namespace {

constexpr int kWaitMs = 10000;
// Longer than any test waits, so that only a cooperative end can explain a prompt restart.
constexpr int kLongEncoderWaitMs = 60000;

// Counts the relay's "error send" diagnostics, which mark each failed chunk.
std::atomic<int> failedSends{0};
QtMessageHandler previousHandler = nullptr;

void countingHandler(QtMsgType type, const QMessageLogContext &context, const QString &message) {
    if (message.contains(QLatin1String("error send")))
        ++failedSends;
    if (previousHandler)
        previousHandler(type, context, message);
}

// The relay's srtError arrives here queued, as it does at the main window.
class ErrorSink : public QObject {
    Q_OBJECT
public:
    explicit ErrorSink(RESender *sender) { connect(sender, &RESender::srtError, this, &ErrorSink::srtError); }
signals:
    void srtError();
};

QString logText(const LogsDlg &logs) {
    return logs.findChild<QPlainTextEdit *>(QStringLiteral("plainTextEdit"))->toPlainText();
}

bool logHas(const LogsDlg &logs, const QString &line, int timeoutMs = kWaitMs) {
    return testkit::waitUntil([&] { return logText(logs).contains(line); }, timeoutMs);
}

// Writes into the relay's listener as the encoder would and waits until the bytes left this side.
bool writeAll(QTcpSocket &encoder, const QByteArray &data) {
    if (encoder.write(data) != data.size())
        return false;
    QElapsedTimer timer;
    timer.start();
    while (encoder.bytesToWrite() > 0 && timer.elapsed() < kWaitMs)
        encoder.waitForBytesWritten(100);
    return encoder.bytesToWrite() == 0;
}

bool connectEncoder(QTcpSocket &encoder, int port) {
    encoder.connectToHost(QHostAddress(QHostAddress::LocalHost), static_cast<quint16>(port));
    return encoder.waitForConnected(kWaitMs);
}

} // namespace

class TestRESender : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void forwardsTransportStreamUnchanged_data();
    void forwardsTransportStreamUnchanged();
    void splitsEachReadIntoMessages_data();
    void splitsEachReadIntoMessages();
    void streamIdSuffixes_data();
    void streamIdSuffixes();
    void passphraseWithKeyLength32();
    void unreachableServerRaisesErrorOnce();
    void backupGoesAndReturns();
    void backupLeavesByItsOwnInterface();
    void serversGone_data();
    void serversGone();
    void encoderFailureRaisesError_data();
    void encoderFailureRaisesError();
    void stopDuringEncoderWaitEndsRun();
    void stopDuringConnectEndsRun_data();
    void stopDuringConnectEndsRun();
    void restartDuringEncoderWaitPublishesNewPort();
    void listenerThatCannotOpen();

private:
    bool startRun(int serverPort, const QString &streamId = QStringLiteral("cam1"), bool lossless = false,
                  const QString &passphrase = QString(), int keyLength = 16);

    std::unique_ptr<LogsDlg> logs;
    std::unique_ptr<RESender> sender;
};

void TestRESender::initTestCase() {
    failedSends = 0;
    previousHandler = qInstallMessageHandler(countingHandler);
}

void TestRESender::init() {
    logs = std::make_unique<LogsDlg>();
    sender = std::make_unique<RESender>(logs.get());
    failedSends = 0;
}

void TestRESender::cleanup() {
    sender->stopRetransmit();
    QVERIFY(sender->wait(kWaitMs));
    sender.reset();
    logs.reset();
}

bool TestRESender::startRun(int serverPort, const QString &streamId, bool lossless, const QString &passphrase,
                            int keyLength) {
    sender->startRetransmit(QStringLiteral("127.0.0.1"), QString(), serverPort, streamId, 120, passphrase, keyLength,
                            lossless);
    return testkit::waitUntil([&] { return sender->listenPort != 0; }, kWaitMs) && sender->listenPort > 0;
}

void TestRESender::forwardsTransportStreamUnchanged_data() {
    QTest::addColumn<bool>("lossless");
    QTest::newRow("live") << false;
    QTest::newRow("lossless") << true;
}

void TestRESender::forwardsTransportStreamUnchanged() {
    QFETCH(bool, lossless);
    if (!testkit::haveProgram("srt-live-transmit") || !testkit::haveProgram("ffmpeg"))
        QSKIP("srt-live-transmit (srt-tools) and ffmpeg are needed");
    QTemporaryDir dir;
    const QString input = dir.filePath("input.ts");
    const QString output = dir.filePath("output.ts");
    QVERIFY(testkit::makeTransportStream(input, 8.0, QStringLiteral("640x360"), 3000));
    const QByteArray stream = testkit::readFile(input);
    QVERIFY(stream.size() > 2 * 1024 * 1024);

    const quint16 serverPort = testkit::freePort(true);
    PeerProcess server;
    QVERIFY2(startSrtFileServer(server, serverPort, output,
                                lossless ? QStringLiteral("&transtype=file&messageapi=0") : QString()),
             qPrintable(server.output()));
    QVERIFY(startRun(serverPort, QStringLiteral("relay"), lossless));
    QVERIFY(logHas(*logs, "CONNECT: SUCCESS"));

    QTcpSocket encoder;
    QVERIFY(connectEncoder(encoder, sender->listenPort));
    // Writes of uneven sizes, paced like a live encoder, so reads rarely end on a chunk boundary.
    constexpr int kWriteSize = 47 * 1024 + 5;
    for (int offset = 0; offset < stream.size(); offset += kWriteSize) {
        QVERIFY(writeAll(encoder, stream.mid(offset, kWriteSize)));
        QThread::msleep(3);
    }
    // srt-live-transmit writes its standard output in blocks; the last one comes out when it ends.
    constexpr qint64 kOutputBlock = 64 * 1024;
    QVERIFY2(testkit::waitUntil([&] { return QFileInfo(output).size() > stream.size() - kOutputBlock; }, 30000),
             qPrintable(QStringLiteral("%1 of %2 bytes arrived").arg(QFileInfo(output).size()).arg(stream.size())));
    QTest::qWait(300);
    sender->stopRetransmit();
    // On SIGTERM it writes out what it still buffers and ends by itself; one that had to be killed did not.
    server.terminate();
    QVERIFY2(server.waitForExit(5000) && server.endedCleanly(), qPrintable(server.output()));
    QCOMPARE(QFileInfo(output).size(), qint64(stream.size()));
    QVERIFY2(testkit::readFile(output) == stream, "the forwarded stream differs from what the encoder wrote");
    QCOMPARE(failedSends.load(), 0);
}

void TestRESender::splitsEachReadIntoMessages_data() {
    QTest::addColumn<int>("size");
    QTest::addColumn<QList<int>>("messages");
    QTest::newRow("3000") << 3000 << QList<int>{1316, 1316, 368};
    QTest::newRow("one chunk") << 1316 << QList<int>{1316};
    QTest::newRow("one short") << 1315 << QList<int>{1315};
    QTest::newRow("one byte") << 1 << QList<int>{1};
    QTest::newRow("two chunks") << 2632 << QList<int>{1316, 1316};
    QTest::newRow("two chunks and one byte") << 2633 << QList<int>{1316, 1316, 1};
}

void TestRESender::splitsEachReadIntoMessages() {
    QFETCH(int, size);
    QFETCH(QList<int>, messages);
    SrtTestListener listener;
    QVERIFY2(listener.start(), qPrintable(listener.errorText()));
    QVERIFY(startRun(listener.port()));
    QVERIFY(logHas(*logs, "CONNECT: SUCCESS"));

    QTcpSocket encoder;
    QVERIFY(connectEncoder(encoder, sender->listenPort));
    QVERIFY(logHas(*logs, "RESender SUCCESS"));
    QByteArray data(size, Qt::Uninitialized);
    for (int i = 0; i < size; ++i)
        data[i] = char(i * 7 + 3);
    QVERIFY(writeAll(encoder, data));
    QVERIFY(testkit::waitUntil([&] { return listener.bytesReceived() >= size; }, kWaitMs));
    QTest::qWait(100);
    const SrtTestListener::Caller caller = listener.callers().first();
    QCOMPARE(caller.messageSizes, messages);
    QCOMPARE(caller.data, data);
}

void TestRESender::streamIdSuffixes_data() {
    QTest::addColumn<bool>("alpha");
    QTest::addColumn<bool>("lossless");
    QTest::addColumn<QString>("received");
    QTest::newRow("plain") << false << false << "studio/cam1";
    QTest::newRow("alpha") << true << false << "studio/cam1#alpha";
    QTest::newRow("lossless") << false << true << "studio/cam1#lossless";
    QTest::newRow("alpha, lossless") << true << true << "studio/cam1#alpha#lossless";
}

void TestRESender::streamIdSuffixes() {
    QFETCH(bool, alpha);
    QFETCH(bool, lossless);
    QFETCH(QString, received);
    SrtTestListener::Options options;
    options.fileMode = lossless;
    SrtTestListener listener(options);
    QVERIFY2(listener.start(), qPrintable(listener.errorText()));
    sender->setEncoderWaitMs(200);
    sender->setAlpha(alpha);

    // Two runs of the same object: the suffix is added once per run, never piled up.
    for (int run = 1; run <= 2; ++run) {
        QVERIFY(startRun(listener.port(), QStringLiteral("studio/cam1"), lossless));
        QVERIFY(testkit::waitUntil([&] { return listener.callerCount() == run; }, kWaitMs));
        QCOMPARE(listener.callers().last().streamId, received);
        sender->stopRetransmit();
        QVERIFY(sender->wait(kWaitMs));
    }
    const QString shown = alpha ? QStringLiteral("studio/cam1#alpha") : QStringLiteral("studio/cam1");
    QVERIFY(logText(*logs).contains(
        QStringLiteral("Connect to SRT 127.0.0.1:%1  streamid: %2\n").arg(listener.port()).arg(shown)));

    // Clearing alpha takes effect with the next run.
    sender->setAlpha(false);
    QVERIFY(startRun(listener.port(), QStringLiteral("studio/cam1"), lossless));
    QVERIFY(testkit::waitUntil([&] { return listener.callerCount() == 3; }, kWaitMs));
    QCOMPARE(listener.callers().last().streamId,
             lossless ? QStringLiteral("studio/cam1#lossless") : QStringLiteral("studio/cam1"));
}

void TestRESender::passphraseWithKeyLength32() {
    const QString secret = QStringLiteral("tidal-basin-0042");
    SrtTestListener::Options options;
    options.passphrase = secret;
    options.keyLength = 32;
    SrtTestListener accepting(options);
    QVERIFY2(accepting.start(), qPrintable(accepting.errorText()));
    options.passphrase = QStringLiteral("another-secret-9");
    SrtTestListener refusing(options);
    QVERIFY2(refusing.start(), qPrintable(refusing.errorText()));

    QVERIFY(startRun(accepting.port(), QStringLiteral("sealed"), false, secret, 32));
    QVERIFY(logHas(*logs, "CONNECT: SUCCESS"));
    QTcpSocket encoder;
    QVERIFY(connectEncoder(encoder, sender->listenPort));
    const QByteArray data(5 * 1316, 'e');
    QVERIFY(writeAll(encoder, data));
    QVERIFY(testkit::waitUntil([&] { return accepting.bytesReceived() == data.size(); }, kWaitMs));
    QVERIFY(accepting.callers().first().secured);
    QCOMPARE(accepting.callers().first().keyLength, 32);
    QCOMPARE(accepting.callers().first().data, data);
    encoder.abort();

    QVERIFY(startRun(refusing.port(), QStringLiteral("sealed"), false, secret, 32));
    QVERIFY(logHas(*logs, "CONNECT FAILED: SRT CONNECT FAILED"));
    QCOMPARE(refusing.callerCount(), 0);
    QVERIFY2(!logText(*logs).contains(secret), "the passphrase reached the log window");
}

void TestRESender::unreachableServerRaisesErrorOnce() {
    ErrorSink sink(sender.get());
    QSignalSpy errors(&sink, &ErrorSink::srtError);
    const quint16 nobody = testkit::freePort(true);
    sender->startRetransmit(QStringLiteral("127.0.0.1"), QString(), nobody, QStringLiteral("cam1"), 120, QString(), 16,
                            false);

    // The port is out before the connection attempt (which takes the library's connect timeout to fail).
    QVERIFY(testkit::waitUntil([&] { return sender->listenPort > 0; }, kWaitMs));
    QVERIFY(!logText(*logs).contains("CONNECT"));
    QVERIFY(logHas(*logs, QStringLiteral("CONNECT FAILED: SRT CONNECT FAILED"), 15000));

    QTcpSocket encoder;
    QVERIFY(connectEncoder(encoder, sender->listenPort));
    QVERIFY(logHas(*logs, "RESender SUCCESS"));
    const QByteArray chunk(1316, 'x');
    // Each read fails one chunk; the five tolerated failures raise nothing.
    for (int failure = 1; failure <= 5; ++failure) {
        QVERIFY(writeAll(encoder, chunk));
        QVERIFY(testkit::waitUntil([&] { return failedSends.load() == failure; }, kWaitMs));
    }
    QTest::qWait(100);
    QCOMPARE(errors.count(), 0);
    QVERIFY(!logText(*logs).contains("SRT PACKET SEND ERROR"));

    QVERIFY(writeAll(encoder, chunk));
    QVERIFY(errors.wait(kWaitMs));
    QVERIFY(logHas(*logs, "*** SRT PACKET SEND ERROR (5 times).  STOP."));

    // What follows is read and discarded: the encoder is never blocked and nothing else is raised.
    const QByteArray more(4 * 1024 * 1024, 'y');
    QVERIFY(writeAll(encoder, more));
    QTest::qWait(300);
    QCOMPARE(failedSends.load(), 6);
    QCOMPARE(errors.count(), 1);
    QCOMPARE(logText(*logs).count("SRT PACKET SEND ERROR"), 1);
}

// Two srt-live-transmit servers take the same stream; the backup is stopped mid-stream and started again.
void TestRESender::backupGoesAndReturns() {
    if (!testkit::haveProgram("srt-live-transmit") || !testkit::haveProgram("ffmpeg"))
        QSKIP("srt-live-transmit (srt-tools) and ffmpeg are needed");
    QTemporaryDir dir;
    const QString input = dir.filePath("input.ts");
    QVERIFY(testkit::makeTransportStream(input, 8.0, QStringLiteral("640x360"), 2000));
    const QByteArray stream = testkit::readFile(input);
    const quint16 mainPort = testkit::freePort(true);
    const quint16 backupPort = testkit::freePort(true);
    PeerProcess main;
    PeerProcess backup;
    QVERIFY2(startSrtFileServer(main, mainPort, dir.filePath("main.ts"), QString()), qPrintable(main.output()));
    QVERIFY2(startSrtFileServer(backup, backupPort, dir.filePath("backup1.ts"), QString()),
             qPrintable(backup.output()));
    sender->setBackupServer(QStringLiteral("127.0.0.1"), QString(), backupPort);
    QVERIFY(startRun(mainPort, QStringLiteral("relay")));
    QVERIFY(testkit::waitUntil([&] { return sender->destinationUp(0) && sender->destinationUp(1); }, kWaitMs));
    QCOMPARE(sender->destinationCount(), 2);

    QTcpSocket encoder;
    QVERIFY(connectEncoder(encoder, sender->listenPort));
    // Paced at the stream's own rate, in whole TS packets as the muxer writes them: the backup goes a quarter of
    // the way in, comes back as soon as the relay has seen it go, and must get the stream again.
    constexpr int kWriteSize = 100 * RelayThread::kTsPacketSize;
    const int pauseMs = int(8000LL * kWriteSize / stream.size());
    QElapsedTimer returned;
    qint64 backAfterMs = -1;
    for (int offset = 0; offset < stream.size(); offset += kWriteSize) {
        QVERIFY(writeAll(encoder, stream.mid(offset, kWriteSize)));
        QTest::qWait(pauseMs);
        if (offset >= stream.size() / 4 && !backup.isRunning() && !returned.isValid() &&
            logText(*logs).contains(QStringLiteral("SRT SERVER LOST: BACKUP"))) {
            QVERIFY2(startSrtFileServer(backup, backupPort, dir.filePath("backup2.ts"), QString()),
                     qPrintable(backup.output()));
            returned.start();
        } else if (offset >= stream.size() / 4 && backup.isRunning() && !returned.isValid()) {
            backup.terminate();
            QVERIFY(backup.waitForExit(5000));
        }
        if (returned.isValid() && backAfterMs < 0 && QFileInfo(dir.filePath("backup2.ts")).size() > 0)
            backAfterMs = returned.elapsed();
    }
    QVERIFY2(returned.isValid(), "the relay never saw the backup go");
    constexpr qint64 kOutputBlock = 64 * 1024;
    QVERIFY(testkit::waitUntil([&] { return QFileInfo(dir.filePath("main.ts")).size() > stream.size() - kOutputBlock; },
                               30000));
    QTest::qWait(300);
    sender->stopRetransmit();
    main.terminate();
    backup.terminate();
    QVERIFY(main.waitForExit(5000) && backup.waitForExit(5000));
    if (backAfterMs < 0 && QFileInfo(dir.filePath("backup2.ts")).size() > 0)
        backAfterMs = returned.elapsed();
    QVERIFY2(backAfterMs >= 0 && backAfterMs < 5000, qPrintable(QString::number(backAfterMs)));

    // The main server got every byte, the backup the stream up to its stop and, from its return, the rest from a TS
    // packet boundary on.
    QVERIFY2(testkit::readFile(dir.filePath("main.ts")) == stream, "the main server's stream differs");
    const QByteArray before = testkit::readFile(dir.filePath("backup1.ts"));
    const QByteArray after = testkit::readFile(dir.filePath("backup2.ts"));
    QVERIFY(before.size() >= stream.size() / 8 && stream.startsWith(before));
    QVERIFY(!after.isEmpty() && stream.endsWith(after));
    QCOMPARE((stream.size() - after.size()) % RelayThread::kTsPacketSize, 0);
    QVERIFY(!logText(*logs).contains(QStringLiteral("SRT SERVER LOST: MAIN")));
    QVERIFY(logText(*logs).contains(QStringLiteral("SRT SERVER BACK: BACKUP 127.0.0.1:%1").arg(backupPort)));
    QCOMPARE(failedSends.load(), 0);
}

// Two links to the server's network, the first preferred by the routing table: the backup bound to the second
// leaves by it, not by the way the table would choose. Without the device binding both streams left by the first.
void TestRESender::backupLeavesByItsOwnInterface() {
    if (!testkit::haveProgram("srt-live-transmit"))
        QSKIP("srt-live-transmit (srt-tools) is needed");
    QString error;
    if (!ristpaths::build(&error))
        QSKIP(qPrintable(error));
    const auto removeNamespaces = qScopeGuard([] {
        ristpaths::leaveSender();
        ristpaths::remove();
    });
    QTemporaryDir dir;
    const auto startServer = [&](PeerProcess &server, quint16 port, const QString &file) {
        return server.start(
            QStringLiteral("ip"),
            {QStringLiteral("netns"), QStringLiteral("exec"), ristpaths::receiverNamespace(), QStringLiteral("sh"),
             QStringLiteral("-c"), QStringLiteral("exec srt-live-transmit -q \"$1\" file://con > \"$2\""),
             QStringLiteral("sh"), QStringLiteral("srt://:%1?mode=listener").arg(port), dir.filePath(file)});
    };
    PeerProcess main;
    PeerProcess backup;
    QVERIFY2(startServer(main, 9001, QStringLiteral("main.ts")), qPrintable(main.output()));
    QVERIFY2(startServer(backup, 9002, QStringLiteral("backup.ts")), qPrintable(backup.output()));
    // This thread and the relay's, which it starts, are in the sender's namespace from here on.
    QVERIFY2(ristpaths::enterSender(&error), qPrintable(error));
    const qint64 before[] = {ristpaths::sentPackets(0), ristpaths::sentPackets(1)};
    sender->setBackupServer(QLatin1String(ristpaths::kReceiverAddress), ristpaths::pathAddress(1), 9002);
    sender->startRetransmit(QLatin1String(ristpaths::kReceiverAddress), QString(), 9001, QStringLiteral("cam1"), 120,
                            QString(), 16, false);
    // A backup slower to answer than the main server joins the stream a moment later, in the background.
    QVERIFY(testkit::waitUntil([&] { return sender->destinationUp(0) && sender->destinationUp(1); }, kWaitMs));
    QTcpSocket encoder;
    QVERIFY(connectEncoder(encoder, sender->listenPort));
    constexpr int kMessages = 300;
    QVERIFY(writeAll(encoder, QByteArray(kMessages * 1316, 'n')));
    QVERIFY(testkit::waitUntil(
        [&] {
            return QFileInfo(dir.filePath("main.ts")).size() >= kMessages * 1316 - 65536 &&
                   QFileInfo(dir.filePath("backup.ts")).size() >= kMessages * 1316 - 65536;
        },
        kWaitMs));
    const qint64 sent[] = {ristpaths::sentPackets(0) - before[0], ristpaths::sentPackets(1) - before[1]};
    QVERIFY2(
        sent[0] >= kMessages && sent[1] >= kMessages && sent[1] < 2 * kMessages,
        qPrintable(QStringLiteral("%1 packets left by the first link, %2 by the second").arg(sent[0]).arg(sent[1])));
    sender->stopRetransmit();
    QVERIFY(sender->wait(kWaitMs));
}

void TestRESender::serversGone_data() {
    QTest::addColumn<bool>("withBackup");
    QTest::addColumn<bool>("mainGoes");
    QTest::addColumn<bool>("backupGoes");
    QTest::newRow("the only server goes") << false << true << false;
    QTest::newRow("main goes, backup carries on") << true << true << false;
    QTest::newRow("both go") << true << true << true;
}

// The run fails only once no server takes the stream; a server that is left carries it alone.
void TestRESender::serversGone() {
    QFETCH(bool, withBackup);
    QFETCH(bool, mainGoes);
    QFETCH(bool, backupGoes);
    ErrorSink sink(sender.get());
    QSignalSpy errors(&sink, &ErrorSink::srtError);
    auto main = std::make_unique<SrtTestListener>();
    auto backup = std::make_unique<SrtTestListener>();
    QVERIFY2(main->start(), qPrintable(main->errorText()));
    QVERIFY2(backup->start(), qPrintable(backup->errorText()));
    if (withBackup)
        sender->setBackupServer(QStringLiteral("127.0.0.1"), QString(), backup->port());
    QVERIFY(startRun(main->port()));
    QVERIFY(testkit::waitUntil([&] { return sender->destinationUp(0) && sender->destinationUp(1) == withBackup; },
                               kWaitMs));
    QTcpSocket encoder;
    QVERIFY(connectEncoder(encoder, sender->listenPort));
    QVERIFY(writeAll(encoder, QByteArray(20 * 1316, 'a')));
    QVERIFY(testkit::waitUntil(
        [&] { return main->bytesReceived() == 20 * 1316 && backup->bytesReceived() == (withBackup ? 20 * 1316 : 0); },
        kWaitMs));
    QCOMPARE(failedSends.load(), 0);

    if (mainGoes)
        main.reset();
    if (backupGoes)
        backup.reset();
    // Keep writing as a live encoder does until the relay gives up, or for a while when it must not.
    QElapsedTimer timer;
    timer.start();
    const bool fails = !withBackup || backupGoes;
    int written = 0;
    while (errors.isEmpty() && timer.elapsed() < (fails ? 20000 : 3000)) {
        QVERIFY(writeAll(encoder, QByteArray(1316, 'b')));
        ++written;
        errors.wait(20);
    }
    QCOMPARE(errors.count(), fails ? 1 : 0);
    QCOMPARE(failedSends.load(), fails ? 6 : 0);
    if (fails)
        return;
    QVERIFY(testkit::waitUntil([&] { return backup->bytesReceived() == (20 + written) * 1316; }, kWaitMs));
    QVERIFY(sender->destinationUp(1) && !sender->destinationUp(0));
    // The figures follow the backup now, and name each server.
    const LinkStats stats = sender->linkStats();
    QVERIFY(stats.valid());
    QCOMPARE(stats.paths.size(), 2);
    QCOMPARE(QStringList({stats.paths[0].role, stats.paths[1].role}), QStringList({"main", "backup"}));
    QCOMPARE(QList<bool>({stats.paths[0].alive, stats.paths[1].alive}), QList<bool>({false, true}));
    QCOMPARE(stats.paths[1].destination, QStringLiteral("127.0.0.1:%1").arg(backup->port()));
    QVERIFY(stats.paths[1].sentInterval > 0 && stats.sentInterval == stats.paths[1].sentInterval);
}

void TestRESender::encoderFailureRaisesError_data() {
    QTest::addColumn<bool>("connects");
    QTest::addColumn<QString>("line");
    QTest::newRow("never connects") << false << "RESender FAILED TIMEOUT 101";
    QTest::newRow("disconnects mid-run") << true << "RESender ENCODER DISCONNECTED";
}

// A run without its encoder relays nothing: it is a failed stream, which the main window restarts.
void TestRESender::encoderFailureRaisesError() {
    QFETCH(bool, connects);
    QFETCH(QString, line);
    ErrorSink sink(sender.get());
    QSignalSpy errors(&sink, &ErrorSink::srtError);
    SrtTestListener listener;
    QVERIFY2(listener.start(), qPrintable(listener.errorText()));
    sender->setEncoderWaitMs(connects ? kLongEncoderWaitMs : 300);
    QVERIFY(startRun(listener.port()));
    const int port = sender->listenPort;
    if (connects) {
        QTcpSocket encoder;
        QVERIFY(connectEncoder(encoder, port));
        QVERIFY(writeAll(encoder, QByteArray(2 * 1316, 'e')));
        QVERIFY(testkit::waitUntil([&] { return listener.bytesReceived() == 2 * 1316; }, kWaitMs));
        encoder.disconnectFromHost();
    }
    QVERIFY(errors.wait(kWaitMs));
    QVERIFY(logText(*logs).contains(line));
    // The run ends by itself; a late encoder finds no listener.
    QVERIFY(sender->wait(kWaitMs));
    QTcpSocket late;
    late.connectToHost(QHostAddress(QHostAddress::LocalHost), static_cast<quint16>(port));
    QVERIFY(!late.waitForConnected(1000));
    QCOMPARE(errors.count(), 1);
}

void TestRESender::stopDuringEncoderWaitEndsRun() {
    SrtTestListener listener;
    QVERIFY2(listener.start(), qPrintable(listener.errorText()));
    sender->setEncoderWaitMs(kLongEncoderWaitMs);
    QVERIFY(startRun(listener.port()));
    QVERIFY(logHas(*logs, "CONNECT: SUCCESS"));

    QElapsedTimer timer;
    timer.start();
    sender->stopRetransmit();
    QVERIFY(timer.elapsed() < 1000);
    QVERIFY(sender->wait(kWaitMs));
    QVERIFY(!logText(*logs).contains("TIMEOUT"));
    // The server sees its caller go.
    QVERIFY(testkit::waitUntil([&] { return listener.callers().first().closed; }, kWaitMs));
}

void TestRESender::stopDuringConnectEndsRun_data() {
    QTest::addColumn<bool>("withBackup");
    QTest::newRow("one server") << false;
    QTest::newRow("with a backup") << true;
}

void TestRESender::stopDuringConnectEndsRun() {
    QFETCH(bool, withBackup);
    // Nobody answers there, so the library would go on trying for its whole connect timeout (3 s).
    if (withBackup)
        sender->setBackupServer(QStringLiteral("127.0.0.1"), QString(), testkit::freePort(true));
    QVERIFY(startRun(testkit::freePort(true)));
    QVERIFY(logHas(*logs, "Connect to SRT "));
    QTest::qWait(200);
    QElapsedTimer timer;
    timer.start();
    sender->stopRetransmit();
    QVERIFY(sender->wait(1000));
    QVERIFY2(timer.elapsed() < 1000, qPrintable(QString::number(timer.elapsed())));
    // A connect that the Stop ended is no failure to report.
    QVERIFY(!logText(*logs).contains("CONNECT FAILED"));
    QVERIFY(!logText(*logs).contains("CONNECT: SUCCESS"));
}

void TestRESender::restartDuringEncoderWaitPublishesNewPort() {
    SrtTestListener listener;
    QVERIFY2(listener.start(), qPrintable(listener.errorText()));
    sender->setEncoderWaitMs(kLongEncoderWaitMs);

    // Stop then Start again, as the main window does on a reconnect, and a Start without a Stop.
    for (const bool stopFirst : {true, false}) {
        // The run must have connected before it is replaced, or its late connection would be counted as the
        // next run's (the log still holds the previous round's success line).
        const int callersAtStart = listener.callerCount();
        QVERIFY(startRun(listener.port()));
        const int previousPort = sender->listenPort;
        QVERIFY(testkit::waitUntil([&] { return listener.callerCount() == callersAtStart + 1; }, kWaitMs));
        if (stopFirst)
            sender->stopRetransmit();
        QElapsedTimer timer;
        timer.start();
        const int callersBefore = listener.callerCount();
        QVERIFY(startRun(listener.port()));
        QVERIFY2(timer.elapsed() < kLongEncoderWaitMs / 4, "the previous run was not ended early");
        QVERIFY(sender->listenPort != previousPort);
        QVERIFY(testkit::waitUntil([&] { return listener.callerCount() == callersBefore + 1; }, kWaitMs));

        // The new port belongs to a run that relays.
        QTcpSocket encoder;
        QVERIFY(connectEncoder(encoder, sender->listenPort));
        const qint64 before = listener.bytesReceived();
        QVERIFY(writeAll(encoder, QByteArray(3000, 'r')));
        QVERIFY(testkit::waitUntil([&] { return listener.bytesReceived() == before + 3000; }, kWaitMs));
        QCOMPARE(listener.callers().last().messageSizes, (QList<int>{1316, 1316, 368}));
        sender->stopRetransmit();
        QVERIFY(sender->wait(kWaitMs));
    }
}

void TestRESender::listenerThatCannotOpen() {
    SrtTestListener listener;
    QVERIFY2(listener.start(), qPrintable(listener.errorText()));
    QTcpServer occupier;
    QVERIFY(occupier.listen(QHostAddress(QHostAddress::LocalHost), 0));
    sender->setRequestedListenPort(occupier.serverPort());

    sender->startRetransmit(QStringLiteral("127.0.0.1"), QString(), listener.port(), QStringLiteral("cam1"), 120,
                            QString(), 16, false);
    QVERIFY(testkit::waitUntil([&] { return sender->listenPort == -1; }, kWaitMs));
    QVERIFY(logHas(*logs, "RESender LISTEN FAILED: "));
    QVERIFY(sender->wait(kWaitMs));
    QCOMPARE(listener.callerCount(), 0);

    // The next Start with a free port works again.
    sender->setRequestedListenPort(0);
    QVERIFY(startRun(listener.port()));
    QVERIFY(testkit::waitUntil([&] { return listener.callerCount() == 1; }, kWaitMs));
}

QTEST_MAIN(TestRESender)
#include "tst_resender.moc"
