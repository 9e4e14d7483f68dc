// The timecode strip read back from pictures: the word itself (field flags, rejected misreads, the stamped time
// and latency), and the strip drawn into 720p frames, encoded with libx264 at 2 Mbit/s and decoded again.
#include "capturestreamer.h"
#include "mfformat.h"
#include "mfglasstoglass.h"
#include "mformats.h"
#include "mfreader.h"
#include "mfresult.h"
#include "mfvitcreader.h"
#include "mfwriter.h"
#include "vitcstrip.h"

#include <QTemporaryDir>
#include <QtTest>

namespace {

int patternIndex(MFormats &source) {
    int count = 0;
    source.DeviceGetCount(eMFDT_Video, &count);
    for (int i = 0; i < count; ++i) {
        QString entry;
        if (MF_SUCCEEDED(source.DeviceGetByIndex(eMFDT_Video, i, &entry)) && entry == QLatin1String("Test Pattern"))
            return i;
    }
    return -1;
}

struct Stamp {
    int hour, minute, second, frame;
    uint32_t msec;
};

} // namespace

class TestVitcReadback : public QObject {
    Q_OBJECT

private slots:
    void frameNumberAndFlags_data() {
        QTest::addColumn<double>("rate");
        QTest::addColumn<int>("frame");
        QTest::addColumn<int>("coded");
        QTest::addColumn<bool>("flag35");
        QTest::addColumn<bool>("flag75");
        QTest::newRow("25 fps frame 7") << 25.0 << 7 << 7 << false << false;
        QTest::newRow("25 fps frame 24") << 25.0 << 24 << 24 << false << false;
        QTest::newRow("50 fps frame 15") << 50.0 << 15 << 7 << false << true;
        QTest::newRow("50 fps frame 14") << 50.0 << 14 << 7 << false << false;
        QTest::newRow("59.94 fps frame 15") << 59.94 << 15 << 7 << true << false;
        QTest::newRow("60 fps frame 59") << 60.0 << 59 << 29 << true << false;
    }
    void frameNumberAndFlags() {
        QFETCH(double, rate);
        QFETCH(int, frame);
        QFETCH(int, coded);
        QFETCH(bool, flag35);
        QFETCH(bool, flag75);
        uint8_t bits[kVitcBits];
        buildVitcBits(10, 21, 37, frame, rate, 500, bits);
        MFVitcCode code;
        QVERIFY(MFVitcReader::decode(bits, &code));
        QCOMPARE(code.hours, 10);
        QCOMPARE(code.minutes, 21);
        QCOMPARE(code.seconds, 37);
        QCOMPARE(code.frames, coded);
        QCOMPARE(code.flag35, flag35);
        QCOMPARE(code.flag75, flag75);
        QCOMPARE(code.userBits, 500u);
        QCOMPARE(code.frameInSecond(rate), frame);
    }

    void anySingleMisreadBitIsRejected() {
        uint8_t bits[kVitcBits];
        buildVitcBits(23, 59, 58, 24, 25.0, 999, bits);
        QVERIFY(MFVitcReader::decode(bits, nullptr));
        for (int i = 0; i < kVitcBits; ++i) {
            bits[i] ^= 1;
            QVERIFY2(!MFVitcReader::decode(bits, nullptr), qPrintable(QString::number(i)));
            bits[i] ^= 1;
        }
    }

    void latency_data() {
        QTest::addColumn<QString>("stamped");
        QTest::addColumn<QString>("now");
        QTest::addColumn<qint64>("latency");
        QTest::newRow("same second") << "10:21:37.100"
                                     << "2026-12-09T10:21:37.512Z" << qint64(412);
        QTest::newRow("across midnight") << "23:59:59.900"
                                         << "2026-12-10T00:00:00.300Z" << qint64(400);
        QTest::newRow("clock behind the stamp") << "00:00:00.100"
                                                << "2026-12-09T23:59:59.950Z" << qint64(-150);
    }
    void latency() {
        QFETCH(QString, stamped);
        QFETCH(QString, now);
        QFETCH(qint64, latency);
        const QTime time = QTime::fromString(stamped, QStringLiteral("hh:mm:ss.zzz"));
        uint8_t bits[kVitcBits];
        buildVitcBits(time.hour(), time.minute(), time.second(), 0, 25.0, uint32_t(time.msec()), bits);
        MFVitcCode code;
        QVERIFY(MFVitcReader::decode(bits, &code));
        QCOMPARE(code.latencyMs(QDateTime::fromString(now, Qt::ISODateWithMs)), latency);
    }

