// Capture cards in the main window: the card driver named in the settings store is loaded while the window is
// built, its usable cards are offered after the devices, before the desktops, and a card that is lost while
// streaming fails the stream, which the window then starts again.
#include "appmessages.h"
#include "capturestreamer.h"
#include "mainwindow.h"
#include "srttestlistener.h"
#include "testkit.h"
#include "windowtestmain.h"

class TestSldVideoList : public QObject {
    Q_OBJECT

private slots:
    void cardEntriesFromTheConfiguredDriver() {
        QSettings(QStringLiteral("Brackmoor"), QStringLiteral("Tidewell"))
            .setValue(QStringLiteral("SLD_DRIVER"), QStringLiteral(FAKE_SLD_DRIVER));
        qputenv("FAKE_SLD_CARDS", "1,2,Fake,Input 1;1,7,Hidden,Card;1,2,Fake,Input 2");
        MainWindow window;
        auto *sources = windowtest::control<QComboBox>(window, "cmbVideoSources");
        auto entries = [sources] {
            QStringList texts;
            for (int i = 0; i < sources->count(); ++i)
                texts.append(sources->itemText(i));
            return texts;
        };
        const QStringList listed = entries();
        const int first = listed.indexOf(QStringLiteral("SoftLab Fake Input 1"));
        QVERIFY2(first >= 0, qPrintable(listed.join(" | ")));
        QCOMPARE(listed.value(first + 1), QStringLiteral("SoftLab Fake Input 2"));
        QVERIFY(!listed.join(" ").contains(QStringLiteral("Hidden")));
        QVERIFY(listed.indexOf(QRegularExpression(QStringLiteral("^Desktop"))) > first);

        // A card that is unplugged goes from the list at the next Refresh.
        qputenv("FAKE_SLD_CARDS", "1,2,Fake,Input 2");
        windowtest::control<QPushButton>(window, "cmdRefresh")->click();
        QVERIFY(!entries().contains(QStringLiteral("SoftLab Fake Input 1")));
        QVERIFY(entries().contains(QStringLiteral("SoftLab Fake Input 2")));
        qunsetenv("FAKE_SLD_CARDS");
    }

    void lostCardRestartsTheStream() {
        QSettings(QStringLiteral("Brackmoor"), QStringLiteral("Tidewell"))
            .setValue(QStringLiteral("SLD_DRIVER"), QStringLiteral(FAKE_SLD_DRIVER));
        // Every card opened gives 25 pictures and then fails for good.
        qputenv("FAKE_SLD_FAIL_AFTER", "25");
        SrtTestListener server;
        QVERIFY2(server.start(), qPrintable(server.errorText()));
        MainWindow window;
        if (!windowtest::chooseTestPatternH264(window))
            QSKIP("the OpenH264 encoder is needed");
        QVERIFY(windowtest::fill(window, {"cmbVideoSources=SoftLab Fake Input 1", "spbReconnect=1",
                                          QStringLiteral("txtURL=127.0.0.1:%1").arg(server.port())}));
        // Each window of the test has a log window of its own; only this one streams.
        const auto logged = [](const QString &text) { return windowtest::logText().count(text); };
        windowtest::control<QPushButton>(window, "cmdStart")->click();
        QVERIFY(window.streaming());
        QVERIFY(testkit::waitUntil([&] { return window.captureThread()->framesWritten.load() > 0; }, 10000));

        // Lost after its tries: the stream fails, and the restart opens the card again, which gives pictures.
        QVERIFY2(testkit::waitUntil([&] { return logged(QStringLiteral("SOURCE LOST")) == 1; }, 30000),
                 qPrintable(windowtest::logText()));
        const QString said = windowtest::logText();
        QVERIFY(said.contains(QStringLiteral("CAPTURE CARD LOST: Fake Input 1")));
        // The state said why before the restart: the stream still ran while the card was tried again.
        QVERIFY2(said.indexOf(QStringLiteral("STREAM STATE: source lost")) <
                         said.indexOf(QStringLiteral("STREAM STATE: reconnecting")) &&
                     said.contains(QStringLiteral("STREAM STATE: source lost")),
                 qPrintable(said));
        QVERIFY(testkit::waitUntil([&] { return logged(QStringLiteral("Connect to SRT")) == 2; }, 5000));
        QVERIFY(window.streaming());
        QVERIFY(testkit::waitUntil([&] { return window.captureThread()->framesWritten.load() > 0; }, 10000));
        QVERIFY(testkit::waitUntil([&] { return logged(QStringLiteral("STREAM STATE: sending")) >= 2; }, 10000));
        // Lost once more, the reconnect limit is reached: the window stops instead of showing a stream that sends
        // nothing.
        QVERIFY(testkit::waitUntil([&] { return !window.streaming(); }, 30000));
        QCOMPARE(logged(QStringLiteral("SOURCE LOST")), 2);
        window.waitForWorkers(5000);
        qunsetenv("FAKE_SLD_FAIL_AFTER");
    }
};

int main(int argc, char *argv[]) {
    // The card list must come from the driver each case names, not from the environment.
    return windowtest::run<TestSldVideoList>(argc, argv, [] { qunsetenv("TIDEWELL_SLD_DRIVER"); });
}

#include "tst_sldvideolist.moc"
