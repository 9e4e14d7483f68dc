// RESenderRist on loopback: an encoder stand-in writes into the relay's listener, ristreceiver receives.
#include "logsdlg.h"
#include "resenderrist.h"
#include "risttestreceiver.h"
#include "testkit.h"
#include "tscontinuity.h"

#include <QtTest>

#include <QTcpSocket>

#include <atomic>
#include <memory>

namespace {

constexpr int kWaitMs = 10000;
constexpr int kLongEncoderWaitMs = 60000;
const char kSecret[] = "s3cr&t=#value";

QtMessageHandler previousHandler = nullptr;
// The next run is held this long at its first diagnostic line, before its listener opens.
std::atomic<int> holdRunStartMs{0};

void holdRunStart(QtMsgType type, const QMessageLogContext &context, const QString &message) {
    if (message.startsWith(QLatin1String("===RESenderRist"))) {
        const int hold = holdRunStartMs.exchange(0);
        if (hold > 0)
            QThread::msleep(ulong(hold));
    }
    previousHandler(type, context, message);
}

class ErrorSink : public QObject {
    Q_OBJECT
public:
    explicit ErrorSink(RESenderRist *sender) { connect(sender, &RESenderRist::srtError, this, &ErrorSink::srtError); }
signals:
    void srtError();
};

// Writes like a live encoder (uneven sizes, paced) until done or the deadline.
bool writePaced(QTcpSocket &encoder, const QByteArray &data) {
    constexpr int kWriteSize = 23 * 1024 + 7;
    for (int offset = 0; offset < data.size(); offset += kWriteSize) {
        encoder.write(data.mid(offset, kWriteSize));
        QElapsedTimer timer;
        timer.start();
        while (encoder.bytesToWrite() > 0 && timer.elapsed() < kWaitMs)
            encoder.waitForBytesWritten(100);
        if (encoder.bytesToWrite() > 0)
            return false;
        QTest::qWait(5);
    }
    return true;
}

} // namespace

class TestRESenderRist : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void forwardsToRistReceiver_data();
    void forwardsToRistReceiver();
    void peersForEveryPathAndServer();
    void tickAndUntickWhileRunning();
    void valuesForTheNextRunWaitForThePreviousRun();
    void unusablePathIsRefused();
    void lastPeerTimeoutRaisesError();
    void stopDuringEncoderWaitEndsRun();
    void restartBeforeListenerPublishesNewPort();

private:
    bool startRun(const QString &servers, const QString &bondings, const QString &secret = QString());

    std::unique_ptr<LogsDlg> logs;
    std::unique_ptr<RESenderRist> sender;
    std::unique_ptr<testkit::MessageCapture> diagnostics;
};

void TestRESenderRist::initTestCase() {
    if (!testkit::haveProgram(QStringLiteral("ristreceiver")))
        QSKIP("ristreceiver (rist-tools) is needed");
    previousHandler = qInstallMessageHandler(holdRunStart);
}

void TestRESenderRist::init() {
    // A capture left by a failed test goes first: two at once would pass each message to each other.
    diagnostics.reset();
    diagnostics = std::make_unique<testkit::MessageCapture>();
    logs = std::make_unique<LogsDlg>();
    sender = std::make_unique<RESenderRist>(logs.get());
}

void TestRESenderRist::cleanup() {
    sender->stopRetransmit();
    QVERIFY(sender->wait(kWaitMs));
    // Nothing of any secret reaches the log window or the diagnostic stream.
    const QString everything = testkit::logText(*logs) + diagnostics->messages().join('\n');
    diagnostics.reset();
    QVERIFY2(!everything.contains(QLatin1String(kSecret)), "the secret was logged");
    QVERIFY(!everything.contains(QLatin1String("pw-of-bob")));
    sender.reset();
    logs.reset();
}

