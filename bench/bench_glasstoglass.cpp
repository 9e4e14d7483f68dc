// Glass-to-glass latency on loopback, read off the picture: Tidewell captures the Test Pattern with the timecode
// strip, encodes it (one row each for libx264 and libx265, 1280x720, 25 fps, 2 Mbit/s) and sends it through its SRT
// relay to a local SRT listener at latency 120 ms; the reader decodes the stream and reads the strip back from each
// frame. Latency is the clock when the frame is decoded minus the stamped time (the same clock on both ends here).
//
// Floor: SRT latency + one frame + the encoder's time per frame (measured first, on its own). Target: p95 within
// the SRT latency + 100 ms.
// Usage: bench_glasstoglass [seconds=20 per row]
#include "capturestreamer.h"
#include "mfformat.h"
#include "mformats.h"
#include "mfreader.h"
#include "mfresult.h"
#include "mfvitcreader.h"
#include "mfwriter.h"
#include "networkclock.h"
#include "resender.h"
#include "vitcstrip.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QSize>
#include <QTemporaryDir>
#include <QThread>
#include <QUdpSocket>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <thread>
#include <vector>

namespace {

constexpr int kSrtLatencyMs = 120;
constexpr int kWidth = 1280;
constexpr int kHeight = 720;
constexpr int kRate = 25;
constexpr int kVideoKbps = 2000;
constexpr int kEncodeSampleFrames = 50;
// The frames read while the reader catches up with what queued during its probe are not measured.
constexpr int kWarmUpMs = 3000;
const char *const kCodecs[] = {"q264sw", "x265sw"};

void quietHandler(QtMsgType type, const QMessageLogContext &, const QString &message) {
    if (type >= QtWarningMsg)
        std::fprintf(stderr, "%s\n", qPrintable(message));
}

quint16 freeUdpPort() {
    QUdpSocket socket;
    socket.bind(QHostAddress(QHostAddress::LocalHost), 0);
    return socket.localPort();
}

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

// The encoder's own time per frame: stamped 720p Test Pattern frames written to a file.
double encodeMsPerFrame(const char *codec) {
    QTemporaryDir dir;
    MFormats source;
    source.setVirtualClock(true);
    if (MF_FAILED(source.DeviceSet(eMFDT_Video, patternIndex(source), QStringLiteral("test_pattern.size=1280x720"))))
        return -1.0;
    MFWriter writer;
    const QString options = CaptureStreamer::writerOptions(kRate, 1, QLatin1String(codec), QString(), kVideoKbps, 0, 0);
    if (MF_FAILED(writer.WriterSet(dir.filePath(QStringLiteral("encode.ts")), 1, options)))
        return -1.0;
    MFFormat ask;
    ask.width = kWidth;
    ask.height = kHeight;
    ask.frameRate = kRate;
    qint64 spentNs = 0;
    for (int i = 0; i < kEncodeSampleFrames; ++i) {
        MFFramePtr frame;
        if (MF_FAILED(source.SourceFrameConvertedGetByFormat(ask, &frame, -1, QString())))
            return -1.0;
        uint8_t bits[kVitcBits];
        buildVitcBits(12, 0, i / kRate, i % kRate, kRate, 0, bits);
        frame->MFPrint(vitcMarkup(bits), 0.5, 0.0, kHeight - 3.0, kWidth, 3.0, 256, QString());
        QElapsedTimer timer;
        timer.start();
        writer.ReceiverFramePut(frame, -1, QString());
        spentNs += timer.nsecsElapsed();
    }
    writer.WriterClose();
    return spentNs / 1e6 / kEncodeSampleFrames;
}

double percentile(std::vector<qint64> sorted, double p) {
    if (sorted.empty())
        return 0.0;
    std::sort(sorted.begin(), sorted.end());
    const size_t index = std::min(sorted.size() - 1, size_t(p / 100.0 * double(sorted.size() - 1) + 0.5));
    return double(sorted[index]);
}

// One row: the stream through the codec for the given time; false when it did not run.
bool measureRow(const char *codec, int seconds) {
    const double encodeMs = encodeMsPerFrame(codec);
    if (encodeMs < 0) {
        std::fprintf(stderr, "%s does not open on this machine\n", codec);
        return false;
    }

    // The reader listens; the relay calls it, as it would call a server.
    const quint16 port = freeUdpPort();
    const QString url =
        QStringLiteral("srt://127.0.0.1:%1?mode=listener&latency=%2").arg(port).arg(kSrtLatencyMs * 1000);
    MFReader reader;
    std::atomic<int> opened{1};
    std::thread opener([&] { opened = reader.ReaderOpen(url, QStringLiteral("network.low_delay=true")); });
    QThread::msleep(300);

    RESender sender(nullptr);
    sender.startRetransmit(QStringLiteral("127.0.0.1"), QString(), port, QStringLiteral("g2g"), kSrtLatencyMs,
                           QString(), 16, false);
    for (int i = 0; i < 500 && sender.listenPort.load() == 0; ++i)
        QThread::msleep(10);
    CaptureStreamer capture;
    capture.setDevices(QStringLiteral("Test Pattern"), QStringLiteral("NO_AUDIO"));
    capture.setOutputParams(QSize(kWidth, kHeight), kVideoKbps, 0);
    capture.setVITC(true);
    if (sender.listenPort.load() <= 0 ||
        !capture.startCapture(sender.listenPort.load(), kRate, 3, 1, QLatin1String(codec), QString(), QString(), 0)) {
        std::fprintf(stderr, "the stream did not start\n");
        reader.ReaderInterrupt();
        opener.join();
        return false;
    }
    opener.join();
    if (opened.load() != MF_OK) {
        std::fprintf(stderr, "the reader did not open %s\n", qPrintable(url));
        capture.stopCapture();
        sender.stopRetransmit();
        capture.wait(10000);
        sender.wait(10000);
        return false;
    }

    std::vector<qint64> latencies;
    int unread = 0;
    QElapsedTimer run;
    run.start();
    while (run.elapsed() < seconds * 1000LL) {
        MFFramePtr frame;
        if (reader.SourceFrameGet(-1, &frame, QString()) != MF_OK || !frame)
            break;
        const QDateTime now = networkClockNow();
        MFVitcCode code;
        if (run.elapsed() < kWarmUpMs)
            continue;
        if (MFVitcReader::read(*frame, &code))
            latencies.push_back(code.latencyMs(now));
        else
            ++unread;
    }
    capture.stopCapture();
    sender.stopRetransmit();
    reader.ReaderInterrupt();
    capture.wait(10000);
    sender.wait(10000);
    reader.ReaderClose();

    const double frameMs = 1000.0 / kRate;
    const double floorMs = kSrtLatencyMs + frameMs + encodeMs;
    std::printf("glass-to-glass over SRT on loopback, %dx%d@%d %s %d kbit/s, SRT latency %d ms, %d s\n", kWidth,
                kHeight, kRate, codec, kVideoKbps, kSrtLatencyMs, seconds);
    std::printf("frames read after %d ms of warm-up %zu, strip unreadable %d\n", kWarmUpMs, latencies.size(), unread);
    std::printf("latency p50 %.0f ms  p95 %.0f ms  p99 %.0f ms\n", percentile(latencies, 50), percentile(latencies, 95),
                percentile(latencies, 99));
    std::printf("floor %.0f ms (SRT %d + frame %.0f + encode %.1f); target p95 <= %d ms: %s\n", floorMs, kSrtLatencyMs,
                frameMs, encodeMs, kSrtLatencyMs + 100,
                percentile(latencies, 95) <= kSrtLatencyMs + 100 && !latencies.empty() ? "met" : "MISSED");
    return !latencies.empty();
}

} // namespace

int main(int argc, char *argv[]) {
    QCoreApplication app(argc, argv);
    qInstallMessageHandler(quietHandler);
    const int seconds = argc > 1 ? std::max(kWarmUpMs / 1000 + 2, std::atoi(argv[1])) : 20;
    int failures = 0;
    for (const char *codec : kCodecs) {
        if (!measureRow(codec, seconds))
            ++failures;
    }
    return failures ? 1 : 0;
}
