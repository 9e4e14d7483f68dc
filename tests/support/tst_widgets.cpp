#include "tcombobox.h"
#include "tlabel.h"

#include <QAbstractItemView>
#include <QScrollBar>
#include <QSignalSpy>
#include <QStyleFactory>
#include <QtTest>

#include <memory>

class TestWidgets : public QObject {
    Q_OBJECT

    static QWidget *popupContainer(QComboBox &box) { return box.view()->parentWidget(); }

    // Fusion already widens a pop-up by itself; the Windows style keeps it at the box's width, as the
    // platform style of the original target does, so the widening is seen there.
    std::unique_ptr<QStyle> narrowStyle{QStyleFactory::create(QStringLiteral("windows"))};

private slots:
    void escapeClearsSelectionButKeepsEntries() {
        TComboBox box;
        box.addItems({"1920x1080", "1280x720"});
        box.setCurrentIndex(1);
        QTest::keyRelease(&box, Qt::Key_Escape);
        QCOMPARE(box.currentIndex(), -1);
        QVERIFY(box.currentText().isEmpty());
        QCOMPARE(box.count(), 2);

        // Other keys keep their ordinary meaning.
        box.setCurrentIndex(0);
        QTest::keyClick(&box, Qt::Key_Down);
        QCOMPARE(box.currentIndex(), 1);
    }

    void popupWidensForLongestEntry() {
        TComboBox box;
        box.setStyle(narrowStyle.get());
        box.resize(60, box.sizeHint().height());
        const QString longEntry = QStringLiteral("A capture device with a very long name, input 3 (SDI)");
        box.addItems({"short", longEntry});
        box.show();
        QVERIFY(QTest::qWaitForWindowExposed(&box));
        box.showPopup();
        const int textWidth = QFontMetrics(box.font()).horizontalAdvance(longEntry);
        QCOMPARE(popupContainer(box)->width(), textWidth + box.view()->horizontalScrollBar()->height());
        box.hidePopup();
    }

    void narrowEntriesKeepNormalPopupWidth() {
        QComboBox plain;
        TComboBox box;
        for (QComboBox *b : {static_cast<QComboBox *>(&plain), static_cast<QComboBox *>(&box)}) {
            b->setStyle(narrowStyle.get());
            b->resize(300, b->sizeHint().height());
            b->addItems({"25", "30", "50"});
            b->show();
            QVERIFY(QTest::qWaitForWindowExposed(b));
            b->showPopup();
        }
        QCOMPARE(popupContainer(box)->width(), popupContainer(plain)->width());
        plain.hidePopup();
        box.hidePopup();
    }

    // The splash and help icon are laid out around these sizes.
    void imagesHaveTheirSizes() {
        QCOMPARE(QImage(QStringLiteral(":/LOADING")).size(), QSize(695, 396));
        const QImage question(QStringLiteral(":/QUESTION"));
        QCOMPARE(question.size(), QSize(30, 27));
        QVERIFY(question.hasAlphaChannel());
    }

    void labelReportsLeftClicksOnly() {
        TLabel label;
        label.setText(QStringLiteral("?"));
        QSignalSpy clicked(&label, &TLabel::clicked);
        QTest::mouseClick(&label, Qt::RightButton);
        QTest::mouseClick(&label, Qt::MiddleButton);
        QCOMPARE(clicked.count(), 0);
        QTest::mouseClick(&label, Qt::LeftButton);
        QCOMPARE(clicked.count(), 1);
    }
};

QTEST_MAIN(TestWidgets)
#include "tst_widgets.moc"
