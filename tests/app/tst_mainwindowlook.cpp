// What the operator sees and where the window reaches out: the help labels open the user guide installed with the
// program, offline; hints in empty fields look like hints under the application's style; the update check asks
// only an https feed that somebody configured.
#include "appmessages.h"
#include "appstyle.h"
#include "mainwindow.h"
#include "testkit.h"
#include "updatenotifier.h"
#include "userguide.h"
#include "windowtestmain.h"

#include <QDesktopServices>
#include <QNetworkAccessManager>
#include <QSslSocket>

namespace {

// Stands in for the desktop's browser: every address the window opens ends here.
class Browser : public QObject {
    Q_OBJECT

public:
    QList<QUrl> opened;

public slots:
    void open(const QUrl &url) { opened << url; }
};

// The window's own settings store, in the test's home.
QSettings &store() {
    static QSettings settings(QStringLiteral("Brackmoor"), QStringLiteral("Tidewell"));
    return settings;
}

double luminance(const QColor &colour) {
    return 0.2126 * colour.redF() + 0.7152 * colour.greenF() + 0.0722 * colour.blueF();
}

} // namespace

class TestMainWindowLook : public QObject {
    Q_OBJECT

private slots:
    void init();
    void cleanup();
    void helpOpensTheInstalledGuide_data();
    void helpOpensTheInstalledGuide();
    void guideIsFoundAboveTheProgram_data();
    void guideIsFoundAboveTheProgram();
    void hintsAreDimmerThanText();
    void updateCheckAsksOnlyAConfiguredHttpsFeed_data();
    void updateCheckAsksOnlyAConfiguredHttpsFeed();

private:
    Browser browser;
};

void TestMainWindowLook::init() {
    for (const char *scheme : {"file", "http", "https"})
        QDesktopServices::setUrlHandler(QLatin1String(scheme), &browser, "open");
    browser.opened.clear();
    store().clear();
}

void TestMainWindowLook::cleanup() {
    for (const char *scheme : {"file", "http", "https"})
        QDesktopServices::unsetUrlHandler(QLatin1String(scheme));
    qApp->setStyleSheet(QString());
    AppMessages::setInteractive(false);
}

void TestMainWindowLook::helpOpensTheInstalledGuide_data() {
    QTest::addColumn<QString>("label");
    QTest::addColumn<QString>("section");
    QTest::newRow("help >>") << QString("helpLbl") << "";
    QTest::newRow("timecode") << QString("lblHelpTC") << "timecode";
    QTest::newRow("alpha") << QString("lblHelpAlpha") << "alpha";
}

void TestMainWindowLook::helpOpensTheInstalledGuide() {
    QFETCH(QString, label);
    QFETCH(QString, section);
    MainWindow window;
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    auto *help = window.findChild<QLabel *>(label);
    // The "?" image is the label's link, at its left.
    QTest::mouseClick(help, Qt::LeftButton, Qt::NoModifier, QPoint(10, help->height() / 2));

    QCOMPARE(browser.opened.size(), 1);
    const QUrl url = browser.opened.first();
    QVERIFY2(url.isLocalFile() && url.fragment() == section, qPrintable(url.toString()));
    const QString page = QString::fromUtf8(testkit::readFile(url.toLocalFile()));
    QVERIFY2(page.contains(QLatin1String("<title>Tidewell user guide</title>")), qPrintable(url.toLocalFile()));
    if (!section.isEmpty())
        QVERIFY(page.contains(QStringLiteral("id=\"%1\"").arg(section)));
}

void TestMainWindowLook::guideIsFoundAboveTheProgram_data() {
    QTest::addColumn<QString>("program");
    QTest::addColumn<QStringList>("guides");
    QTest::addColumn<QString>("found");
    const QString guide = QLatin1String(userguide::kRelativePath);
    QTest::newRow("installed") << "usr/bin" << QStringList{"usr/" + guide} << "usr/" + guide;
    QTest::newRow("a test in the build tree") << "build/tests/app" << QStringList{"build/" + guide} << "build/" + guide;
    QTest::newRow("the nearest prefix first")
        << "usr/local/bin" << QStringList{"usr/" + guide, "usr/local/" + guide} << "usr/local/" + guide;
    QTest::newRow("too far above") << "build/a/b/c/d" << QStringList{"build/" + guide} << "";
    QTest::newRow("none") << "usr/bin" << QStringList() << "";
}

