#include "mediatestkit.h"
#include "mfframe.h"
#include "mfreader.h"
#include "mfresult.h"
#include "mfvideoformattable.h"
#include "peerprocess.h"
#include "srttestlistener.h"
#include "testkit.h"

#include <QTcpServer>
#include <QTcpSocket>
#include <QtTest>

#include <atomic>
#include <memory>
#include <thread>

namespace {

constexpr int kVideoFps = 25;
constexpr int kAudioRate = 48000;

// Serves the first part of a file to one connection and holds the rest back.
class HeldBackPeer {
public:
    HeldBackPeer(const QByteArray &data, int firstBytes) : data(data), firstBytes(firstBytes) {
        server.listen(QHostAddress::LocalHost, 0);
    }
    QString url() const { return QStringLiteral("tcp://127.0.0.1:%1").arg(server.serverPort()); }
    bool accept() {
        if (!testkit::waitUntil([&] { return server.hasPendingConnections(); }, 5000))
            return false;
        socket.reset(server.nextPendingConnection());
        socket->write(data.left(firstBytes));
        return true;
    }
    void sendRest() {
        socket->write(data.mid(firstBytes));
        socket->flush();
        socket->disconnectFromHost();
    }

private:
    QTcpServer server;
    std::unique_ptr<QTcpSocket> socket;
    QByteArray data;
    int firstBytes;
};

} // namespace

class TstReader : public QObject {
    Q_OBJECT

    QTemporaryDir dir;
    QString twoSeconds;
    QString fourSeconds;

private slots:
    void initTestCase() {
        if (!testkit::haveProgram("ffmpeg"))
            QSKIP("ffmpeg is not installed");
        QVERIFY(dir.isValid());
        twoSeconds = dir.filePath("two.ts");
        fourSeconds = dir.filePath("four.ts");
        QVERIFY(testkit::makeTransportStream(twoSeconds, 2.0, "320x240", 500));
        QVERIFY(testkit::makeTransportStream(fourSeconds, 4.0, "320x240", 500));
    }

    void decodesTransportStream() {
        MFReader reader;
        QCOMPARE(reader.ReaderOpen(twoSeconds, QString()), int(MF_OK));
        int frames = 0, framesWithAudio = 0, mostSamplesInAFrame = 0, lastResult = MF_OK;
        int64_t audioSamples = 0;
        QVector<int64_t> starts;
        MFFormat first;
        for (MFFramePtr frame; frames < 500 && (lastResult = reader.SourceFrameGet(-1, &frame, QString())) == MF_OK;) {
            if (!frames++)
                first = mediatest::formatOf(frame);
            const int samples = frame->MFAudioSamples();
            audioSamples += samples;
            framesWithAudio += samples > 0;
            mostSamplesInAFrame = std::max(mostSamplesInAFrame, samples);
            starts.append(0);
            frame->MFTimeGet(&starts.last(), nullptr);
        }
        QCOMPARE(frames, 2 * kVideoFps);
        QVERIFY(MF_FAILED(lastResult));
        QCOMPARE(first.colorFormat, uint32_t(MFCC_I420));
        QCOMPARE(QSize(first.width, first.height), QSize(320, 240));
        QCOMPARE(first.frameRate, 25.0);
        QCOMPARE(first.interlace, int(MFIL_PROGRESSIVE));
        QCOMPARE(QPoint(first.sampleRate, first.channels), QPoint(kAudioRate, 1));
        // Time stamps from the stream, 40 ms apart, starting at 0.
        QCOMPARE(starts.first(), int64_t(0));
        QCOMPARE(starts.at(10), int64_t(10 * MF_TIME_UNITS_PER_SECOND / kVideoFps));
        // The tone's samples ride with the frames; only what trails the last picture may be missing.
        QVERIFY2(audioSamples >= 2 * kAudioRate * 9 / 10 && audioSamples <= 2 * kAudioRate + 2048,
                 qPrintable(QString::number(audioSamples)));
        // Spread over the frames as the stream interleaves it, not collected at the end.
        QVERIFY(framesWithAudio >= 5);
        QVERIFY2(mostSamplesInAFrame <= kAudioRate / 2, qPrintable(QString::number(mostSamplesInAFrame)));

        // After the end, a request keeps failing (without spinning) instead of blocking.
        MFFramePtr frame;
        QVERIFY(MF_FAILED(reader.SourceFrameGet(-1, &frame, QString())));
        QVERIFY(!frame);
    }

