// Capture cards in the main window's video list: the card driver named in the settings store is loaded
// while the window is built, and its usable cards are offered after the devices, before the desktops.
#include "appmessages.h"
#include "mainwindow.h"
#include "windowtestmain.h"

#include <QApplication>
#include <QComboBox>
#include <QPushButton>
#include <QSettings>
#include <QTemporaryDir>
#include <QtTest>

class TestSldVideoList : public QObject {
    Q_OBJECT

private slots:
    void cardEntriesFromTheConfiguredDriver() {
        QSettings(QStringLiteral("Brackmoor"), QStringLiteral("Tidewell"))
            .setValue(QStringLiteral("SLD_DRIVER"), QStringLiteral(FAKE_SLD_DRIVER));
        qputenv("FAKE_SLD_CARDS", "1,2,Fake,Input 1;1,7,Hidden,Card;1,2,Fake,Input 2");
        MainWindow window;
        auto *sources = window.findChild<QComboBox *>(QStringLiteral("cmbVideoSources"));
        QVERIFY(sources);
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
        window.findChild<QPushButton *>(QStringLiteral("cmdRefresh"))->click();
        QVERIFY(!entries().contains(QStringLiteral("SoftLab Fake Input 1")));
        QVERIFY(entries().contains(QStringLiteral("SoftLab Fake Input 2")));
    }
};

int main(int argc, char *argv[]) {
    // The card list must come from the driver each case names, not from the environment.
    return windowtest::run<TestSldVideoList>(argc, argv, nullptr, [] { qunsetenv("TIDEWELL_SLD_DRIVER"); });
}

#include "tst_sldvideolist.moc"