bool TestRESenderRist::startRun(const QString &servers, const QString &bondings, const QString &secret) {
    sender->setRistParams(500, 10, 0, 25);
    sender->setBondings(bondings);
    sender->startRetransmit(servers, QString(), QStringLiteral("cam1"), secret);
    return testkit::waitUntil([&] { return sender->listenPort != 0; }, kWaitMs) && sender->listenPort > 0;
}

void TestRESenderRist::forwardsToRistReceiver_data() {
    QTest::addColumn<QString>("senderSecret");
    QTest::addColumn<QString>("receiverSecret");
    QTest::addColumn<bool>("arrives");
    testkit::row("plain", "", "", true);
    QTest::newRow("same secret") << kSecret << kSecret << true;
    QTest::newRow("other secret") << kSecret << "another-secret" << false;
}

void TestRESenderRist::forwardsToRistReceiver() {
    QFETCH(QString, senderSecret);
    QFETCH(QString, receiverSecret);
    QFETCH(bool, arrives);
    if (!testkit::haveProgram(QStringLiteral("ffmpeg")))
        QSKIP("ffmpeg is needed");
    QTemporaryDir dir;
    QVERIFY(testkit::makeTransportStream(dir.filePath("in.ts"), 3.0, QStringLiteral("320x180"), 1000));
    const QByteArray stream = testkit::readFile(dir.filePath("in.ts"));

    RistTestReceiver receiver;
    QVERIFY2(receiver.start(receiverSecret), qPrintable(receiver.output()));
    QVERIFY(startRun(QStringLiteral("rist://127.0.0.1:%1").arg(receiver.port()), QStringLiteral("127.0.0.1(1)"),
                     senderSecret));
    QVERIFY(testkit::logShows(*logs, "CONNECT: SUCCESS"));
    QTcpSocket encoder;
    QVERIFY(testkit::connectEncoder(encoder, sender->listenPort));
    QVERIFY(writePaced(encoder, stream));
    if (arrives) {
        // The null packets the relay leads with may arrive too; the stream follows them unchanged.
        QByteArray got;
        int lead = 0;
        QVERIFY2(testkit::waitUntil(
                     [&] {
                         got = receiver.data();
                         lead = 0;
                         while (lead + 188 <= got.size() && got.at(lead + 1) == char(0x1f) &&
                                got.at(lead + 2) == char(0xff))
                             lead += 188;
                         return got.size() >= lead + stream.size();
                     },
                     kWaitMs),
                 qPrintable(QStringLiteral("%1 of %2 bytes").arg(got.size() - lead).arg(stream.size())));
        QVERIFY(lead <= 5 * RESenderRist::kChunkSize);
        QVERIFY(got.mid(lead) == stream);
    } else {
        // A receiver with another secret decrypts noise: no transport stream packet starts where one should.
        QTest::qWait(1500);
        QVERIFY(TsContinuity::syncShare(receiver.data()) < 0.05);
    }
}

void TestRESenderRist::peersForEveryPathAndServer() {
    // Nobody needs to listen: peers exist as soon as librist accepts them.
    QVERIFY(startRun(QStringLiteral("127.0.0.1:7001,rist://127.0.0.1:7002?username=bob&password=pw-of-bob"),
                     QStringLiteral("127.0.0.1(2),127.0.0.1(0)"), QLatin1String(kSecret)));
    QVERIFY(testkit::logShows(*logs, "CONNECT: SUCCESS"));
    const QString first =
        QStringLiteral("rist://127.0.0.1:7001?cname=cam1&secret=s3cr%26t%3D%23value&aes-type=128&rtt-max=500"
                       "&min-retries=1&max-retries=10&reorder-buffer=25");
    const QString second =
        QStringLiteral("rist://127.0.0.1:7002?cname=cam1&secret=s3cr%26t%3D%23value&aes-type=128&rtt-max=500"
                       "&min-retries=1&max-retries=10&reorder-buffer=25"
                       "&username=bob&password=pw-of-bob");
    QCOMPARE(sender->peerUrls(),
             (QStringList{first + "&miface=127.0.0.1&weight=2", second + "&miface=127.0.0.1&weight=2",
                          first + "&miface=127.0.0.1&weight=0", second + "&miface=127.0.0.1&weight=0"}));
    QVERIFY(testkit::logText(*logs).contains(
        QStringLiteral("Connect to RIST: rist://127.0.0.1:7001?cname=cam1&secret=***")));
    QVERIFY(testkit::logText(*logs).contains(QStringLiteral("&username=***&password=***")));
}

