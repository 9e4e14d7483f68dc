// The main window's bonding path rows: their grid, the refresh that follows the interfaces, and the stored
// selection ("BONDING_RIST") that ticks them.
#include "appmessages.h"
#include "ckblblwidget.h"
#include "mainwindow.h"
#include "windowtestmain.h"

#include <QGridLayout>

namespace {
// An address no interface here holds.
const char kAbsent[] = "203.0.113.9";
} // namespace

class TestBondingPaths : public QObject {
    Q_OBJECT

private slots:
    void init() { window = std::make_unique<MainWindow>(); }
    void cleanup() { window.reset(); }

    void rowsSitThreeToAGridRow();
    void refreshFollowsInterfaces();
    void storedSelectionTicksRows_data();
    void storedSelectionTicksRows();

private:
    QGridLayout *grid() { return window->findChild<QGridLayout *>(QStringLiteral("gridBonding")); }
    QString stored() { return window->findChild<QLineEdit *>(QStringLiteral("txtBonding_rist"))->text(); }
    // The first row of a real interface; the test skips without one.
    CkbLblWidget *realRow() {
        const QList<CkbLblWidget *> rows = window->bondingRows();
        return rows.isEmpty() ? nullptr : rows.first();
    }
    bool load(const QString &bonding) {
        return window->loadConfigFile(
            windowtest::writeIni(windowtest::homePath("paths.ini"), {{"BONDING_RIST", bonding}}));
    }

    std::unique_ptr<MainWindow> window;
};

void TestBondingPaths::rowsSitThreeToAGridRow() {
    while (window->bondingRows().size() < 7)
        grid()->addWidget(new CkbLblWidget(QStringLiteral("10.9.0.%1").arg(window->bondingRows().size())), 9, 9);
    window->relayoutBondingGrid();
    const QList<CkbLblWidget *> rows = window->bondingRows();
    QCOMPARE(rows.size(), 7);
    QList<QPair<int, int>> positions;
    for (CkbLblWidget *row : rows) {
        int r = 0, c = 0, rowSpan = 0, columnSpan = 0;
        grid()->getItemPosition(grid()->indexOf(row), &r, &c, &rowSpan, &columnSpan);
        positions.append({r, c});
    }
    QCOMPARE(positions, (QList<QPair<int, int>>{{0, 0}, {0, 1}, {0, 2}, {1, 0}, {1, 1}, {1, 2}, {2, 0}}));
}

void TestBondingPaths::refreshFollowsInterfaces() {
    CkbLblWidget *real = realRow();
    if (!real)
        QSKIP("no usable network interface (up, not loopback, with an IPv4 address)");
    real->setWeight(3);
    real->click();
    auto *gone = new CkbLblWidget(QLatin1String(kAbsent));
    grid()->addWidget(gone, 5, 0);
    gone->click();
    QPointer<CkbLblWidget> goneWatch(gone);
    QVERIFY(QMetaObject::invokeMethod(window.get(), "on_pbUpdateNet_clicked"));
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    // The row of the present interface keeps its tick and weight; the other one is unticked and removed.
    QVERIFY(goneWatch.isNull());
    QCOMPARE(window->bondingRows().first(), real);
    QVERIFY(real->isChecked());
    QCOMPARE(real->weight(), 3);
    QCOMPARE(stored(), real->pathText());
}

void TestBondingPaths::storedSelectionTicksRows_data() {
    QTest::addColumn<QString>("bonding");
    QTest::addColumn<bool>("ticked");
    QTest::addColumn<int>("weight");
    QTest::addColumn<QString>("kept");
    QTest::newRow("token with weight") << "%1(2)" << true << 2 << "%1(2)";
    QTest::newRow("duplicate path") << "%1(0)" << true << 0 << "%1(0)";
    QTest::newRow("plain address list") << "%1,203.0.113.9" << true << 1 << "%1(1),203.0.113.9";
    QTest::newRow("only an absent path") << "203.0.113.9(2)" << false << 1 << "203.0.113.9(2)";
    QTest::newRow("empty") << "" << false << 1 << "";
}

void TestBondingPaths::storedSelectionTicksRows() {
    QFETCH(QString, bonding);
    QFETCH(bool, ticked);
    QFETCH(int, weight);
    QFETCH(QString, kept);
    CkbLblWidget *real = realRow();
    if (!real)
        QSKIP("no usable network interface (up, not loopback, with an IPv4 address)");
    // Something ticked before: the loaded selection replaces it.
    real->setWeight(3);
    real->click();
    QVERIFY(load(bonding.arg(real->text())));
    QCOMPARE(real->isChecked(), ticked);
    if (ticked)
        QCOMPARE(real->weight(), weight);
    QCOMPARE(stored(), kept.arg(real->text()));
}

int main(int argc, char *argv[]) {
    return windowtest::run<TestBondingPaths>(argc, argv);
}

#include "tst_bondingpaths.moc"
