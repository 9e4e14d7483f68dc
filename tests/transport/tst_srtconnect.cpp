// connectSRT, setSRTOption and srtSendAll against a real libsrt listener on loopback.
#include "connectsrt.h"
#include "peerprocess.h"
#include "resolvehost.h"
#include "srtstreamid.h"
#include "srttestlistener.h"
#include "testkit.h"

#include <QtTest>

#include <srt/srt.h>

namespace {

constexpr int kWaitMs = 5000;

// The library hands out socket ids counting down, so the socket a failed connectSRT created is the one just
// below a probe socket made right before it.
int nextSocketId() {
    const int probe = srt_create_socket();
    srt_close(probe);
    return probe - 1;
}

// Set in the copy of this test that runs in a mount namespace of its own with a hosts file naming kIpv6OnlyName.
constexpr char kSwappedHosts[] = "TIDEWELL_TEST_SWAPPED_HOSTS";
constexpr char kIpv6OnlyName[] = "only6.tidewell.test";

// srt-live-transmit listening on [::1] and writing what it receives to a file.
bool startIpv6Receiver(PeerProcess &receiver, const QString &outputPath, quint16 *port) {
    *port = testkit::freePort(true);
    if (!receiver.start(QStringLiteral("sh"),
                        {QStringLiteral("-c"),
                         QStringLiteral("exec srt-live-transmit -q 'srt://[::1]:%1?mode=listener' file://con > '%2'")
                             .arg(*port)
                             .arg(outputPath)}))
        return false;
    const QByteArray wanted = QStringLiteral(":%1 ").arg(*port, 4, 16, QLatin1Char('0')).toUpper().toLatin1();
    return testkit::waitUntil([&] { return testkit::readFile("/proc/net/udp6").contains(wanted); }, kWaitMs);
}

bool socketStillOpen(int id) {
    const SRT_SOCKSTATUS state = srt_getsockstate(id);
    return state == SRTS_INIT || state == SRTS_OPENED;
}

} // namespace

class TestSrtConnect : public QObject {
    Q_OBJECT

private slots:
    void initTestCase() { srt_startup(); }
    void cleanupTestCase() { srt_cleanup(); }

    void failuresLeaveNoSocket_data();
    void failuresLeaveNoSocket();
    void streamIdReachesServer_data();
    void streamIdReachesServer();
    void streamIdLimit_data();
    void streamIdLimit();
    void passphrase_data();
    void passphrase();
    void sendAll();
    void ipv6_data();
    void ipv6();
    void ipv6OnlyName();
};

void TestSrtConnect::failuresLeaveNoSocket_data() {
    QTest::addColumn<QString>("host");
    QTest::addColumn<QString>("interfaceAddress");
    QTest::addColumn<QString>("streamId");
    QTest::addColumn<bool>("listening");
    QTest::addColumn<QString>("expected");

    testkit::row("empty host", "", "", "cam", false, "init_pton FAILED");
    testkit::row("unresolved name", "localhost", "", "cam", false, "init_pton FAILED");
    // Brackets belong to the server text, not to the address handed over.
    testkit::row("bracketed IPv6 host", "[::1]", "", "cam", false, "init_pton FAILED");
    testkit::row("interface not an address", "127.0.0.1", "eth0", "cam", false, "bind InternetInterface FAILED");
    // The library takes stream ids up to 512 bytes.
    testkit::row("stream id too long", "127.0.0.1", "", QString(513, 'x'), true, "set streamid FAILED");
    testkit::row("nobody listening", "127.0.0.1", "", "cam", false, "SRT CONNECT FAILED");
}

void TestSrtConnect::failuresLeaveNoSocket() {
    QFETCH(QString, host);
    QFETCH(QString, interfaceAddress);
    QFETCH(QString, streamId);
    QFETCH(bool, listening);
    QFETCH(QString, expected);

    SrtTestListener listener;
    quint16 port = testkit::freePort(true);
    if (listening) {
        QVERIFY2(listener.start(), qPrintable(listener.errorText()));
        port = listener.port();
    }
    const int created = nextSocketId();
    int socket = 12345;
    QCOMPARE(connectSRT(socket, host, interfaceAddress, port, streamId, 120, QString(), 16, false), expected);
    QCOMPARE(socket, -1);
    QVERIFY2(!socketStillOpen(created), "the socket of a failed connection was left open");
    QCOMPARE(listener.callerCount(), 0);
}