void TestRESenderRist::tickAndUntickWhileRunning() {
    ErrorSink errors(sender.get());
    QSignalSpy spy(&errors, &ErrorSink::srtError);
    QVERIFY(startRun(QStringLiteral("127.0.0.1:7001,127.0.0.1:7002"), QStringLiteral("127.0.0.1(1)")));
    QVERIFY(testkit::logShows(*logs, "CONNECT: SUCCESS"));
    QCOMPARE(sender->peerUrls().size(), 2);
    sender->destroyPeers(QStringLiteral("127.0.0.1"));
    QCOMPARE(sender->peerUrls().size(), 0);
    // The last path gone is the stream gone: nothing would be sent, and no peer is left to fall silent.
    QCOMPARE(spy.count(), 1);
    QCOMPARE(sender->phase(), RelayThread::Phase::NoPath);
    QVERIFY(testkit::logText(*logs).contains("*** RIST NO PATH LEFT.  STOP."));
    // Ticked again: one peer per server on that path, with the weight chosen now.
    QVERIFY(sender->createPeer(QString(), QStringLiteral("127.0.0.1"), 3));
    const QStringList urls = sender->peerUrls();
    QCOMPARE(urls.size(), 2);
    QVERIFY(urls[0].startsWith("rist://127.0.0.1:7001") && urls[0].endsWith("&weight=3"));
    QVERIFY(urls[1].startsWith("rist://127.0.0.1:7002") && urls[1].endsWith("&weight=3"));
    // After the run no sender is left to add to.
    sender->stopRetransmit();
    QVERIFY(sender->wait(kWaitMs));
    QVERIFY(!sender->createPeer(QString(), QStringLiteral("127.0.0.1"), 1));
    QVERIFY(sender->peerUrls().isEmpty());
}

void TestRESenderRist::valuesForTheNextRunWaitForThePreviousRun() {
    // The first run is held before it reads its values; the next run's, given meanwhile, must not reach it.
    holdRunStartMs.store(300);
    QVERIFY(startRun(QStringLiteral("127.0.0.1:7001"), QStringLiteral("127.0.0.1(1)")));
    sender->setRistParams(700, 0, 0, 0);
    sender->setBondings(QStringLiteral("127.0.0.1(4)"));
    QVERIFY(testkit::logShows(*logs, "CONNECT: SUCCESS"));
    QCOMPARE(sender->peerUrls().size(), 1);
    QVERIFY(sender->peerUrls().first().contains("&rtt-max=500&min-retries=1&max-retries=10&reorder-buffer=25"));
    QVERIFY(sender->peerUrls().first().endsWith("&weight=1"));
    // The next Start hands them over once the running run has ended.
    sender->startRetransmit(QStringLiteral("127.0.0.1:7001"), QString(), QStringLiteral("cam1"), QString());
    QVERIFY(testkit::waitUntil([&] { return sender->peerUrls().size() == 1; }, kWaitMs));
    QCOMPARE(sender->peerUrls().first(), QStringLiteral("rist://127.0.0.1:7001?cname=cam1&rtt-max=700"
                                                        "&miface=127.0.0.1&weight=4"));
}