    void convertsWhileReading() {
        MFReader reader;
        QCOMPARE(reader.ReaderOpen(twoSeconds, " network.low_delay=true network.buffer_max=2"), int(MF_OK));
        const MFFormat wanted{0, MFCC_ARGB32, 160, 120, 0, 0, 0, 0.0, 2, 44100, 16};
        int64_t samples = 0;
        int frames = 0;
        for (MFFramePtr frame; frames < 500 && (frame = mediatest::fetch(reader, wanted)); ++frames) {
            const MFFormat got = mediatest::formatOf(frame);
            QCOMPARE(got.colorFormat, uint32_t(MFCC_ARGB32));
            QCOMPARE(got.width, 160);
            MFFrame *ours = MFFrame::from(frame);
            QCOMPARE(ours->video()->format, int(AV_PIX_FMT_BGRA));
            QCOMPARE(ours->video()->height, 120);
            if (const AVFrame *audio = ours->audio()) {
                QCOMPARE(QVector<int>({audio->format, audio->ch_layout.nb_channels, audio->sample_rate}),
                         QVector<int>({AV_SAMPLE_FMT_S16, 2, 44100}));
                samples += audio->nb_samples;
            }
        }
        QCOMPARE(frames, 2 * kVideoFps);
        QVERIFY2(samples >= 2 * 44100 * 9 / 10 && samples <= 2 * 44100 + 2048, qPrintable(QString::number(samples)));
    }

    void convertsToNamedVideoFormat_data() {
        QTest::addColumn<QString>("name");
        QTest::addColumn<int>("code");
        QTest::addColumn<int>("width");
        QTest::addColumn<int>("height");
        QTest::addColumn<int>("interlace");
        QTest::newRow("first row") << "NTSC" << 1 << 720 << 486 << int(MFIL_BOTTOM_FIRST);
        QTest::newRow("PAL") << "PAL" << 4 << 720 << 576 << int(MFIL_TOP_FIRST);
        QTest::newRow("720p") << "HD720_50p" << 6 << 1280 << 720 << int(MFIL_PROGRESSIVE);
        QTest::newRow("UHD interlaced, code not position") << "4K_UHD_50i" << 43 << 3840 << 2160 << int(MFIL_TOP_FIRST);
        QTest::newRow("last row") << "4K_UHD_60p" << 60 << 3840 << 2160 << int(MFIL_PROGRESSIVE);
    }

    void convertsToNamedVideoFormat() {
        QFETCH(QString, name);
        QFETCH(int, code);
        QFETCH(int, width);
        QFETCH(int, height);
        QFETCH(int, interlace);
        const QVector<MFVideoFormatTable::Entry> &rows = MFVideoFormatTable::entries();
        QCOMPARE(rows.size(), 37);
        auto row = std::find_if(rows.begin(), rows.end(), [&](const auto &entry) { return name == entry.name; });
        QVERIFY(row != rows.end());
        QCOMPARE(row->code, code);
        QCOMPARE(MFVideoFormatTable::find(code), &*row);
        QVERIFY(!MFVideoFormatTable::find(0) && !MFVideoFormatTable::find(20));

        // The output thread's record: only the code and the audio fields are set.
        MFReader reader;
        QCOMPARE(reader.ReaderOpen(twoSeconds, QString()), int(MF_OK));
        const MFFramePtr frame = mediatest::fetch(reader, {code, 0, 0, 0, 0, 0, 0, 0.0, 2, 44100, 16});
        QVERIFY(frame);
        const MFFormat got = mediatest::formatOf(frame);
        QCOMPARE(got.videoFormat, code);
        QCOMPARE(QSize(got.width, std::abs(got.height)), QSize(width, height));
        QCOMPARE(got.interlace, interlace);
        QCOMPARE(got.frameRate, row->frameRate);
    }