void TestSrtConnect::streamIdReachesServer_data() {
    QTest::addColumn<QString>("streamId");
    QTest::addColumn<bool>("lossless");
    QTest::addColumn<QString>("interfaceAddress");
    QTest::addColumn<QString>("received");
    QTest::addColumn<int>("mss");

    // A 1316-byte live message does not fit MSS 1052 (1008 bytes of payload), so live keeps the default 1500.
    testkit::row("live", "studio/cam1", false, "", "studio/cam1", 1500);
    testkit::row("live, empty", "", false, "", "", 1500);
    testkit::row("live, long", QString(500, 'a'), false, "", QString(500, 'a'), 1500);
    testkit::row("lossless", "studio/cam1", true, "", "studio/cam1#lossless", 1052);
    testkit::row("lossless, empty", "", true, "", "#lossless", 1052);
    testkit::row("bound to loopback", "bound", false, "127.0.0.1", "bound", 1500);
    testkit::row("bound to all interfaces", "bound", false, "0.0.0.0", "bound", 1500);
    // A documentation address on no local interface: the bind fails and the connection goes out unbound.
    testkit::row("foreign address", "bound", false, "192.0.2.1", "bound", 1500);
    // The library takes an MSS only before the bind: a bound loss-less caller must still get its 1052.
    testkit::row("lossless, bound", "bound", true, "127.0.0.1", "bound#lossless", 1052);
}

void TestSrtConnect::streamIdReachesServer() {
    QFETCH(QString, streamId);
    QFETCH(bool, lossless);
    QFETCH(QString, interfaceAddress);
    QFETCH(QString, received);
    QFETCH(int, mss);

    if (!lossless)
        QTest::ignoreMessage(QtDebugMsg, QRegularExpression(QStringLiteral("^-- failed to set option .*SRTO_MSS.*")));
    SrtTestListener::Options options;
    options.fileMode = lossless;
    SrtTestListener listener(options);
    QVERIFY2(listener.start(), qPrintable(listener.errorText()));

    int socket = -1;
    QCOMPARE(connectSRT(socket, "127.0.0.1", interfaceAddress, listener.port(), streamId, 200, QString(), 16, lossless),
             QString());
    QVERIFY(socket != -1);
    int actual = 0;
    int length = sizeof(actual);
    QCOMPARE(srt_getsockflag(socket, SRTO_MSS, &actual, &length), 0);
    QCOMPARE(actual, mss);
    QVERIFY(testkit::waitUntil([&] { return listener.callerCount() == 1; }, kWaitMs));
    QCOMPARE(listener.callers().first().streamId, received);
    srt_close(socket);
}

void TestSrtConnect::streamIdLimit_data() {
    QTest::addColumn<QString>("streamId");
    QTest::addColumn<bool>("lossless");
    QTest::addColumn<bool>("fits");
    const int limit = kSrtHandshakeStreamIdBytes;
    const QString lossless = QStringLiteral("#lossless");
    const QString twoBytes = QString::fromUtf8("\u00e9");
    const QString fourBytes = QString::fromUtf8("\U0001F3A5");
    QTest::newRow("at the limit") << QString(limit, 'a') << false << true;
    QTest::newRow("one byte over") << QString(limit + 1, 'a') << false << false;
    QTest::newRow("SRT's own limit") << QString(kSrtMaxStreamIdBytes, 'a') << false << false;
    QTest::newRow("700 characters") << QString(700, 'a') << false << false;
    // The suffix counts: connectSRT appends it before the library sees the id.
    QTest::newRow("lossless at the limit") << QString(limit - lossless.size(), 'a') << true << true;
    QTest::newRow("lossless one byte over") << QString(limit - lossless.size() + 1, 'a') << true << false;
    // The limit is in bytes of UTF-8, not in characters.
    QTest::newRow("two-byte characters at the limit") << twoBytes.repeated(limit / 2) + 'a' << false << true;
    QTest::newRow("two-byte characters over") << twoBytes.repeated(limit / 2 + 1) << false << false;
    QTest::newRow("four-byte characters") << fourBytes.repeated(limit / 4) << false << true;
    QTest::newRow("four-byte characters over") << fourBytes.repeated(limit / 4 + 1) << false << false;
}