void TestRESenderRist::unusablePathIsRefused() {
    // 203.0.113.77 (a documentation address) is on no interface here: its peer is not created over the default route.
    ErrorSink errors(sender.get());
    QSignalSpy spy(&errors, &ErrorSink::srtError);
    QVERIFY(startRun(QStringLiteral("127.0.0.1:7001"), QStringLiteral("203.0.113.77(1)")));
    QVERIFY(testkit::logShows(*logs, "RIST PATH REFUSED: no local interface holds 203.0.113.77"));
    QVERIFY(testkit::logShows(*logs, "CONNECT FAILED"));
    QVERIFY(sender->peerUrls().isEmpty());
    QTcpSocket encoder;
    QVERIFY(testkit::connectEncoder(encoder, sender->listenPort));
    // Every write fails without a sender; the sixth failed chunk gives up, once.
    for (int i = 0; i < 8; ++i) {
        encoder.write(QByteArray(RESenderRist::kChunkSize, 'x'));
        QTest::qWait(30);
    }
    QVERIFY(testkit::waitUntil([&] { return spy.count() > 0; }, kWaitMs));
    QTest::qWait(200);
    QCOMPARE(spy.count(), 1);
    QVERIFY(testkit::logText(*logs).contains("*** RIST PACKET SEND ERROR (5 times).  STOP."));
}

void TestRESenderRist::lastPeerTimeoutRaisesError() {
    ErrorSink errors(sender.get());
    QSignalSpy spy(&errors, &ErrorSink::srtError);
    auto receiver = std::make_unique<RistTestReceiver>();
    QVERIFY(receiver->start());
    QVERIFY(startRun(QStringLiteral("127.0.0.1:%1").arg(receiver->port()), QStringLiteral("127.0.0.1(1)")));
    QTcpSocket encoder;
    QVERIFY(testkit::connectEncoder(encoder, sender->listenPort));
    // A live encoder keeps writing; librist notices a silent receiver while it sends.
    QTimer feed;
    connect(&feed, &QTimer::timeout, [&] { encoder.write(QByteArray(10 * RESenderRist::kChunkSize, 'x')); });
    feed.start(20);
    QVERIFY(testkit::waitUntil([&] { return !receiver->data().isEmpty(); }, kWaitMs));
    receiver.reset();
    // librist's session time-out is 2 s; the last peer gone is the stream gone.
    QVERIFY(spy.wait(kWaitMs));
    QTest::qWait(300);
    QCOMPARE(spy.count(), 1);
}

void TestRESenderRist::stopDuringEncoderWaitEndsRun() {
    sender->setEncoderWaitMs(kLongEncoderWaitMs);
    QVERIFY(startRun(QStringLiteral("127.0.0.1:7001"), QStringLiteral("127.0.0.1(1)")));
    QVERIFY(testkit::logShows(*logs, "CONNECT: SUCCESS"));
    const int first = sender->listenPort;
    QElapsedTimer timer;
    timer.start();
    // A new Start ends the waiting run cooperatively and gets a listener of its own.
    QVERIFY(startRun(QStringLiteral("127.0.0.1:7001"), QStringLiteral("127.0.0.1(1)")));
    QVERIFY(sender->listenPort != first);
    sender->stopRetransmit();
    QVERIFY(sender->wait(kWaitMs));
    QVERIFY2(timer.elapsed() < 5000, qPrintable(QString::number(timer.elapsed())));
    QVERIFY(sender->peerUrls().isEmpty());
}

void TestRESenderRist::restartBeforeListenerPublishesNewPort() {
    // The second Start lands while the first run has not opened its listener yet: the port it publishes must be
    // the new run's, not the one the ending run opens on its way out.
    holdRunStartMs.store(300);
    sender->startRetransmit(QStringLiteral("127.0.0.1:7001"), QString(), QStringLiteral("cam1"), QString());
    sender->startRetransmit(QStringLiteral("127.0.0.1:7001"), QString(), QStringLiteral("cam1"), QString());
    int port = 0;
    QVERIFY(testkit::waitUntil([&] { return (port = sender->listenPort.load()) != 0; }, kWaitMs));
    QVERIFY(port > 0);
    QTcpSocket encoder;
    QVERIFY(testkit::connectEncoder(encoder, port));
    QVERIFY(testkit::logShows(*logs, "RESenderRist SUCCESS"));
}

QTEST_MAIN(TestRESenderRist)
#include "tst_resenderrist.moc"