void TestMainWindowLook::guideIsFoundAboveTheProgram() {
    QFETCH(QString, program);
    QFETCH(QStringList, guides);
    QFETCH(QString, found);
    QTemporaryDir root;
    QDir(root.path()).mkpath(program);
    for (const QString &guide : guides)
        QVERIFY(QDir(root.path()).mkpath(QFileInfo(guide).path()) && testkit::writeFile(root.filePath(guide), {}));
    QCOMPARE(userguide::locate(root.filePath(program)), found.isEmpty() ? QString() : root.filePath(found));
}

void TestMainWindowLook::hintsAreDimmerThanText() {
    qApp->setStyleSheet(appstyle::styleSheet());
    MainWindow window;
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    const auto check = [&] {
        int hinted = 0;
        for (QLineEdit *edit : window.findChildren<QLineEdit *>()) {
            if (edit->placeholderText().isEmpty())
                continue;
            ++hinted;
            const QColor hint = edit->palette().color(QPalette::PlaceholderText);
            const QColor typed = edit->palette().color(QPalette::Text);
            if (hint != appstyle::kPlaceholderColour || luminance(hint) >= luminance(typed))
                return edit->objectName() + QStringLiteral(": hint ") + hint.name() + QStringLiteral(", text ") +
                       typed.name();
        }
        return hinted >= 6 ? QString() : QStringLiteral("only %1 fields with a hint").arg(hinted);
    };
    QString fault = check();
    QVERIFY2(fault.isEmpty(), qPrintable(fault));
    // A style sheet that changes polishes every widget again and sets its palette anew.
    qApp->setStyleSheet(appstyle::styleSheet() + QStringLiteral("QLabel {}"));
    QApplication::processEvents();
    fault = check();
    QVERIFY2(fault.isEmpty(), qPrintable(fault));
}

void TestMainWindowLook::updateCheckAsksOnlyAConfiguredHttpsFeed_data() {
    QTest::addColumn<QString>("scheme");
    QTest::addColumn<bool>("asked");
    QTest::newRow("no feed configured") << "" << false;
    QTest::newRow("http refused") << "http" << false;
    QTest::newRow("https") << "https" << true;
}

void TestMainWindowLook::updateCheckAsksOnlyAConfiguredHttpsFeed() {
    QFETCH(QString, scheme);
    QFETCH(bool, asked);
    if (scheme == QLatin1String("https") && !QSslSocket::supportsSsl())
        QSKIP("Qt has no TLS backend here");
    QTcpServer feed;
    QVERIFY(feed.listen(QHostAddress::LocalHost));
    QSignalSpy connections(&feed, &QTcpServer::newConnection);
    const QString address = QStringLiteral("%1://127.0.0.1:%2/tidewell.json").arg(scheme).arg(feed.serverPort());
    if (!scheme.isEmpty())
        store().setValue(QStringLiteral("UPDATE_FEED"), address);
    store().sync();
    // Where an operator sees the window: the only place the check is made at all.
    AppMessages::setInteractive(true);
    MainWindow window;

    if (asked) {
        QVERIFY(connections.wait(5000));
    } else {
        QTest::qWait(500);
        QCOMPARE(connections.count(), 0);
        // Not even a network manager: nothing was asked of any host, by name or address.
        QVERIFY(!window.updateCheck()->findChild<QNetworkAccessManager *>());
    }
    QApplication::processEvents();
    QCOMPARE(
        windowtest::logText().contains(QStringLiteral("UPDATE FEED NOT USED: %1 is not an https address").arg(address)),
        scheme == QLatin1String("http"));
}

int main(int argc, char *argv[]) {
    return windowtest::run<TestMainWindowLook>(argc, argv);
}

#include "tst_mainwindowlook.moc"
