#include "networkclock.h"
#include "networkclocksync.h"
#include "ntpclient.h"
#include "sntptestserver.h"

#include <QtTest>

#include <chrono>

namespace {
constexpr int kShortTimeoutMs = 400;

// One exchange cannot tell its offset closer than half its round trip: a reply read late by a busy machine shifts
// it by up to that much.
bool offsetWithinHalfTheRoundTrip(const NTP_client::Result &result, int expectedMs) {
    return qAbs(result.offset / 1e6 - expectedMs) < 2.0 + result.delay / 2e6;
}

// One exchange with the server by a client of its own.
int ask(const SntpTestServer &server, int timeoutMs, std::unique_ptr<NTP_client::Result> *result) {
    return int(NTP_client::Client(timeoutMs).query(server.address().toLatin1().constData(), *result));
}

int64_t systemNowNs() {
    using namespace std::chrono;
    return duration_cast<nanoseconds>(system_clock::now().time_since_epoch()).count();
}
} // namespace

class TestNetworkClock : public QObject {
    Q_OBJECT

private slots:
    // Runs first: no synchronisation has happened in this process yet.
    void unsynchronisedClockIsSystemUtc() {
        QVERIFY(!networkClockSynchronised());
        const qint64 difference =
            qAbs(networkClockNow().toMSecsSinceEpoch() - QDateTime::currentDateTimeUtc().toMSecsSinceEpoch());
        QVERIFY(difference < 50);
        QCOMPARE(networkClockNow().timeSpec(), Qt::UTC);
    }

    void timestamps_data() {
        QTest::addColumn<quint32>("seconds");
        QTest::addColumn<quint32>("fraction");
        QTest::addColumn<double>("unixSeconds");
        QTest::newRow("2024-01-01") << 3913056000u << 0u << 1704067200.0;
        QTest::newRow("fraction all ones is one second") << 3913056000u << 0xFFFFFFFFu << 1704067201.0;
        QTest::newRow("half second") << 3913056000u << 0x80000000u << 1704067200.5;
    }
    void timestamps() {
        QFETCH(quint32, seconds);
        QFETCH(quint32, fraction);
        QFETCH(double, unixSeconds);
        const uint8_t p[8] = {uint8_t(seconds >> 24), uint8_t(seconds >> 16),  uint8_t(seconds >> 8),
                              uint8_t(seconds),       uint8_t(fraction >> 24), uint8_t(fraction >> 16),
                              uint8_t(fraction >> 8), uint8_t(fraction)};
        QCOMPARE(NTP_client::Client::timestampToUnixNs(p) / 1e9, unixSeconds);
    }

    void offsetAndDelay_data() {
        QTest::addColumn<int>("offsetMs");
        QTest::addColumn<int>("pathDelayMs");
        QTest::addColumn<int>("holdMs");
        QTest::newRow("no delay") << 0 << 0 << 0;
        QTest::newRow("ahead, 50 ms round trip") << 1500 << 25 << 0;
        QTest::newRow("behind, 50 ms held by the server") << -3000 << 0 << 50;
    }
    void offsetAndDelay() {
        QFETCH(int, offsetMs);
        QFETCH(int, pathDelayMs);
        QFETCH(int, holdMs);
        SntpTestServer server(SntpTestServer::Good, offsetMs, pathDelayMs, holdMs);
        NTP_client::Client client(kShortTimeoutMs * 5);
        // The exchange with the least delay is the least disturbed by the test server's own wake-up, as a client
        // of a real server would pick it too.
        std::unique_ptr<NTP_client::Result> result;
        double expected = 0.0; // the server's time when the best exchange ended
        for (int i = 0; i < 3; ++i) {
            std::unique_ptr<NTP_client::Result> sample;
            QCOMPARE(int(client.query(server.address().toLatin1().constData(), sample)), int(NTP_client::OK));
            const double serverNow = double(systemNowNs()) + offsetMs * 1e6;
            if (!result || sample->delay < result->delay) {
                result = std::move(sample);
                expected = serverNow;
            }
        }
        // Beyond the path's own delay, a reply read late by a busy machine shifts the offset by up to half the rest.
        const double excessMs = std::max(0.0, result->delay / 1e6 - 2 * pathDelayMs);
        QVERIFY2(qAbs(result->offset / 1e6 - offsetMs) < 2.0 + excessMs / 2,
                 qPrintable(QString::number(result->offset / 1e6)));
        QVERIFY2(qAbs(result->delay / 1e6 - 2 * pathDelayMs) < 5.0, qPrintable(QString::number(result->delay / 1e6)));
        QVERIFY(qAbs(double(result->time) - expected) / 1e6 < 5.0);
        QCOMPARE(result->delayPlusOffset, result->delay + result->offset);
    }