void TestSrtConnect::streamIdLimit() {
    QFETCH(QString, streamId);
    QFETCH(bool, lossless);
    QFETCH(bool, fits);
    const QString onWire = lossless ? streamId + QStringLiteral("#lossless") : streamId;
    QCOMPARE(srtStreamIdFits(onWire), fits);
    // At MSS 1052 (loss-less) the library draws the line at the same byte (checked with plain ASCII, which
    // every locale encodes alike); live connections keep the larger default MSS and take more.
    bool ascii = true;
    for (const QChar c : streamId)
        ascii = ascii && c.unicode() < 0x80;
    if (!ascii || !lossless)
        return;
    SrtTestListener::Options options;
    options.fileMode = lossless;
    SrtTestListener listener(options);
    QVERIFY2(listener.start(), qPrintable(listener.errorText()));
    int socket = -1;
    const QString result =
        connectSRT(socket, "127.0.0.1", QString(), listener.port(), streamId, 200, QString(), 16, lossless);
    if (socket != -1)
        srt_close(socket);
    QCOMPARE(result.isEmpty(), fits);
    if (fits) {
        QVERIFY(testkit::waitUntil([&] { return listener.callerCount() == 1; }, kWaitMs));
        QCOMPARE(listener.callers().first().streamId, onWire);
    }
}

void TestSrtConnect::passphrase_data() {
    QTest::addColumn<QString>("listenerPassphrase");
    QTest::addColumn<QString>("callerPassphrase");
    QTest::addColumn<bool>("connects");
    QTest::addColumn<bool>("secured");

    testkit::row("same, key 32", "harbour lights 42", "harbour lights 42", true, true);
    testkit::row("shortest accepted", "0123456789", "0123456789", true, true);
    testkit::row("another passphrase", "harbour lights 42", "harbour lights 43", false, false);
    testkit::row("none offered", "harbour lights 42", "", false, false);
    // Nine characters are refused by the library: the refusal is only logged and the caller goes out clear.
    testkit::row("too short, unencrypted", "", "012345678", true, false);
}

void TestSrtConnect::passphrase() {
    QFETCH(QString, listenerPassphrase);
    QFETCH(QString, callerPassphrase);
    QFETCH(bool, connects);
    QFETCH(bool, secured);

    constexpr int keyLength = 32;
    SrtTestListener::Options options;
    options.passphrase = listenerPassphrase;
    options.keyLength = keyLength;
    SrtTestListener listener(options);
    QVERIFY2(listener.start(), qPrintable(listener.errorText()));

    int socket = -1;
    const QString result =
        connectSRT(socket, "127.0.0.1", QString(), listener.port(), "secret", 120, callerPassphrase, keyLength, false);
    if (!connects) {
        QCOMPARE(result, QStringLiteral("SRT CONNECT FAILED"));
        QCOMPARE(socket, -1);
        return;
    }
    QCOMPARE(result, QString());
    const QByteArray message(1316, 'k');
    QCOMPARE(srtSendAll(socket, message.constData(), message.size()), message.size());
    QVERIFY(testkit::waitUntil([&] { return listener.bytesReceived() == message.size(); }, kWaitMs));
    const SrtTestListener::Caller caller = listener.callers().first();
    QCOMPARE(caller.secured, secured);
    if (secured)
        QCOMPARE(caller.keyLength, keyLength);
    QCOMPARE(caller.data, message);
    srt_close(socket);
}

void TestSrtConnect::sendAll() {
    SrtTestListener listener;
    QVERIFY2(listener.start(), qPrintable(listener.errorText()));
    int socket = -1;
    QCOMPARE(connectSRT(socket, "127.0.0.1", QString(), listener.port(), "send", 120, QString(), 16, false), QString());

    const QByteArray chunk(1316, 's');
    QCOMPARE(srtSendAll(socket, chunk.constData(), chunk.size()), 1316);
    QCOMPARE(srtSendAll(socket, chunk.constData(), 0), 0);
    QVERIFY(testkit::waitUntil([&] { return listener.bytesReceived() == 1316; }, kWaitMs));
    QCOMPARE(listener.callers().first().messageSizes, QList<int>{1316});

    srt_close(socket);
    QCOMPARE(srtSendAll(socket, chunk.constData(), chunk.size()), -1);
    QCOMPARE(srtSendAll(-1, chunk.constData(), chunk.size()), -1);
}