    void audioGainMutesChannels() {
        auto loudest = [](MFReader &reader) {
            float peak = 0;
            for (int i = 0; i < 20; ++i) {
                MFFramePtr frame;
                if (reader.SourceFrameGet(-1, &frame, QString()) != MF_OK)
                    break;
                if (const AVFrame *audio = MFFrame::from(frame)->audio())
                    for (int s = 0; s < audio->nb_samples * audio->ch_layout.nb_channels; ++s)
                        peak = std::max(peak, std::abs(reinterpret_cast<const float *>(audio->data[0])[s]));
            }
            return peak;
        };
        MFReader reader;
        QCOMPARE(reader.ReaderOpen(twoSeconds, QString()), int(MF_OK));
        QCOMPARE(reader.PropsSet("audio_gain", "0.0,0.0"), int(MF_OK));
        QVERIFY(loudest(reader) > 0.05f);
        QCOMPARE(reader.PropsSet("audio_gain", "-100.0,0.0"), int(MF_OK));
        QCOMPARE(loudest(reader), 0.0f);
        QCOMPARE(reader.PropsSet("audio_gain", "loud"), int(MF_E_INVALIDARG));
        QString value;
        QCOMPARE(reader.PropsGet("audio_gain", &value), int(MF_OK));
        QCOMPARE(value, QString("-100.0,0.0"));
    }

    void interruptEndsBlockedOpen() {
        // A peer that accepts the connection and never sends: the open blocks probing the input.
        QTcpServer server;
        QVERIFY(server.listen(QHostAddress::LocalHost, 0));
        MFReader reader;
        std::atomic<bool> done{false};
        std::atomic<int> result{MF_OK};
        std::thread reading([&] {
            result = reader.ReaderOpen(QStringLiteral("tcp://127.0.0.1:%1").arg(server.serverPort()), QString());
            done = true;
        });
        const bool connected = testkit::waitUntil([&] { return server.hasPendingConnections(); }, 5000);
        std::unique_ptr<QTcpSocket> peer(server.nextPendingConnection());
        QTest::qWait(200);
        reader.ReaderInterrupt();
        // Well inside the reader's own open bound, so only the interrupt can have ended it.
        const bool ended = testkit::waitUntil([&] { return done.load(); }, MFReader::OPEN_TIMEOUT_MS / 3);
        reading.join();
        QVERIFY(connected);
        QVERIFY(ended);
        QVERIFY(MF_FAILED(result));
    }

    void stalledReadTimesOutThenGoesOn() {
        const QByteArray file = testkit::readFile(fourSeconds);
        QVERIFY(!file.isEmpty());
        // Cut at a transport packet boundary, as a stalled live feed would most often be.
        HeldBackPeer peer(file, file.size() * 3 / 4 / 188 * 188);
        MFReader reader;
        std::atomic<int> openResult{MF_E_FAIL};
        std::atomic<int> framesBeforeStall{0};
        std::atomic<int> stallResult{MF_OK};
        std::atomic<bool> stalled{false};
        std::atomic<bool> goOn{false};
        std::atomic<int> framesAfter{0};
        std::atomic<bool> done{false};
        std::thread reading([&] {
            openResult = reader.ReaderOpen(peer.url(), "network.low_delay=true");
            for (int i = 0; MF_SUCCEEDED(openResult) && i < 500; ++i) {
                MFFramePtr frame;
                const int result = reader.SourceFrameGet(1000, &frame, QString());
                if (result == MF_OK) {
                    ++(stalled ? framesAfter : framesBeforeStall);
                    continue;
                }
                if (stalled)
                    break;
                stallResult = result;
                stalled = true;
                while (!goOn)
                    QThread::msleep(10);
            }
            done = true;
        });
        const bool accepted = peer.accept();
        const bool stalledInTime = testkit::waitUntil([&] { return stalled.load(); }, 20000);
        peer.sendRest();
        goOn = true;
        const bool finished = testkit::waitUntil([&] { return done.load(); }, 20000);
        if (!finished)
            reader.ReaderInterrupt();
        reading.join();
        QVERIFY(accepted);
        QCOMPARE(openResult.load(), int(MF_OK));
        QVERIFY(stalledInTime);
        QCOMPARE(stallResult.load(), int(MF_E_TIMEOUT));
        QVERIFY(finished);
        // The rest of the stream decodes after the time-out; only the frame cut by the stall may come damaged.
        QVERIFY(framesBeforeStall > 10);
        QVERIFY(framesAfter > 10);
        QVERIFY(qAbs(framesBeforeStall + framesAfter - 4 * kVideoFps) <= 1);
    }

