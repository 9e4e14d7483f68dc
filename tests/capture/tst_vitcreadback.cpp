// The timecode strip read back from pictures: the word itself (field flags, rejected misreads, the stamped time
// and latency), and the strip drawn into 720p frames, encoded with libx264 at 2 Mbit/s and decoded again.
#include "capturestreamer.h"
#include "mediatestkit.h"
#include "mfformat.h"
#include "mfglasstoglass.h"
#include "mformats.h"
#include "mfreader.h"
#include "mfresult.h"
#include "mfvitcreader.h"
#include "mfwriter.h"
#include "testkit.h"
#include "vitcstrip.h"

#include <QtTest>

namespace {

// The Test Pattern at this size on virtual time.
std::shared_ptr<MFormats> pattern(const char *size) {
    return mediatest::openVideo("Test Pattern", QStringLiteral("test_pattern.size=") + size);
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
        QTest::addColumn<QString>("word"); // the frame number the word carries, its flags 35 and 75
        QTest::newRow("25 fps frame 7") << 25.0 << 7 << "frame 7, flags 0 0";
        QTest::newRow("25 fps frame 24") << 25.0 << 24 << "frame 24, flags 0 0";
        QTest::newRow("50 fps frame 15") << 50.0 << 15 << "frame 7, flags 0 1";
        QTest::newRow("50 fps frame 14") << 50.0 << 14 << "frame 7, flags 0 0";
        QTest::newRow("59.94 fps frame 15") << 59.94 << 15 << "frame 7, flags 1 0";
        QTest::newRow("60 fps frame 59") << 60.0 << 59 << "frame 29, flags 1 0";
    }
    void frameNumberAndFlags() {
        QFETCH(double, rate);
        QFETCH(int, frame);
        QFETCH(QString, word);
        uint8_t bits[kVitcBits];
        buildVitcBits(10, 21, 37, frame, rate, 500, bits);
        MFVitcCode code;
        QVERIFY(MFVitcReader::decode(bits, &code));
        QCOMPARE(QString::asprintf("%d:%d:%d user %u", code.hours, code.minutes, code.seconds, code.userBits),
                 QStringLiteral("10:21:37 user 500"));
        QCOMPARE(QString::asprintf("frame %d, flags %d %d", code.frames, code.flag35, code.flag75), word);
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
        testkit::row("same second", "10:21:37.100", "2026-12-09T10:21:37.512Z", qint64(412));
        testkit::row("across midnight", "23:59:59.900", "2026-12-10T00:00:00.300Z", qint64(400));
        testkit::row("clock behind the stamp", "00:00:00.100", "2026-12-09T23:59:59.950Z", qint64(-150));
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
        auto source = pattern("640x360");
        QVERIFY(source);
        const MFFramePtr frame = mediatest::fetch(*source);
        QVERIFY(frame);
        QVERIFY(!MFVitcReader::read(*frame, nullptr));
    }

    void glassToGlassFromAStampedFrame() {
        auto source = pattern("640x360");
        QVERIFY(source);
        const MFFramePtr plain = mediatest::fetch(*source), stamped = mediatest::fetch(*source);
        QVERIFY(plain && stamped);
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
        auto source = pattern("1280x720");
        QVERIFY(source);
        MFWriter writer;
        const QString options =
            CaptureStreamer::writerOptions(25, 2, QStringLiteral("q264sw"), QString(), 2000, 128, 48000);
        if (MF_FAILED(writer.WriterSet(path, 1, options)))
            QSKIP("libx264 does not open on this machine");

        constexpr int kFrames = 100;
        QVector<Stamp> stamps;
        for (int i = 0; i < kFrames; ++i) {
            const MFFramePtr frame = mediatest::fetch(*source, {0, 0, 1280, 720, 0, 0, 0, 25.0});
            QVERIFY(frame);
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
