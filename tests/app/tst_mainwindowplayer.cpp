// The main window's "Studio Player" toggle: the return-feed address, the refusal without a stream id, the
// player window's geometry and its threads ending with the window.
#include "appmessages.h"
#include "mainwindow.h"
#include "player.h"
#include "testkit.h"
#include "windowtestmain.h"

class TestMainWindowPlayer : public QObject {
    Q_OBJECT

private slots:
    void returnFeedAddress_data();
    void returnFeedAddress();
    void emptyStreamIdLeavesButtonPressed();
    void toggleOpensAndClosesPlayer();
};

void TestMainWindowPlayer::returnFeedAddress_data() {
    QTest::addColumn<QStringList>("form"); // server, stream id, passphrase
    QTest::addColumn<int>("keyLength");
    QTest::addColumn<QString>("address");
    testkit::row("no scheme", QStringList{"10.0.0.9:9001", "cam1", ""}, 16,
                 "srt://10.0.0.9:9001?mode=caller&streamid=cam1#feedbackplay");
    testkit::row("scheme kept, case kept", QStringList{"srt://Studio.Example:9001", "Cam1", ""}, 16,
                 "srt://Studio.Example:9001?mode=caller&streamid=Cam1#feedbackplay");
    testkit::row("capital scheme gets a second", QStringList{"SRT://host:1", "a", ""}, 16,
                 "srt://SRT://host:1?mode=caller&streamid=a#feedbackplay");
    testkit::row("passphrase, key length 24", QStringList{"host:1", "a", "0123456789"}, 24,
                 "srt://host:1?mode=caller&streamid=a#feedbackplay&passphrase=0123456789&pbkeylen=24");
    // An '&' would split the option list, '+' read as a blank, '%' as an escape.
    testkit::row("values encoded", QStringList{"host:1", "a&b+c d%", "pass&word+100% ok"}, 16,
                 "srt://host:1?mode=caller&streamid=a%26b%2Bc%20d%25#feedbackplay"
                 "&passphrase=pass%26word%2B100%25%20ok&pbkeylen=16");
}

void TestMainWindowPlayer::returnFeedAddress() {
    QFETCH(QStringList, form);
    QFETCH(int, keyLength);
    QTEST(MainWindow::returnFeedAddress(form[0], form[1], form[2], keyLength), "address");
}

void TestMainWindowPlayer::emptyStreamIdLeavesButtonPressed() {
    MainWindow window;
    AppMessages::clearHistory();
    window.findChild<QLineEdit *>("txtStreamID")->clear();
    auto *button = window.findChild<QPushButton *>("cmbPlayer");
    button->click();
    QVERIFY(button->isChecked());
    QCOMPARE(AppMessages::history(), QStringList{"Warning: Please enter streamid."});
    QVERIFY(!window.playerWindow()->isVisible());
    QVERIFY(!window.playerWindow()->isPlaying());
    // The next press releases it and stores the (unshown) player's geometry.
    button->click();
    QVERIFY(!button->isChecked());
    QVERIFY(window.settingsStore()->contains("PLAYER_GEOMETRY"));
}

void TestMainWindowPlayer::toggleOpensAndClosesPlayer() {
    auto window = std::make_unique<MainWindow>();
    window->settingsStore()->remove("PLAYER_GEOMETRY");
    // Nobody serves the feed: the player waits for it, which is what a closing window must cut short.
    window->findChild<QLineEdit *>("txtURL")->setText(QStringLiteral("127.0.0.1:%1").arg(testkit::freePort(true)));
    window->findChild<QLineEdit *>("txtStreamID")->setText("cam1");
    auto *button = window->findChild<QPushButton *>("cmbPlayer");
    Player *player = window->playerWindow();
    button->click();
    QVERIFY(player->isVisible());
    QVERIFY(player->isPlaying());
    QVERIFY(player->worker.url().endsWith("?mode=caller&streamid=cam1#feedbackplay"));

    player->setGeometry(40, 50, 800, 600);
    button->click();
    QVERIFY(!player->isVisible());
    QVERIFY(testkit::waitUntil([&] { return !player->isPlaying(); }, 2000));
    QVERIFY(window->settingsStore()->contains("PLAYER_GEOMETRY"));

    button->click();
    QVERIFY(player->isPlaying());
    QCOMPARE(player->size(), QSize(800, 600));
    // Destroying the window while the player waits for its feed returns at once, with the threads ended.
    QElapsedTimer closing;
    closing.start();
    window.reset();
    QVERIFY2(closing.elapsed() < 2000, qPrintable(QString::number(closing.elapsed())));
}

int main(int argc, char *argv[]) {
    return windowtest::run<TestMainWindowPlayer>(argc, argv);
}

#include "tst_mainwindowplayer.moc"
