// The preview during a real run (Test Pattern, OpenH264, a local SRT listener): it shows the source format,
// closing it detaches the preview while the writer goes on, and Stop hides it.
#include "appmessages.h"
#include "capturestreamer.h"
#include "mainwindow.h"
#include "srttestlistener.h"
#include "streamrules.h"
#include "testkit.h"
#include "tpreviewdlg.h"
#include "windowtestmain.h"

class TestMainWindowPreview : public QObject {
    Q_OBJECT

private slots:
    void previewFollowsTheRun() {
        SrtTestListener listener;
        QVERIFY2(listener.start(), qPrintable(listener.errorText()));
        MainWindow window;
        if (!windowtest::chooseTestPatternH264(window))
            QSKIP("the Test Pattern and the OpenH264 encoder are needed");
        QVERIFY(windowtest::fill(window, {QStringLiteral("txtURL=127.0.0.1:%1").arg(listener.port())}));
        auto *previewBtn = windowtest::control<QPushButton>(window, "previewBtn");
        auto *start = windowtest::control<QPushButton>(window, "cmdStart");
        QVERIFY(previewBtn->isHidden());

        start->click();
        QVERIFY(window.streaming());
        CaptureStreamer *capture = window.captureThread();
        QVERIFY(testkit::waitUntil([&] { return capture->framesWritten.load() > 5; }, 15000));

        previewBtn->click();
        TPreviewDlg *dialog = window.previewDialog();
        QVERIFY(dialog->isVisible());
        QCOMPARE(capture->previewTarget(), dialog->previewWinId());
        QCOMPARE(dialog->findChild<QLabel *>(QStringLiteral("lblFormat"))->text(),
                 streamrules::formatText(capture->sourceFormat.load()));

        dialog->close();
        QCOMPARE(capture->previewTarget(), uint64_t(0));
        // The audio switch only changes the gain; it never attaches the window again.
        dialog->findChild<QCheckBox *>(QStringLiteral("audioCheck"))->click();
        QCOMPARE(capture->previewTarget(), uint64_t(0));
        const uint64_t written = capture->framesWritten.load();
        QVERIFY(testkit::waitUntil([&] { return capture->framesWritten.load() > written + 10; }, 10000));

        previewBtn->click();
        QVERIFY(dialog->isVisible());
        start->click();
        QVERIFY(!window.streaming());
        QVERIFY(!dialog->isVisible());
        QCOMPARE(capture->previewTarget(), uint64_t(0));
        QVERIFY(window.waitForWorkers(10000));
    }
};

int main(int argc, char *argv[]) {
    return windowtest::run<TestMainWindowPreview>(argc, argv);
}

#include "tst_mainwindowpreview.moc"
