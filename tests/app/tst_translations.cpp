// The main window in the operator's language: German texts for a German locale (also a regional one), English
// where no translation exists, and the option entries that configuration files store by their text unchanged.
#include "appmessages.h"
#include "mainwindow.h"
#include "mfglasstoglass.h"
#include "translations.h"
#include "windowtestmain.h"

#include <QMenu>
#include <QTranslator>

class TestTranslations : public QObject {
    Q_OBJECT

private slots:
    void windowFollowsLocale_data();
    void windowFollowsLocale();
    void cleanup();
};

void TestTranslations::windowFollowsLocale_data() {
    QTest::addColumn<QString>("locale");
    QTest::addColumn<bool>("translated");
    QTest::addColumn<QString>("menu");
    QTest::addColumn<QString>("refusal");
    QTest::addColumn<QString>("latency");
    const QString german = QStringLiteral("Warnung: Ungültiger SRT-Server. Bitte Host und Port eingeben.");
    const QString english = QStringLiteral("Warning: Incorrect SRT Server. Please enter host and port.");
    QTest::newRow("de_DE") << "de_DE" << true << "Konfiguration" << german << "Glas zu Glas 412 ms";
    QTest::newRow("de_AT finds the language") << "de_AT" << true << "Konfiguration" << german << "Glas zu Glas 412 ms";
    QTest::newRow("fr_FR falls back to English") << "fr_FR" << false << "Config" << english << "glass-to-glass 412 ms";
    QTest::newRow("en_US") << "en_US" << false << "Config" << english << "glass-to-glass 412 ms";
}

void TestTranslations::windowFollowsLocale() {
    QFETCH(QString, locale);
    QFETCH(bool, translated);
    QFETCH(QString, menu);
    QFETCH(QString, refusal);
    QFETCH(QString, latency);
    QCOMPARE(translations::install(*qApp, QLocale(locale)), translated);
    // A text of the media layer, shown in the player window.
    QCOMPARE(MFGlassToGlass::text(412), latency);

    MainWindow window;
    QCOMPARE(window.findChild<QMenu *>(QStringLiteral("menuConfig"))->title(), menu);
    QVERIFY(windowtest::fill(window, {"txtURL=127.0.0.1"}));
    windowtest::control<QPushButton>(window, "cmdStart")->click();
    QCOMPARE(AppMessages::history(), QStringList{refusal});

    // Settings and configuration files hold these entries by their visible text: a translated text would
    // make a file written in one language fail to load in another.
    QVERIFY(windowtest::fill(window, {"cmbAudioSources=no audio", "cmbAudioSources=original", "cmbSPR=48 Khz"}));
}

void TestTranslations::cleanup() {
    for (QTranslator *translator : qApp->findChildren<QTranslator *>()) {
        QCoreApplication::removeTranslator(translator);
        delete translator;
    }
    AppMessages::clearHistory();
}

int main(int argc, char *argv[]) {
    return windowtest::run<TestTranslations>(argc, argv);
}

#include "tst_translations.moc"
