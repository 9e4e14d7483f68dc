// FFmpeg's lines as they reach Qt's diagnostic stream: pieces joined, repeats counted, runaway lines cut.
#include "mfffmpeglog.h"
#include "testkit.h"

#include <QtTest>

extern "C" {
#include <libavutil/log.h>
}

class TestFfmpegLog : public QObject {
    Q_OBJECT

private slots:
    void initTestCase() { mfInstallFfmpegLog(); }

    void repeatsAreCounted() {
        testkit::MessageCapture log;
        av_log(nullptr, AV_LOG_ERROR, "first ");
        av_log(nullptr, AV_LOG_ERROR, "line\n");
        for (int i = 0; i < 2500; ++i)
            av_log(nullptr, AV_LOG_ERROR, "corrupt packet\n");
        av_log(nullptr, AV_LOG_WARNING, "another\n");
        av_log(nullptr, AV_LOG_WARNING, "another\n");
        // Its repeat is written when the next line comes; a thread's last repeats wait for that.
        av_log(nullptr, AV_LOG_WARNING, "end\n");
        QCOMPARE(
            log.messages(),
            QStringList({"FFmpeg: first line", "FFmpeg: corrupt packet", "FFmpeg: last message repeated 1000 times",
                         "FFmpeg: last message repeated 1000 times", "FFmpeg: last message repeated 499 times",
                         "FFmpeg: another", "FFmpeg: last message repeated 1 times", "FFmpeg: end"}));
    }

    void unendedLineIsCut() {
        testkit::MessageCapture log;
        for (int i = 0; i < 100; ++i)
            av_log(nullptr, AV_LOG_ERROR, "%s", QByteArray(100, char('a' + i % 26)).constData());
        QCOMPARE(log.messages().size(), 2);
        QVERIFY(log.messages().first().size() < 4200);
    }
};

QTEST_GUILESS_MAIN(TestFfmpegLog)
#include "tst_ffmpeglog.moc"
