// Every encoder that opens here, at the ends of what the main window lets an operator choose: the lowest and
// highest video bitrate, the smallest and largest frame size, a PAL and an NTSC high rate. An encoder library
// that meets settings it cannot keep may abort the process (FFmpeg's assertions do), so each encode runs in
// a child process: this test executable started again with "--encode".
#include "mfencoderprobe.h"
#include "mfresult.h"
#include "mfwriter.h"
#include "testkit.h"
#include "tst_writersource.h"

#include <QtTest>

#include <cmath>
#include <cstring>

namespace {

constexpr int kLowestKbps = 128;
constexpr int kHighestKbps = 500000;
// One second of stream and the next key frame: the rate control has seen a whole GOP when it comes.
constexpr int kChildTimeoutMs = 240000;

// The option text as the capture thread writes it for a stream without audio.
QString optionsFor(const QString &codec, int gop, int kbps) {
    QString profile = QStringLiteral(" video::profile='Main' ");
    if (codec == QLatin1String("libopenh264"))
        profile = QStringLiteral(" video::profile='constrained_baseline' ");
    else if (codec == QLatin1String("mpeg2video"))
        profile.clear();
    return QStringLiteral("format='mpegts' play_while_rec='false'  video::codec='%1' %2 video::g='%3' "
                          "video::b='%4K' video::maxrate='%4K'  audio::codec='null' ")
        .arg(codec, profile)
        .arg(gop)
        .arg(kbps);
}

// The child: encodes the frames into the file; 0 when every frame was taken and the file closed.
int encodeChild(const QStringList &a) {
    // codec width height rateNum rateDen kbps frames path
    if (a.size() != 8)
        return 2;
    const double rate = a.at(3).toDouble() / a.at(4).toDouble();
    WriterTestSource source(a.at(1).toInt(), a.at(2).toInt(), rate, 3, 48000, 2, QStringLiteral("yuv420p"), false);
    if (!source.isValid())
        return 3;
    MFWriter writer;
    if (writer.WriterSet(a.at(7), 1, optionsFor(a.at(0), int(std::lround(rate)), a.at(5).toInt())) != MF_OK)
        return 4;
    const int frames = a.at(6).toInt();
    for (int i = 0; i < frames; ++i) {
        const MFFramePtr frame = source.next();
        if (!frame || writer.ReceiverFramePut(frame, -1, QString()) != MF_OK)
            return 5;
    }
    return writer.WriterClose() == MF_OK ? 0 : 6;
}

} // namespace

class TestEncoderSweep : public QObject {
    Q_OBJECT

private slots:
    void initTestCase() {
        if (!testkit::haveProgram(QStringLiteral("ffprobe")))
            QSKIP("ffprobe is not installed");
        QVERIFY(dir.isValid());
    }

    void extremes_data() {
        QTest::addColumn<QString>("codec");
        QTest::addColumn<int>("kbps");
        QTest::addColumn<QSize>("size");
        QTest::addColumn<int>("rateNum");
        QTest::addColumn<int>("rateDen");
        // Every pair of extremes (bitrate and size, bitrate and rate, size and rate) meets in one of these four rows,
        // at half the run time of the whole cross.
        struct Extremes {
            int kbps;
            QSize size;
            int rateNum;
            int rateDen;
        };
        const Extremes rows[] = {{kLowestKbps, QSize(1280, 720), 25, 1},
                                 {kHighestKbps, QSize(1280, 720), 60000, 1001},
                                 {kLowestKbps, QSize(4096, 2160), 60000, 1001},
                                 {kHighestKbps, QSize(4096, 2160), 25, 1}};
        for (const QString &codec : mfAvailableVideoCodecs()) {
            for (const Extremes &row : rows) {
                QTest::addRow("%s %dk %dx%d %s", qPrintable(codec), row.kbps, row.size.width(), row.size.height(),
                              row.rateDen == 1 ? "25" : "59.94")
                    << codec << row.kbps << row.size << row.rateNum << row.rateDen;
            }
        }
    }

    void extremes() {
        QFETCH(QString, codec);
        QFETCH(int, kbps);
        QFETCH(QSize, size);
        QFETCH(int, rateNum);
        QFETCH(int, rateDen);
        const int frames = int(std::lround(double(rateNum) / rateDen)) + 1;
        const QString path =
            dir.filePath(QStringLiteral("%1-%2-%3-%4.ts").arg(codec).arg(kbps).arg(size.height()).arg(rateNum));

        QProcess child;
        child.setProcessChannelMode(QProcess::MergedChannels);
        child.start(QCoreApplication::applicationFilePath(),
                    {QStringLiteral("--encode"), codec, QString::number(size.width()), QString::number(size.height()),
                     QString::number(rateNum), QString::number(rateDen), QString::number(kbps), QString::number(frames),
                     path});
        QVERIFY(child.waitForStarted(10000));
        if (!child.waitForFinished(kChildTimeoutMs)) {
            child.kill();
            child.waitForFinished(5000);
            QFAIL("the encode did not end in time");
        }
        const QByteArray log = child.readAll();
        QVERIFY2(child.exitStatus() == QProcess::NormalExit, log.right(2000).constData());
        QVERIFY2(child.exitCode() == 0, log.right(2000).constData());
        // What the codec cannot code or keep is changed, and the log says so.
        QSize coded = size;
        if (codec == QLatin1String("mpeg2video")) {
            if (kbps == kLowestKbps)
                QVERIFY2(log.contains("video bitrate raised to"), log.right(2000).constData());
            if (size.width() == 4096) {
                coded.setWidth(4080);
                QVERIFY2(log.contains("scaled to 4080x2160"), log.right(2000).constData());
            }
        }
        if (codec == QLatin1String("libopenh264") && kbps == kHighestKbps)
            QVERIFY2(log.contains("video bitrate lowered"), log.right(2000).constData());

        // Every picture decodes, at the size it was sent.
        QByteArray probe;
        QCOMPARE(
            testkit::runProgram(QStringLiteral("ffprobe"),
                                {QStringLiteral("-v"), QStringLiteral("error"), QStringLiteral("-count_frames"),
                                 QStringLiteral("-select_streams"), QStringLiteral("v:0"),
                                 QStringLiteral("-show_entries"), QStringLiteral("stream=width,height,nb_read_frames"),
                                 QStringLiteral("-of"), QStringLiteral("json"), path},
                                120000, &probe),
            0);
        const QJsonObject stream =
            QJsonDocument::fromJson(probe).object().value(QStringLiteral("streams")).toArray().first().toObject();
        QCOMPARE(stream.value(QStringLiteral("width")).toInt(), coded.width());
        QCOMPARE(stream.value(QStringLiteral("height")).toInt(), coded.height());
        QCOMPARE(stream.value(QStringLiteral("nb_read_frames")).toString().toInt(), frames);
    }

private:
    QTemporaryDir dir;
};

int main(int argc, char **argv) {
    if (argc > 1 && std::strcmp(argv[1], "--encode") == 0) {
        QCoreApplication app(argc, argv);
        return encodeChild(app.arguments().mid(2));
    }
    QCoreApplication app(argc, argv);
    TestEncoderSweep test;
    QTEST_SET_MAIN_SOURCE_PATH
    return QTest::qExec(&test, argc, argv);
}

#include "tst_encodersweep.moc"
