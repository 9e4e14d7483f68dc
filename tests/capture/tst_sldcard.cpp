// The capture card source: records, sink names, time stamps, channel mask and audio, the stop and the
// read failure rule, against the fake card driver built with the tests.
#include "logsdlg.h"
#include "mformats.h"
#include "mfresult.h"
#include "mfsink.h"
#include "setmfdevice.h"
#include "sldcardsource2.h"
#include "sldframeclock.h"
#include "sldtestcard.h"
#include "testkit.h"

#include <QtTest>

#include <cmath>
#include <memory>

namespace {

struct SinkFrame {
    MFFormat format;
    int64_t start = 0;
    int64_t stop = 0;
    int samples = 0;
};

using testkit::logText;

// Lines from the card thread reach the view through the event loop.
bool logSays(const LogsDlg &logs, const QString &text) {
    return testkit::waitUntil([&] { return logText(logs).contains(text); }, 2000);
}

// The next frame of the named sink, waiting at most a second.
bool takeFrame(const QString &sinkName, SinkFrame *out) {
    std::shared_ptr<MFSink> sink = MFSink::findByName(sinkName);
    MFFramePtr frame;
    if (!sink || MF_FAILED(sink->SourceFrameConvertedGetByFormat(MFFormat(), &frame, -1, QString())) || !frame)
        return false;
    frame->MFFormatGet(&out->format);
    frame->MFTimeGet(&out->start, &out->stop);
    out->samples = frame->MFAudioSamples();
    return true;
}

} // namespace

class TestSldCard : public QObject {
    Q_OBJECT

private slots:
    // Runs first: the manager is process-wide and is created once a library loads.
    void noDriverNoCards() {
        testkit::ScopedEnv noDriver("TIDEWELL_SLD_DRIVER", "/nonexistent/libnocard.so");
        SLDCardSource2::initManager();
        QVERIFY(!SLDCardSource2::haveManager());
        QVERIFY(SLDCardSource2::scan().isEmpty());
        SLDCardSource2 card;
        QCOMPARE(card.startCard(QStringLiteral("SoftLab Fake Input 1")), QStringLiteral("sld_fake input 1"));
        QCOMPARE(card.cardIndex(), -1);
        QVERIFY(card.stopCard());
        QCOMPARE(card.framesSent(), uint64_t(0));
    }

    void frameClock25() {
        SLDFrameClock clock(25.0);
        QCOMPARE(clock.frameDuration(), 400000.0);
        for (uint64_t k = 0; k < 1000; ++k)
            QCOMPARE(clock.next(), k * 400000u);
        QCOMPARE(clock.carry(), 0.0);
    }

    // At 29.97 each stop time loses a fraction; frame 774 is the first whose summed fractions pass 100.
    void frameClockCarry2997() {
        SLDFrameClock clock(29.97);
        const double duration = 1e7 / 29.97;
        for (uint64_t k = 0; k < 774; ++k)
            QCOMPARE(clock.next(), uint64_t(double(k) * duration));
        const uint64_t natural = uint64_t(774.0 * duration);
        QCOMPARE(clock.next(), natural + 100);
        QVERIFY(clock.carry() < -99.0 && clock.carry() > -100.0);
        QCOMPARE(clock.next(), uint64_t(775.0 * duration));
    }

    void audioLayout_data() {
        QTest::addColumn<int>("channels");
        QTest::addColumn<int>("bytes");
        QTest::addColumn<uint>("mask");
        QTest::addColumn<int>("samples");
        QTest::newRow("stereo") << 2 << 7680 << 3u << 1920;
        QTest::newRow("eight") << 8 << 7680 << 255u << 480;
        QTest::newRow("mono odd byte") << 1 << 7681 << 1u << 3840;
        QTest::newRow("no audio") << 0 << 7680 << 0u << 0;
        QTest::newRow("negative bytes") << 2 << -4 << 3u << 0;
    }
    void audioLayout() {
        QFETCH(int, channels);
        QFETCH(int, bytes);
        QFETCH(uint, mask);
        QFETCH(int, samples);
        QCOMPARE(SLDCardSource2::channelMask(channels), uint32_t(mask));
        QCOMPARE(SLDCardSource2::audioSamples(bytes, channels), samples);
    }

    void recordsAndSinkNames() {
        QVERIFY2(useFakeCardDriver(), FAKE_SLD_DRIVER);
        testkit::ScopedEnv cards("FAKE_SLD_CARDS", "1,2,Fake,Input 1;0,2,Off,Card;1,3,Wrong,Kind;1,2,Second,Card B");
        SLDCardSource2::initManager();
        QVERIFY(SLDCardSource2::haveManager());
        QCOMPARE(SLDCardSource2::scan(), QStringList({"SoftLab Fake Input 1", "SoftLab Second Card B"}));

        SLDCardSource2 second;
        QCOMPARE(second.startCard(QStringLiteral("SoftLab Second Card B")), QStringLiteral("sld_second card b"));
        QCOMPARE(second.cardIndex(), 3);
        QVERIFY(MFSink::names().contains(QStringLiteral("sld_second card b")));
        SLDCardSource2 skipped;
        skipped.startCard(QStringLiteral("SoftLab Wrong Kind"));
        QCOMPARE(skipped.cardIndex(), -1);
        QVERIFY(second.stopCard());
        QVERIFY(skipped.stopCard());
        QVERIFY(!MFSink::names().contains(QStringLiteral("sld_second card b")));
    }

