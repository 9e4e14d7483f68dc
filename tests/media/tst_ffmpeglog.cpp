// FFmpeg's lines as they reach Qt's diagnostic stream: pieces joined, repeats counted, runaway lines cut.
#include "mfffmpeglog.h"

#include <QtTest>

extern "C" {
#include <libavutil/log.h>
}

namespace {
QStringList captured;

void capture(QtMsgType, const QMessageLogContext &, const QString &message) {
    captured << message;
}
} // namespace

class TestFfmpegLog : public QObject {
    Q_OBJECT

private slots:
    void initTestCase() { mfInstallFfmpegLog(); }
    void init() {
        captured.clear();
        qInstallMessageHandler(capture);
    }
    void cleanup() { qInstallMessageHandler(nullptr); }
    void repeatsAreCounted();
    void unendedLineIsCut();
};

void TestFfmpegLog::repeatsAreCounted() {
    av_log(nullptr, AV_LOG_ERROR, "first ");
    av_log(nullptr, AV_LOG_ERROR, "line\n");
    for (int i = 0; i < 2500; ++i)
        av_log(nullptr, AV_LOG_ERROR, "corrupt packet\n");
    av_log(nullptr, AV_LOG_WARNING, "another\n");
    av_log(nullptr, AV_LOG_WARNING, "another\n");
    // Its repeat is written when the next line comes; a thread's last repeats wait for that.
    av_log(nullptr, AV_LOG_WARNING, "end\n");
    const QStringList expected = {QStringLiteral("FFmpeg: first line"),
                                  QStringLiteral("FFmpeg: corrupt packet"),
                                  QStringLiteral("FFmpeg: last message repeated 1000 times"),
                                  QStringLiteral("FFmpeg: last message repeated 1000 times"),
                                  QStringLiteral("FFmpeg: last message repeated 499 times"),
                                  QStringLiteral("FFmpeg: another"),
                                  QStringLiteral("FFmpeg: last message repeated 1 times"),
                                  QStringLiteral("FFmpeg: end")};
    QCOMPARE(captured, expected);
}

void TestFfmpegLog::unendedLineIsCut() {
    for (int i = 0; i < 100; ++i)
        av_log(nullptr, AV_LOG_ERROR, "%s", QByteArray(100, char('a' + i % 26)).constData());
    QCOMPARE(captured.size(), 2);
    QVERIFY(captured.first().size() < 4200);
}

QTEST_GUILESS_MAIN(TestFfmpegLog)
#include "tst_ffmpeglog.moc"