void TestSrtConnect::ipv6_data() {
    QTest::addColumn<QString>("host");
    QTest::addColumn<QString>("interfaceAddress");
    testkit::row("literal", "::1", QString());
    testkit::row("long form", "0:0:0:0:0:0:0:1", QString());
    // "use default" binds to 0.0.0.0, which for an IPv6 server means "::".
    testkit::row("all interfaces", "::1", "0.0.0.0");
    testkit::row("bound to ::1", "::1", "::1");
    // An IPv4 interface cannot reach an IPv6 server: not bound, the connection goes out unbound.
    testkit::row("IPv4 interface", "::1", "127.0.0.1");
}

void TestSrtConnect::ipv6() {
    QFETCH(QString, host);
    QFETCH(QString, interfaceAddress);
    if (!testkit::haveProgram(QStringLiteral("srt-live-transmit")))
        QSKIP("srt-live-transmit is needed");
    if (qEnvironmentVariableIsSet(kSwappedHosts))
        host = resolveHost(QLatin1String(kIpv6OnlyName), true);
    QTemporaryDir dir;
    const QString output = dir.filePath(QStringLiteral("received.bin"));
    PeerProcess receiver;
    quint16 port = 0;
    QVERIFY2(startIpv6Receiver(receiver, output, &port), qPrintable(receiver.output()));

    int socket = -1;
    QCOMPARE(connectSRT(socket, host, interfaceAddress, port, "six", 120, QString(), 16, false), QString());
    // The IPv6 headers leave even less of MSS 1052 for a live message.
    int mss = 0;
    int length = sizeof(mss);
    QCOMPARE(srt_getsockflag(socket, SRTO_MSS, &mss, &length), 0);
    QCOMPARE(mss, 1500);
    const QByteArray chunk(1316, '6');
    for (int i = 0; i < 3; ++i)
        QCOMPARE(srtSendAll(socket, chunk.constData(), chunk.size()), chunk.size());
    // The peer writes its file out when it ends; ending it before the messages arrive would lose them.
    QTest::qWait(300);
    srt_close(socket);
    receiver.stop();
    QCOMPARE(QFileInfo(output).size(), qint64(3 * chunk.size()));
}

// A name with only an IPv6 address: this test runs itself again in a private mount namespace whose /etc/hosts
// names kIpv6OnlyName as ::1 and nothing else, so the machine's own resolver setup stays untouched.
void TestSrtConnect::ipv6OnlyName() {
    if (qEnvironmentVariableIsSet(kSwappedHosts))
        QSKIP("runs in the parent only");
    if (!testkit::haveProgram(QStringLiteral("unshare")) || !testkit::haveProgram(QStringLiteral("srt-live-transmit")))
        QSKIP("unshare and srt-live-transmit are needed");
    QTemporaryDir dir;
    const QString hosts = dir.filePath(QStringLiteral("hosts"));
    QVERIFY(testkit::writeFile(hosts, QByteArray("::1 ") + kIpv6OnlyName + "\n"));
    qputenv(kSwappedHosts, "1");
    QByteArray output;
    const int code =
        testkit::runProgram(QStringLiteral("unshare"),
                            {QStringLiteral("-m"), QStringLiteral("sh"), QStringLiteral("-c"),
                             QStringLiteral("mount --bind \"$1\" /etc/hosts || exit 77; exec \"$2\" ipv6:literal"),
                             QStringLiteral("sh"), hosts, QCoreApplication::applicationFilePath()},
                            30000, &output);
    qunsetenv(kSwappedHosts);
    if (code == 77 || (code != 0 && output.contains("unshare:")))
        QSKIP("no private mount namespace here");
    QVERIFY2(code == 0, output.constData());
    QVERIFY2(output.contains("PASS   : TestSrtConnect::ipv6(literal)"), output.constData());
}

QTEST_GUILESS_MAIN(TestSrtConnect)
#include "tst_srtconnect.moc"
