// The adaptive bitrate against a link narrower than the stream: the program streams its 720p Test Pattern at
// 1.2 Mbit/s (the built-in picture takes no more) over a veth shaped to 0.9 Mbit/s between two namespaces, once
// with a fixed bitrate and once adaptive. It prints the seconds until the sender's link figures are clean (send
// buffer within a quarter of the latency, loss at most 2 %, no drop) for 5 s in a row, and from then on: the send
// rate divided by the link rate, the encoder's last bitrate divided by the link rate, SRT's count of packets the
// sender dropped, and the transport stream packets the receiver's file lacks. A fixed stream never settles; its
// figures are taken from the time the adaptive one must have settled by (15 s).
//
// Needs root for the namespaces. Usage: bench_adaptivelink [seconds per run, default 40]
#include "shapedlink.h"
#include "shapedstream.h"
#include "testkit.h"
#include "tscontinuity.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QThread>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <utility>
#include <vector>

namespace {

constexpr double kLinkMbps = 0.9;
constexpr int kStreamKbps = 1200;
constexpr int kLatencyMs = 200;
constexpr int kFirstRecordMs = 30000;
constexpr int kDefaultRunSeconds = 40;
constexpr int kFixedSettleSeconds = 15;
// From a record to the receiver's file: the link's queue and the SRT latency.
constexpr int kDrainMs = 2000;
constexpr int kPollMs = 250;
constexpr double kCleanLossPercent = 2.0;
constexpr int kCleanRunSeconds = 5;

struct Result {
    bool ok = false;
    QString error;
    double settleSeconds = -1; // -1: never
    double sendRateShare = 0;
    double encoderShare = 0;
    qint64 srtDropped = 0;
    qint64 tsLost = 0;
};

bool clean(const QJsonObject &record) {
    return record.value(QStringLiteral("send_buffer_ms")).toDouble() <= kLatencyMs / 4.0 &&
           record.value(QStringLiteral("lost_percent")).toDouble() <= kCleanLossPercent &&
           ShapedStream::number(record, "dropped_packets") == 0;
}

Result run(ShapedLink &link, bool adaptive, int seconds) {
    Result result;
    QTemporaryDir dir;
    ShapedStream stream(link, QStringLiteral(TIDEWELL_EXECUTABLE), dir.path(),
                        adaptive ? QStringLiteral("adaptive") : QStringLiteral("fixed"), kStreamKbps, kLatencyMs,
                        adaptive);
    if (!stream.started()) {
        result.error = QStringLiteral("the program or srt-live-transmit did not start");
        return result;
    }
    if (!testkit::waitUntil([&] { return !stream.records().isEmpty(); }, kFirstRecordMs, 100)) {
        result.error = QStringLiteral("no --stats record: ") + stream.log().right(300);
        return result;
    }
    // The received file's size over time, to find where the stream after settling begins in it.
    QElapsedTimer clock;
    clock.start();
    std::vector<std::pair<qint64, qint64>> sizes;
    while (clock.elapsed() < seconds * 1000) {
        sizes.emplace_back(clock.elapsed(), QFileInfo(stream.receivedPath()).size());
        QThread::msleep(kPollMs);
    }
    stream.stop();
    const QList<QJsonObject> records = stream.records();

    // Settled: the first of kCleanRunSeconds clean seconds in a row; whatever comes later counts after settling.
    int from = kFixedSettleSeconds;
    for (int first = 0, run = 0; first + run < records.size(); ++run) {
        if (!clean(records[first + run])) {
            first += run + 1;
            run = -1;
        } else if (run + 1 == kCleanRunSeconds) {
            from = first;
            result.settleSeconds = first;
            break;
        }
    }
    if (from >= records.size()) {
        result.error = QStringLiteral("the run was too short");
        return result;
    }
    double sendRate = 0;
    for (int i = from; i < records.size(); ++i) {
        sendRate += records[i].value(QStringLiteral("send_rate_mbps")).toDouble();
        result.srtDropped += ShapedStream::number(records[i], "dropped_packets");
    }
    result.sendRateShare = sendRate / (records.size() - from) / kLinkMbps;
    result.encoderShare = ShapedStream::number(records.last(), "encoder_kbps") / (kLinkMbps * 1000);

    qint64 offset = sizes.empty() ? 0 : sizes.back().second;
    for (const auto &size : sizes) {
        if (size.first >= from * 1000 + kDrainMs) {
            offset = size.second;
            break;
        }
    }
    const QByteArray received = testkit::readFile(stream.receivedPath());
    TsContinuity continuity;
    continuity.feed(received.mid(ShapedStream::syncAfter(received, int(offset))));
    result.tsLost = continuity.missingPackets() + continuity.syncLossBytes() / 188;
    result.ok = true;
    return result;
}

} // namespace

int main(int argc, char **argv) {
    QCoreApplication app(argc, argv);
    const int seconds = argc > 1 ? std::max(kFixedSettleSeconds + 5, atoi(argv[1])) : kDefaultRunSeconds;
    if (!testkit::haveProgram(QStringLiteral("srt-live-transmit"))) {
        std::printf("bench_adaptivelink: skipped, srt-live-transmit is not installed\n");
        return 0;
    }
    ShapedLink link(QStringLiteral("i13ab"));
    QString error;
    if (!link.setUp(&error)) {
        std::printf("bench_adaptivelink: skipped, network namespaces are not available: %s\n", qPrintable(error));
        return 0;
    }
    if (!link.setRate(kLinkMbps, &error)) {
        std::printf("bench_adaptivelink: skipped, the link cannot be shaped: %s\n", qPrintable(error));
        return 0;
    }
    std::printf("%d kbit/s of 720p video asked over a veth shaped to %.2f Mbit/s, SRT latency %d ms, %d s a run\n",
                kStreamKbps, kLinkMbps, kLatencyMs, seconds);
    std::printf("adaptive  settle s  send rate/link  encoder/link  SRT dropped  TS packets lost   (after settling; "
                "never settled: after %d s)\n",
                kFixedSettleSeconds);
    bool failed = false;
    for (const bool adaptive : {false, true}) {
        const Result r = run(link, adaptive, seconds);
        if (!r.ok) {
            std::printf("%-8s  FAILED: %s\n", adaptive ? "on" : "off", qPrintable(r.error));
            failed = true;
            continue;
        }
        const QByteArray settle = r.settleSeconds < 0 ? QByteArray("never") : QByteArray::number(r.settleSeconds);
        std::printf("%-8s  %8s  %14.2f  %12.2f  %11lld  %15lld\n", adaptive ? "on" : "off", settle.constData(),
                    r.sendRateShare, r.encoderShare, qlonglong(r.srtDropped), qlonglong(r.tsLost));
        std::fflush(stdout);
    }
    return failed ? 1 : 0;
}