    // The client checks of RFC 4330: a reply that fails them is no answer, and the exchange waits on for one.
    void badRepliesAreDropped_data() {
        QTest::addColumn<int>("reply");
        QTest::addColumn<int>("status"); // with no good reply after it
        const int error = NTP_client::RX_MSG_ERR;
        QTest::newRow("no reply") << int(SntpTestServer::Silent) << int(NTP_client::RX_MSG_TIMEOUT);
        QTest::newRow("mode 3") << int(SntpTestServer::ClientMode) << error;
        QTest::newRow("40 bytes") << int(SntpTestServer::Short) << error;
        QTest::newRow("zero transmit time") << int(SntpTestServer::ZeroTransmit) << error;
        QTest::newRow("kiss-o'-death") << int(SntpTestServer::KissOfDeath) << error;
        QTest::newRow("unsynchronised") << int(SntpTestServer::Unsynchronised) << error;
        QTest::newRow("version 3") << int(SntpTestServer::OtherVersion) << error;
        QTest::newRow("originate not ours") << int(SntpTestServer::OtherOriginate) << error;
    }
    void badRepliesAreDropped() {
        QFETCH(int, reply);
        QFETCH(int, status);
        {
            std::unique_ptr<NTP_client::Result> result;
            QCOMPARE(ask(SntpTestServer{SntpTestServer::Reply(reply)}, kShortTimeoutMs, &result), status);
            QVERIFY(!result);
        }
        if (reply == SntpTestServer::Silent)
            return;
        // The bad reply tells a time an hour off; the good one after it is the one taken.
        std::unique_ptr<NTP_client::Result> result;
        QCOMPARE(ask(SntpTestServer(SntpTestServer::Reply(reply), 700, 0, 20, true), kShortTimeoutMs * 5, &result),
                 int(NTP_client::OK));
        QVERIFY2(offsetWithinHalfTheRoundTrip(*result, 700), qPrintable(QString::number(result->offset / 1e6)));
    }

    void forgedReplyFromAnotherPortIsIgnored() {
        std::unique_ptr<NTP_client::Result> result;
        QCOMPARE(ask(SntpTestServer(SntpTestServer::ForgedFirst, 700, 0, 20), kShortTimeoutMs * 5, &result),
                 int(NTP_client::OK));
        QVERIFY2(offsetWithinHalfTheRoundTrip(*result, 700), qPrintable(QString::number(result->offset / 1e6)));
    }

    void serverText_data() {
        QTest::addColumn<QString>("text");
        QTest::addColumn<bool>("accepted");
        QTest::newRow("address") << "127.0.0.1" << true;
        QTest::newRow("host and port") << "time.example:10123" << true;
        QTest::newRow("port 0") << "127.0.0.1:0" << false;
        QTest::newRow("port too large") << "127.0.0.1:65536" << false;
        QTest::newRow("port not a number") << "127.0.0.1:ntp" << false;
        QTest::newRow("no host") << ":123" << false;
        QTest::newRow("blank") << "  " << false;
    }
    void serverText() {
        QFETCH(QString, text);
        QFETCH(bool, accepted);
        QVERIFY(setNtpServer(QStringLiteral("127.0.0.1:9")));
        QCOMPARE(setNtpServer(text), accepted);
        QCOMPARE(ntpServerText(), accepted ? text : QStringLiteral("127.0.0.1:9"));
    }

    // A failed synchronisation leaves the clock as it was; a good one moves it by the server's offset, and the
    // window's thread stays free while the exchange runs.
    void syncOffTheCallingThread() {
        SntpTestServer silent(SntpTestServer::Silent);
        QVERIFY(setNtpServer(silent.address()));
        QCOMPARE(int(syncNetworkClock(kShortTimeoutMs)), int(NTP_client::RX_MSG_TIMEOUT));
        QVERIFY(!networkClockSynchronised());

        SntpTestServer server(SntpTestServer::Good, -90000, 10);
        QVERIFY(setNtpServer(server.address()));
        NetworkClockSync sync(nullptr, kShortTimeoutMs);
        QSignalSpy done(&sync, &NetworkClockSync::synchronised);
        sync.request();
        sync.request();
        QVERIFY(done.wait(2000));
        QCOMPARE(done.count(), 1);
        QCOMPARE(done.at(0).at(0).toInt(), int(NTP_client::OK));
        QVERIFY(networkClockSynchronised());
        const qint64 ahead =
            networkClockNow().toMSecsSinceEpoch() - QDateTime::currentDateTimeUtc().toMSecsSinceEpoch();
        QVERIFY2(qAbs(ahead + 90000) < 5, qPrintable(QString::number(ahead)));
    }

    void stopEndsAPendingExchange() {
        SntpTestServer silent(SntpTestServer::Silent);
        QVERIFY(setNtpServer(silent.address()));
        QElapsedTimer elapsed;
        elapsed.start();
        {
            NetworkClockSync sync(nullptr, 5000);
            sync.request();
            QTest::qWait(50);
        }
        QVERIFY(elapsed.elapsed() < 1000);
    }
};

QTEST_GUILESS_MAIN(TestNetworkClock)
#include "tst_networkclock.moc"