    void pictureWithoutStripIsNoRead() {
        MFormats source;
        source.setVirtualClock(true);
        QCOMPARE(source.DeviceSet(eMFDT_Video, patternIndex(source), QStringLiteral("test_pattern.size=640x360")),
                 int(MF_OK));
        MFFramePtr frame;
        QCOMPARE(source.SourceFrameConvertedGetByFormat(MFFormat(), &frame, -1, QString()), int(MF_OK));
        QVERIFY(!MFVitcReader::read(*frame, nullptr));
    }

    void glassToGlassFromAStampedFrame() {
        MFormats source;
        source.setVirtualClock(true);
        QCOMPARE(source.DeviceSet(eMFDT_Video, patternIndex(source), QStringLiteral("test_pattern.size=640x360")),
                 int(MF_OK));
        MFFramePtr plain;
        MFFramePtr stamped;
        QCOMPARE(source.SourceFrameConvertedGetByFormat(MFFormat(), &plain, -1, QString()), int(MF_OK));
        QCOMPARE(source.SourceFrameConvertedGetByFormat(MFFormat(), &stamped, -1, QString()), int(MF_OK));
        uint8_t bits[kVitcBits];
        buildVitcBits(8, 30, 0, 3, 25.0, 120, bits);
        QCOMPARE(stamped->MFPrint(vitcMarkup(bits), 0.5, 0.0, 357.0, 640.0, 3.0, 256, QString()), int(MF_OK));

        MFGlassToGlass meter;
        qint64 latency = 0;
        QVERIFY(!meter.latest(&latency));
        const QDateTime now = QDateTime::fromString(QStringLiteral("2026-12-09T08:30:00.532Z"), Qt::ISODateWithMs);
        meter.measure(*stamped, now);
        QVERIFY(meter.latest(&latency));
        QCOMPARE(latency, qint64(412));
        meter.measure(*plain, now.addMSecs(100));
        QVERIFY(meter.latest(&latency));
        QCOMPARE(latency, qint64(412));
        QCOMPARE(MFGlassToGlass::text(latency), QStringLiteral("glass-to-glass 412 ms"));
    }

    void survivesX264At2Mbits() {
        QTemporaryDir dir;
        const QString path = dir.filePath(QStringLiteral("strip.ts"));
        MFormats source;
        source.setVirtualClock(true);
        QCOMPARE(source.DeviceSet(eMFDT_Video, patternIndex(source), QStringLiteral("test_pattern.size=1280x720")),
                 int(MF_OK));
        MFWriter writer;
        const QString options =
            CaptureStreamer::writerOptions(25, 2, QStringLiteral("q264sw"), QString(), 2000, 128, 48000);
        if (MF_FAILED(writer.WriterSet(path, 1, options)))
            QSKIP("libx264 does not open on this machine");

        constexpr int kFrames = 100;
        MFFormat ask;
        ask.width = 1280;
        ask.height = 720;
        ask.frameRate = 25.0;
        QVector<Stamp> stamps;
        for (int i = 0; i < kFrames; ++i) {
            MFFramePtr frame;
            QCOMPARE(source.SourceFrameConvertedGetByFormat(ask, &frame, -1, QString()), int(MF_OK));
            const int ms = 37 * 1000 + 40 * i;
            const Stamp stamp{10, 21, ms / 1000 % 60, (ms % 1000) / 40, uint32_t(ms % 1000)};
            uint8_t bits[kVitcBits];
            buildVitcBits(stamp.hour, stamp.minute, stamp.second, stamp.frame, 25.0, stamp.msec, bits);
            QCOMPARE(frame->MFPrint(vitcMarkup(bits), 0.5, 0.0, 717.0, 1280.0, 3.0, 256,
                                    QStringLiteral("face='Times New Roman'  vert-align='bottom' bg-color='black' ")),
                     int(MF_OK));
            stamps.append(stamp);
            QCOMPARE(writer.ReceiverFramePut(frame, -1, QString()), int(MF_OK));
        }
        QCOMPARE(writer.WriterClose(), int(MF_OK));

        MFReader reader;
        QCOMPARE(reader.ReaderOpen(path, QString()), int(MF_OK));
        int decoded = 0;
        int matched = 0;
        MFFramePtr frame;
        while (decoded < kFrames && reader.SourceFrameGet(-1, &frame, QString()) == MF_OK) {
            MFVitcCode code;
            const Stamp &want = stamps.at(decoded++);
            if (MFVitcReader::read(*frame, &code) && code.hours == want.hour && code.minutes == want.minute &&
                code.seconds == want.second && code.frameInSecond(25.0) == want.frame && code.userBits == want.msec)
                ++matched;
        }
        QCOMPARE(decoded, kFrames);
        QVERIFY2(matched * 100 >= kFrames * 99, qPrintable(QStringLiteral("%1 of %2").arg(matched).arg(decoded)));
    }
};

QTEST_GUILESS_MAIN(TestVitcReadback)
#include "tst_vitcreadback.moc"
