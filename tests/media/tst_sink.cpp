#include "mediatestkit.h"
#include "mffactory.h"
#include "mfframe.h"
#include "mfreader.h"
#include "mfrenderer.h"
#include "mfresult.h"
#include "mfsink.h"

#include <QtTest>

#include <atomic>
#include <thread>
#include <vector>

namespace {

// A small ARGB32 frame of one colour (0xAARRGGBB) whose start time identifies it.
MFFramePtr numberedFrame(int number, uint32_t argb = 0xffff0000u) {
    MFFramePtr frame = mediatest::solidFrame({4, 4}, argb);
    if (frame)
        frame->MFTimeSet(number, number + 1);
    return frame;
}

int numberOf(const MFFramePtr &frame) {
    int64_t start = -1;
    if (frame)
        frame->MFTimeGet(&start, nullptr);
    return int(start);
}

std::vector<int> drain(MFSink &sink) {
    std::vector<int> numbers;
    MFFramePtr frame;
    while (sink.SourceFrameConvertedGetByFormat(MFFormat(), &frame, 0, QString()) == MF_OK)
        numbers.push_back(numberOf(frame));
    return numbers;
}

} // namespace

class TstSink : public QObject {
    Q_OBJECT

private slots:
    void putAndGetByNameAcrossThreads() {
        auto sink = MFSink::create();
        QCOMPARE(sink->SinkInit("Tidewell (T1)", "ds_Tidewell (T1)", QString()), int(MF_OK));
        constexpr int kFrames = 40;
        std::atomic<int> putFailures{0};
        std::thread producer([&] {
            for (int i = 0; i < kFrames; ++i)
                if (MF_FAILED(sink->ReceiverFramePut(numberedFrame(i), -1, QString())))
                    ++putFailures;
        });
        std::shared_ptr<MFSink> byName = MFSink::findByName("Tidewell (T1)");
        QVERIFY(byName == sink);
        std::vector<int> numbers;
        for (int attempt = 0; attempt < 200 && int(numbers.size()) < kFrames; ++attempt) {
            MFFramePtr frame;
            if (byName->SourceFrameConvertedGetByFormat(MFFormat(), &frame, -1, QString()) == MF_OK)
                numbers.push_back(numberOf(frame));
        }
        producer.join();
        QCOMPARE(putFailures.load(), 0);
        QCOMPARE(int(numbers.size()), kFrames);
        for (int i = 0; i < kFrames; ++i)
            QCOMPARE(numbers[size_t(i)], i);
        QCOMPARE(sink->droppedFrames(), 0);
    }

    void readerReadsSinkByName() {
        auto sink = MFSink::create();
        QCOMPARE(sink->SinkInit("Tidewell (T2)", "ds_Tidewell (T2)", QString()), int(MF_OK));
        MFReader reader;
        QCOMPARE(reader.ReaderOpen("mp://Tidewell (T2)", QString()), int(MF_OK));

        MFFramePtr frame;
        QElapsedTimer waited;
        waited.start();
        QCOMPARE(reader.SourceFrameGet(150, &frame, QString()), int(MF_E_TIMEOUT));
        QVERIFY(!frame);
        QVERIFY(waited.elapsed() < 5000);

        std::thread producer([&] {
            QThread::msleep(100);
            sink->ReceiverFramePut(numberedFrame(7), 0, QString());
        });
        QCOMPARE(reader.SourceFrameGet(-1, &frame, QString()), int(MF_OK));
        producer.join();
        QCOMPARE(numberOf(frame), 7);

        // A sink cleaned and set up again under the same name is found again by the open reader.
        sink->SinkClean();
        auto second = MFSink::create();
        QCOMPARE(second->SinkInit("Tidewell (T2)", QString(), QString()), int(MF_OK));
        second->ReceiverFramePut(numberedFrame(8), 0, QString());
        QCOMPARE(reader.SourceFrameGet(-1, &frame, QString()), int(MF_OK));
        QCOMPARE(numberOf(frame), 8);

        // An interrupt ends a waiting read at once.
        std::thread interrupter([&] {
            QThread::msleep(100);
            reader.ReaderInterrupt();
        });
        QCOMPARE(reader.SourceFrameGet(60000, &frame, QString()), int(MF_E_FAIL));
        interrupter.join();
    }

