// The preview dialog on the offscreen platform: what it stores on closing, what it reports, and that closing
// only hides it.
#include "tpreviewdlg.h"

#include <QCheckBox>
#include <QLabel>
#include <QtTest>

class TestPreviewDlg : public QObject {
    Q_OBJECT

private slots:
    void closeStoresAndHides() {
        QTemporaryDir dir;
        QSettings settings(dir.filePath(QStringLiteral("preview.ini")), QSettings::IniFormat);
        settings.setValue(QStringLiteral("PREVIEW_AUDIO"), true);
        TPreviewDlg dialog(nullptr, &settings);
        QCheckBox *audio = dialog.findChild<QCheckBox *>(QStringLiteral("audioCheck"));
        QVERIFY(audio->isChecked());
        QSignalSpy audioChanged(&dialog, &TPreviewDlg::audioChanged);
        QSignalSpy hidden(&dialog, &TPreviewDlg::hidden);
        QSignalSpy sizeChanged(&dialog, &TPreviewDlg::sizeChanged);

        dialog.showRestored();
        QVERIFY(QTest::qWaitForWindowExposed(&dialog));
        dialog.setGeometry(120, 140, 520, 330);
        QVERIFY(testkitWait([&] { return sizeChanged.count() > 0; }));
        const QRect placed = dialog.geometry();
        audio->click();
        QCOMPARE(audioChanged.count(), 1);
        QCOMPARE(audioChanged.at(0).at(0).toBool(), false);

        // The close is refused so that the dialog stays for the next showing.
        QVERIFY(!dialog.close());
        QVERIFY(!dialog.isVisible());
        QCOMPARE(hidden.count(), 1);
        QCOMPARE(settings.value(QStringLiteral("PREVIEW_AUDIO")).toBool(), false);
        QVERIFY(!settings.value(QStringLiteral("PREVIEW_GEOMETRY")).toByteArray().isEmpty());

        // Moved elsewhere meanwhile, the next showing comes back where it was closed.
        dialog.setGeometry(10, 10, 300, 200);
        dialog.showRestored();
        QCOMPARE(dialog.geometry().size(), placed.size());
        QCOMPARE(dialog.geometry().topLeft(), placed.topLeft());
        QVERIFY(!audio->isChecked());

        // A new dialog (the next program run) reads the stored switch.
        TPreviewDlg next(nullptr, &settings);
        QVERIFY(!next.findChild<QCheckBox *>(QStringLiteral("audioCheck"))->isChecked());
        QVERIFY(next.previewWinId() != 0);
    }

    void formatText() {
        TPreviewDlg dialog(nullptr, nullptr);
        QLabel *label = dialog.findChild<QLabel *>(QStringLiteral("lblFormat"));
        QCOMPARE(label->text(), QStringLiteral("detect format ..."));
        dialog.setFormatText(QStringLiteral("video:1280x720@25"));
        QCOMPARE(label->text(), QStringLiteral("video:1280x720@25"));
    }

private:
    template <typename Pred> static bool testkitWait(Pred pred) {
        for (int i = 0; i < 100 && !pred(); ++i)
            QTest::qWait(10);
        return pred();
    }
};

QTEST_MAIN(TestPreviewDlg)
#include "tst_previewdlg.moc"