    void framesReachTheSink_data() {
        QTest::addColumn<QByteArray>("fps");
        QTest::addColumn<int>("channels");
        QTest::addColumn<int>("samplesPerFrame");
        QTest::newRow("25 fps stereo") << QByteArray("25") << 2 << 1920;
        QTest::newRow("50 fps eight channels") << QByteArray("50") << 8 << 960;
        QTest::newRow("29.97 fps stereo") << QByteArray("29.97") << 2 << 1601;
    }
    void framesReachTheSink() {
        QFETCH(QByteArray, fps);
        QFETCH(int, channels);
        QFETCH(int, samplesPerFrame);
        QVERIFY(useFakeCardDriver());
        SLDCardSource2::initManager();
        testkit::ScopedEnv rate("FAKE_SLD_FPS", fps), sound("FAKE_SLD_CHANNELS", QByteArray::number(channels));
        SLDCardSource2 card;
        const QString sinkName = card.startCard(QStringLiteral("SoftLab Fake Input 1"));
        QCOMPARE(card.cardIndex(), 0);
        const double duration = 1e7 / fps.toDouble();
        int64_t previousStop = 0;
        for (int k = 0; k < 4; ++k) {
            SinkFrame frame;
            QVERIFY2(takeFrame(sinkName, &frame), qPrintable(QString::number(k)));
            QCOMPARE(frame.format.colorFormat, uint32_t(MFCC_ARGB32));
            QCOMPARE(QSize(frame.format.width, frame.format.height), QSize(320, 180));
            QCOMPARE(QPoint(frame.format.channels, frame.format.sampleRate), QPoint(channels, 48000));
            QCOMPARE(frame.start, previousStop);
            QCOMPARE(frame.stop, int64_t(double(k) * duration));
            QVERIFY2(std::abs(frame.samples - samplesPerFrame) <= 1, qPrintable(QString::number(frame.samples)));
            previousStop = frame.stop;
        }
        QVERIFY(card.stopCard());
        QVERIFY(!card.isRunning());
        QVERIFY(noCardThreadLeft());
    }

    // A card that fails for a moment is opened again and gives pictures again in the same run; one that stays
    // failed is lost after a few tries, which the capture run hears of through the lost flag.
    void cardGlitch_data() {
        QTest::addColumn<QByteArray>("failMs");
        QTest::addColumn<bool>("recovers");
        QTest::newRow("fails for 3 s") << QByteArray("3000") << true;
        QTest::newRow("fails for good") << QByteArray() << false;
    }
    void cardGlitch() {
        QFETCH(QByteArray, failMs);
        QFETCH(bool, recovers);
        QVERIFY(useFakeCardDriver());
        SLDCardSource2::initManager();
        testkit::ScopedEnv failAfter("FAKE_SLD_FAIL_AFTER", "10");
        auto lasts = failMs.isEmpty() ? std::make_unique<testkit::ScopedEnv>("FAKE_SLD_FAIL_MS")
                                      : std::make_unique<testkit::ScopedEnv>("FAKE_SLD_FAIL_MS", failMs);
        LogsDlg logs;
        auto lost = std::make_shared<std::atomic<bool>>(false);
        SLDCardSource2 card;
        card.setLogWindow(&logs);
        card.setLostFlag(lost);
        const QString sinkName = card.startCard(QStringLiteral("SoftLab Fake Input 1"));
        QElapsedTimer timer;
        timer.start();
        QVERIFY(testkit::waitUntil([&] { return card.readFailures() > 0; }, 5000));
        QCOMPARE(card.framesSent(), uint64_t(10));
        if (recovers) {
            // Back within a try or two after the three seconds, frames reach the sink again.
            QVERIFY2(testkit::waitUntil([&] { return card.framesSent() >= 20; }, 6000),
                     qPrintable(QString::number(card.framesSent())));
            QVERIFY(timer.elapsed() >= 3000);
            SinkFrame frame;
            QVERIFY(takeFrame(sinkName, &frame));
            QCOMPARE(frame.format.width, 320);
            QVERIFY(card.isRunning());
            QVERIFY(card.reopens() >= 1);
            QVERIFY(!card.lost() && !lost->load());
            QVERIFY2(logSays(logs, QStringLiteral("CAPTURE CARD BACK: Fake Input 1")), qPrintable(logText(logs)));
        } else {
            const int bound = SLDCardSource2::READ_FAILURE_LIMIT_MS +
                              SLDCardSource2::REOPEN_TRIES * (SLDCardSource2::REOPEN_PAUSE_MS + 200) + 2000;
            QVERIFY(card.wait(bound));
            QVERIFY(card.lost() && lost->load());
            QCOMPARE(card.framesSent(), uint64_t(10));
            QCOMPARE(card.reopens(), uint64_t(SLDCardSource2::REOPEN_TRIES));
            // Failed reads are paced, not spun.
            QVERIFY2(card.readFailures() < 2000, qPrintable(QString::number(card.readFailures())));
            QVERIFY2(logSays(logs, QStringLiteral("CAPTURE CARD LOST: Fake Input 1 (no picture after 5 tries")),
                     qPrintable(logText(logs)));
        }
        QVERIFY(card.stopCard());
    }