    void stopCheckEndsOpenAndRead() {
        // An SRT caller towards a port where nobody listens would wait for the whole open timeout; the
        // caller's stop condition, holding before the open begins, ends it at once (an interrupt sent then
        // would be reset by the open).
        MFReader reader;
        std::atomic<bool> stop{true};
        reader.ReaderStopCheckSet([&stop] { return stop.load(); });
        QElapsedTimer elapsed;
        elapsed.start();
        const QString nobody = QStringLiteral("srt://127.0.0.1:%1?mode=caller").arg(testkit::freePort(true));
        QVERIFY(MF_FAILED(reader.ReaderOpen(nobody, QString())));
        QVERIFY2(elapsed.elapsed() < MFReader::OPEN_TIMEOUT_MS / 5, qPrintable(QString::number(elapsed.elapsed())));

        stop = false;
        QCOMPARE(reader.ReaderOpen(twoSeconds, QString()), int(MF_OK));
        MFFramePtr frame;
        QCOMPARE(reader.SourceFrameGet(-1, &frame, QString()), int(MF_OK));
        stop = true;
        QCOMPARE(reader.SourceFrameGet(-1, &frame, QString()), int(MF_E_FAIL));
    }

    void interruptEndsBlockedRead() {
        const QByteArray file = testkit::readFile(fourSeconds);
        HeldBackPeer peer(file, file.size() / 2 / 188 * 188);
        MFReader reader;
        std::atomic<int> frames{0};
        std::atomic<int> lastResult{MF_OK};
        std::atomic<bool> done{false};
        std::thread reading([&] {
            lastResult = reader.ReaderOpen(peer.url(), "network.low_delay=true");
            while (MF_SUCCEEDED(lastResult)) {
                MFFramePtr frame;
                lastResult = reader.SourceFrameGet(-1, &frame, QString());
                frames += lastResult == MF_OK;
            }
            done = true;
        });
        QVERIFY(peer.accept());
        // Reads until the held-back part: then the request waits for data that never comes.
        int seen = -1;
        const bool stuck = testkit::waitUntil(
            [&] {
                const int now = frames;
                const bool same = now > 0 && now == seen;
                seen = now;
                return same;
            },
            20000, 500);
        reader.ReaderInterrupt();
        // The reader's own stall bound would end the request too, but with MF_E_TIMEOUT: the result tells which.
        const bool ended = testkit::waitUntil([&] { return done.load(); }, 2 * MFReader::STALL_TIMEOUT_MS);
        reading.join();
        QVERIFY(stuck);
        QVERIFY(ended);
        QCOMPARE(lastResult.load(), int(MF_E_FAIL));
        MFFramePtr frame;
        QCOMPARE(reader.SourceFrameGet(0, &frame, QString()), int(MF_E_FAIL));
    }