    void fullQueueDropsOldestWithoutWait() {
        MFSink sink;
        constexpr int kPut = 10;
        for (int i = 0; i < kPut; ++i)
            QCOMPARE(sink.ReceiverFramePut(numberedFrame(i), 0, QString()), int(MF_OK));
        QCOMPARE(sink.droppedFrames(), kPut - MFSink::QUEUE_CAPACITY);
        const std::vector<int> numbers = drain(sink);
        std::vector<int> expected;
        for (int i = kPut - MFSink::QUEUE_CAPACITY; i < kPut; ++i)
            expected.push_back(i);
        QCOMPARE(numbers, expected);

        MFFramePtr frame = numberedFrame(99);
        QCOMPARE(sink.SourceFrameConvertedGetByFormat(MFFormat(), &frame, 0, QString()), int(MF_FALSE));
        QVERIFY(!frame);
        QCOMPARE(sink.ReceiverFramePut(nullptr, 0, QString()), int(MF_E_INVALIDARG));
    }

    void fullQueueWaitIsBounded() {
        MFSink sink;
        for (int i = 0; i < MFSink::QUEUE_CAPACITY; ++i)
            sink.ReceiverFramePut(numberedFrame(i), 0, QString());

        // Nobody reads: the put gives up and leaves the queue as it was.
        QCOMPARE(sink.ReceiverFramePut(numberedFrame(50), 50, QString()), int(MF_E_TIMEOUT));
        QElapsedTimer waited;
        waited.start();
        QCOMPARE(sink.ReceiverFramePut(numberedFrame(51), -1, QString()), int(MF_E_TIMEOUT));
        QVERIFY(waited.elapsed() < 10 * MFSink::MAX_WAIT_MS);
        QCOMPARE(sink.droppedFrames(), 0);

        // A reader making room lets a waiting put through.
        std::thread consumer([&] {
            QThread::msleep(100);
            MFFramePtr frame;
            sink.SourceFrameConvertedGetByFormat(MFFormat(), &frame, 0, QString());
        });
        QCOMPARE(sink.ReceiverFramePut(numberedFrame(52), -1, QString()), int(MF_OK));
        consumer.join();
        QCOMPARE(drain(sink), (std::vector<int>{1, 2, 3, 52}));
    }

    void namesAreUniqueAndReleased() {
        QVERIFY(!MFSink::findByName("Tidewell (none)"));
        MFReader reader;
        QCOMPARE(reader.ReaderOpen("mp://Tidewell (none)", QString()), int(MF_E_NOTFOUND));
        MFFramePtr frame;
        QCOMPARE(reader.SourceFrameGet(0, &frame, QString()), int(MF_E_NOTREADY));

        auto first = MFSink::create();
        QCOMPARE(first->SinkInit("Tidewell (U)", QString(), QString()), int(MF_OK));
        QCOMPARE(first->SinkInit("Tidewell (U)", QString(), QString()), int(MF_OK));
        auto second = MFSink::create();
        QVERIFY(MF_FAILED(second->SinkInit("Tidewell (U)", QString(), QString())));
        QVERIFY(MF_FAILED(second->SinkInit(QString(), QString(), QString())));
        QVERIFY(MFSink::findByName("Tidewell (U)") == first);

        // A sink not owned by a counted reference cannot be found by anyone, so it is refused.
        MFSink unowned;
        QVERIFY(MF_FAILED(unowned.SinkInit("Tidewell (V)", QString(), QString())));

        // Renaming releases the old name; cleaning releases the name and the queued frames.
        QCOMPARE(first->SinkInit("Tidewell (W)", QString(), QString()), int(MF_OK));
        QVERIFY(!MFSink::findByName("Tidewell (U)"));
        QCOMPARE(second->SinkInit("Tidewell (U)", QString(), QString()), int(MF_OK));
        first->ReceiverFramePut(numberedFrame(1), 0, QString());
        QCOMPARE(first->SinkClean(), int(MF_OK));
        QVERIFY(!MFSink::findByName("Tidewell (W)"));
        QVERIFY(drain(*first).empty());

        // A destroyed sink leaves its name free.
        second.reset();
        QVERIFY(!MFSink::findByName("Tidewell (U)"));
        auto third = MFSink::create();
        QCOMPARE(third->SinkInit("Tidewell (U)", QString(), QString()), int(MF_OK));
    }