    // What the driver reports is checked before anything is allocated: a card with impossible values is refused
    // with a log line (the card thread would otherwise throw inside QThread::run and abort the program).
    void impossibleDriverValuesRefused_data() {
        QTest::addColumn<QByteArray>("variable");
        QTest::addColumn<QByteArray>("value");
        QTest::addColumn<QString>("said");
        QTest::newRow("100000 x 100000") << QByteArray("FAKE_SLD_SIZE") << QByteArray("100000x100000")
                                         << QStringLiteral("impossible video format 100000x100000");
        QTest::newRow("row bytes past an int") << QByteArray("FAKE_SLD_SIZE") << QByteArray("600000000x1")
                                               << QStringLiteral("impossible video format 600000000x1");
        QTest::newRow("negative height") << QByteArray("FAKE_SLD_SIZE") << QByteArray("320x-180")
                                         << QStringLiteral("impossible video format 320x-180");
        QTest::newRow("rate not a number") << QByteArray("FAKE_SLD_FPS") << QByteArray("nan")
                                           << QStringLiteral("impossible video format 320x180 at nan");
        QTest::newRow("999 channels") << QByteArray("FAKE_SLD_CHANNELS") << QByteArray("999")
                                      << QStringLiteral("impossible audio format, 999 channels");
        QTest::newRow("format call fails") << QByteArray("FAKE_SLD_FORMAT_FAILS") << QByteArray("1")
                                           << QStringLiteral("the driver's video format call failed (-3)");
    }
    void impossibleDriverValuesRefused() {
        QFETCH(QByteArray, variable);
        QFETCH(QByteArray, value);
        QFETCH(QString, said);
        QVERIFY(useFakeCardDriver());
        SLDCardSource2::initManager();
        LogsDlg logs;
        SLDCardSource2 card;
        card.setLogWindow(&logs);
        {
            testkit::ScopedEnv impossible(variable.constData(), value);
            card.startCard(QStringLiteral("SoftLab Fake Input 1"));
            QVERIFY(card.wait(2000));
        }
        QVERIFY(card.lost());
        QCOMPARE(card.framesSent(), uint64_t(0));
        QVERIFY2(logSays(logs, QStringLiteral("CAPTURE CARD LOST: Fake Input 1 (") + said), qPrintable(logText(logs)));
        QVERIFY(card.stopCard());
    }

    // The live source captures the card through its sink; once the card fails, its last picture is not
    // repeated: the fetches fail, so the capture loop counts and reports them.
    void failedCardLeavesNoStalePicture() {
        QVERIFY(useFakeCardDriver());
        SLDCardSource2::initManager();
        testkit::ScopedEnv failAfter("FAKE_SLD_FAIL_AFTER", "10");
        SLDCardSource2 card;
        const QString sinkName = card.startCard(QStringLiteral("SoftLab Fake Input 1"));
        std::shared_ptr<MFormats> source = MFormats::create();
        QVERIFY(source);
        QVERIFY(setMFDevice(source, eMFDT_Sink, QStringLiteral("mp://") + sinkName, QString()));
        MFFormat asked;
        asked.frameRate = 25.0;
        int good = 0;
        bool failedAfterGood = false;
        QElapsedTimer timer;
        timer.start();
        while (timer.elapsed() < 6000 && !failedAfterGood) {
            MFFramePtr frame;
            const bool ok =
                MF_SUCCEEDED(source->SourceFrameConvertedGetByFormat(asked, &frame, -1, QString())) && frame;
            good += ok ? 1 : 0;
            failedAfterGood = !ok && good > 0 && !card.isRunning();
            if (!ok)
                QThread::msleep(10);
        }
        QVERIFY2(good >= 5, qPrintable(QString::number(good)));
        QVERIFY2(failedAfterGood, qPrintable(QStringLiteral("%1 frames in %2 ms").arg(good).arg(timer.elapsed())));
        QVERIFY(card.lost());
        source->DeviceClose();
        QVERIFY(card.stopCard());
    }
};

QTEST_MAIN(TestSldCard)
#include "tst_sldcard.moc"
