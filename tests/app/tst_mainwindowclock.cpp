// The timecode switch and the network clock as the operator meets them: the strip goes on once the time server
// has answered, the window keeps working meanwhile, and the server comes from the settings store.
#include "appmessages.h"
#include "capturestreamer.h"
#include "mainwindow.h"
#include "networkclock.h"
#include "sntptestserver.h"
#include "testkit.h"
#include "windowtestmain.h"

namespace {
void storeSettings(const QMap<QString, QVariant> &values) {
    QSettings store(QStringLiteral("Brackmoor"), QStringLiteral("Tidewell"));
    store.clear();
    for (auto it = values.cbegin(); it != values.cend(); ++it)
        store.setValue(it.key(), it.value());
}
} // namespace

class TestMainWindowClock : public QObject {
    Q_OBJECT

private slots:
    void unusableServerFallsBackToDefault() {
        storeSettings({{"NTP_SERVER", "127.0.0.1:notaport"}, {"VITC", false}});
        MainWindow window;
        QCOMPARE(ntpServerText(), QStringLiteral("pool.ntp.org"));
        QVERIFY(!window.captureThread()->timecodeEnabled());
    }

    void tickedAtStartUpSynchronisesFirst() {
        SntpTestServer server(SntpTestServer::Good, 5000, 0, 300);
        storeSettings({{"NTP_SERVER", server.address()}, {"VITC", true}});
        MainWindow window;
        QVERIFY(windowtest::control<QCheckBox>(window, "chkVITC")->isChecked());
        QVERIFY(!window.captureThread()->timecodeEnabled());
        QVERIFY(testkit::waitUntil([&] { return window.captureThread()->timecodeEnabled(); }, 3000));
        const qint64 ahead =
            networkClockNow().toMSecsSinceEpoch() - QDateTime::currentDateTimeUtc().toMSecsSinceEpoch();
        QVERIFY2(qAbs(ahead - 5000) < 20, qPrintable(QString::number(ahead)));
    }

    void untickedWhileAskingStaysOff() {
        SntpTestServer server(SntpTestServer::Good, 0, 0, 400);
        storeSettings({{"NTP_SERVER", server.address()}, {"VITC", false}});
        MainWindow window;
        auto *box = windowtest::control<QCheckBox>(window, "chkVITC");
        box->click();
        QVERIFY(testkit::waitUntil([&] { return server.requests() == 1; }, 2000));
        box->click();
        QVERIFY(!box->isChecked());
        QTest::qWait(700);
        QVERIFY(!window.captureThread()->timecodeEnabled());

        box->click();
        QVERIFY(testkit::waitUntil([&] { return window.captureThread()->timecodeEnabled(); }, 3000));
        QCOMPARE(server.requests(), 2);
    }

    void configFileTurnsTheStripOnAndOff() {
        SntpTestServer server(SntpTestServer::Good);
        storeSettings({{"NTP_SERVER", server.address()}, {"VITC", false}});
        MainWindow window;
        for (bool on : {true, false}) {
            QVERIFY(window.loadConfigFile(windowtest::writeIni(windowtest::homePath("timecode.ini"), {{"VITC", on}})));
            QVERIFY(testkit::waitUntil([&] { return window.captureThread()->timecodeEnabled() == on; }, 3000));
        }
        QCOMPARE(server.requests(), 1);
    }
};

int main(int argc, char *argv[]) {
    return windowtest::run<TestMainWindowClock>(argc, argv);
}

#include "tst_mainwindowclock.moc"