    void getConvertsToRecord() {
        MFSink sink;
        sink.ReceiverFramePut(numberedFrame(3, 0xffff0000u), 0, QString()); // opaque red as 0xAARRGGBB
        const MFFormat wanted{0, MFCC_I420, 8, 6};
        MFFramePtr frame;
        QCOMPARE(sink.SourceFrameConvertedGetByFormat(wanted, &frame, 0, QString()), int(MF_OK));
        const MFFormat got = mediatest::formatOf(frame);
        QCOMPARE(got.colorFormat, uint32_t(MFCC_I420));
        QCOMPARE(QSize(got.width, got.height), QSize(8, 6));
        QCOMPARE(numberOf(frame), 3);
        const AVFrame *video = MFFrame::from(frame)->video();
        QCOMPARE(video->format, int(AV_PIX_FMT_YUV420P));
        // Red in BT.601 studio range: Y 81, U 90, V 240.
        QVERIFY(qAbs(video->data[0][video->linesize[0] * 3 + 4] - 81) <= 2);
        QVERIFY(qAbs(video->data[1][video->linesize[1] + 2] - 90) <= 2);
        QVERIFY(qAbs(video->data[2][video->linesize[2] + 2] - 240) <= 2);
    }

    void readerConvertsSinkFramesForOutput() {
        // The player's output thread: the sink read back by name, converted to a video format code with
        // 2 channels at 48 kHz, 24 bits.
        auto sink = MFSink::create();
        QCOMPARE(sink->SinkInit("Tidewell (T3)", QString(), QString()), int(MF_OK));
        const MFFramePtr frame = mediatest::solidFrame({64, 36}, 0xff202020u, 0, 1, 44100, 1764);
        QVERIFY(frame);
        sink->ReceiverFramePut(frame, 0, QString());

        MFReader reader;
        QCOMPARE(reader.ReaderOpen("mp://Tidewell (T3)", QString()), int(MF_OK));
        // PAL (code 4)
        const MFFramePtr converted = mediatest::fetch(reader, {4, 0, 0, 0, 0, 0, 0, 0.0, 2, 48000, 24});
        QVERIFY(converted);
        const MFFormat got = mediatest::formatOf(converted);
        QCOMPARE(QSize(got.width, got.height), QSize(720, 576));
        QCOMPARE(got.interlace, int(MFIL_TOP_FIRST));
        QCOMPARE(QVector<int>({got.channels, got.sampleRate, got.bitsPerSample}), QVector<int>({2, 48000, 24}));
        const AVFrame *audio = MFFrame::from(converted)->audio();
        QCOMPARE(QPoint(audio->format, audio->ch_layout.nb_channels), QPoint(AV_SAMPLE_FMT_S32, 2));
        // 40 ms at 44.1 kHz become about 40 ms at 48 kHz (less what the resampler holds back).
        QVERIFY2(audio->nb_samples > 1800 && audio->nb_samples <= 1920, qPrintable(QString::number(audio->nb_samples)));
    }

    void rendererWithoutDevices() {
        MFRenderer renderer;
        int count = -1;
        QCOMPARE(renderer.DeviceGetCount(eMFDT_Video, &count), int(MF_OK));
        QCOMPARE(count, 0);
        QCOMPARE(renderer.DeviceSet(eMFDT_Video, 0, QString()), int(MF_E_NOTFOUND));
        QCOMPARE(renderer.PropsSet("line-out", "Tidewell studio player"), int(MF_OK));
        QString value;
        QCOMPARE(renderer.PropsGet("line-out", &value), int(MF_OK));
        QCOMPARE(value, QString("Tidewell studio player"));
        // No sound server answers here, so there is no sound output to choose.
        QCOMPARE(renderer.PropsOptionSetByIndex("line-out", 0), int(MF_E_INVALIDARG));
        QCOMPARE(renderer.ReceiverFramePut(numberedFrame(0), -1, QString()), int(MF_E_NOTREADY));
    }
};

QTEST_GUILESS_MAIN(TstSink)
#include "tst_sink.moc"