    void readsSrtReturnFeed() {
        if (!testkit::haveProgram("srt-live-transmit"))
            QSKIP("srt-live-transmit is not installed");
        // ffmpeg plays the file in a loop into a UDP port; srt-live-transmit serves it as an SRT listener;
        // the reader calls it the way the player asks for its return feed.
        const quint16 udpPort = testkit::freePort(true);
        const quint16 srtPort = testkit::freePort(true);
        PeerProcess relay;
        QVERIFY2(relay.start("srt-live-transmit", {"-q", QStringLiteral("udp://127.0.0.1:%1").arg(udpPort),
                                                   QStringLiteral("srt://127.0.0.1:%1?mode=listener").arg(srtPort)}),
                 qPrintable(relay.output()));
        PeerProcess player;
        QVERIFY2(player.start("ffmpeg", {"-hide_banner", "-loglevel", "error", "-re", "-stream_loop", "-1", "-i",
                                         fourSeconds, "-c", "copy", "-f", "mpegts",
                                         QStringLiteral("udp://127.0.0.1:%1?pkt_size=1316").arg(udpPort)}),
                 qPrintable(player.output()));

        const QString url = QStringLiteral("srt://127.0.0.1:%1?mode=caller&streamid=tst#feedbackplay").arg(srtPort);
        const QString options =
            " network.low_delay=true network.buffer_max=2 network.open_async=true network.show_attempts=false";
        MFReader reader;
        int opened = MF_E_FAIL;
        // The listener may take a moment to come up.
        for (int attempt = 0; attempt < 20 && MF_FAILED(opened); ++attempt) {
            opened = reader.ReaderOpen(url, options);
            if (MF_FAILED(opened))
                QTest::qWait(250);
        }
        QVERIFY2(MF_SUCCEEDED(opened), qPrintable(relay.output()));

        // Joining mid-stream: pictures start at the next key frame (at most one loop of the file away).
        int pictures = 0;
        QElapsedTimer elapsed;
        elapsed.start();
        while (pictures < 25 && elapsed.elapsed() < 30000) {
            MFFramePtr frame;
            if (reader.SourceFrameGet(-1, &frame, QString()) != MF_OK)
                continue;
            const MFFormat format = mediatest::formatOf(frame);
            QCOMPARE(QSize(format.width, format.height), QSize(320, 240));
            ++pictures;
        }
        QCOMPARE(pictures, 25);
        reader.ReaderClose();
    }

    void returnFeedValuesReachSrtAsTyped() {
        // The return feed's URL carries the stream id and passphrase percent-encoded; libsrt must see them decoded.
        SrtTestListener::Options options;
        options.passphrase = QStringLiteral("pass&word+100%");
        options.keyLength = 16;
        SrtTestListener listener(options);
        QVERIFY2(listener.start(), qPrintable(listener.errorText()));
        const QString url = QStringLiteral("srt://127.0.0.1:%1?mode=caller&streamid=a%26b%2Bc#feedbackplay"
                                           "&passphrase=pass%26word%2B100%25&pbkeylen=16")
                                .arg(listener.port());
        testkit::MessageCapture log;
        MFReader reader;
        std::atomic<bool> done{false};
        std::thread reading([&] {
            reader.ReaderOpen(url, QString());
            done = true;
        });
        // The listener sends nothing: once the caller is in, the open is cut short.
        const bool accepted = testkit::waitUntil([&] { return listener.callerCount() > 0; }, 10000);
        reader.ReaderInterrupt();
        testkit::waitUntil([&] { return done.load(); }, MFReader::OPEN_TIMEOUT_MS);
        reading.join();
        QVERIFY(accepted);
        const SrtTestListener::Caller caller = listener.callers().first();
        QCOMPARE(caller.streamId, QStringLiteral("a&b+c#feedbackplay"));
        QVERIFY(caller.secured);
        // No part of the passphrase in any form reaches a log line.
        for (const QString &message : log.messages())
            QVERIFY2(!message.contains(QLatin1String("word")), qPrintable(message));
    }
};

QTEST_GUILESS_MAIN(TstReader)
#include "tst_reader.moc"
