// The bonding path row as the operator uses it: weight clicks, ticking, the token the main window stores.
#include "ckblblwidget.h"
#include "clickableweightlabel.h"

#include <QCheckBox>
#include <QSignalSpy>
#include <QtTest>

class TestBondingRow : public QObject {
    Q_OBJECT

private slots:
    void weightCyclesThroughZero() {
        CkbLblWidget row(QStringLiteral("10.0.0.5"));
        auto *label = row.findChild<ClickableWeightLabel *>();
        QCOMPARE(row.pathText(), QStringLiteral("10.0.0.5(1)"));
        QStringList seen;
        for (int i = 0; i < 4; ++i) {
            QTest::mouseClick(label, Qt::LeftButton);
            seen.append(row.pathText());
        }
        QCOMPARE(seen, (QStringList{"10.0.0.5(2)", "10.0.0.5(3)", "10.0.0.5(0)", "10.0.0.5(1)"}));
        QTest::mouseClick(label, Qt::RightButton);
        QCOMPARE(label->weight(), 1);
        // The tool tip says what the chosen weight does.
        QTest::mouseClick(label, Qt::LeftButton);
        QTest::mouseClick(label, Qt::LeftButton);
        QTest::mouseClick(label, Qt::LeftButton);
        QVERIFY(label->toolTip().startsWith(QStringLiteral("weight (click to change)")));
        QVERIFY(label->toolTip().contains(QStringLiteral("full copy")));
    }

    void tickingLocksTheWeight() {
        CkbLblWidget row(QStringLiteral("10.0.0.5"));
        auto *label = row.findChild<ClickableWeightLabel *>();
        QTest::mouseClick(label, Qt::LeftButton);
        QSignalSpy spy(&row, &CkbLblWidget::checkedCkb);
        row.click();
        QVERIFY(row.isChecked());
        QVERIFY(!label->isEnabled());
        QCOMPARE(spy.takeFirst(), (QVariantList{true, QStringLiteral("10.0.0.5"), 2}));
        // A disabled label takes no clicks: the weight of a path in use stays.
        QTest::mouseClick(label, Qt::LeftButton);
        QCOMPARE(row.pathText(), QStringLiteral("10.0.0.5(2)"));
        row.findChild<QCheckBox *>()->click();
        QVERIFY(label->isEnabled());
        QCOMPARE(spy.takeFirst(), (QVariantList{false, QStringLiteral("10.0.0.5"), 2}));
    }
};

QTEST_MAIN(TestBondingRow)
#include "tst_bondingrow.moc"
