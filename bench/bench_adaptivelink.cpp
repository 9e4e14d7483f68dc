// The adaptive bitrate against links narrower than the stream: the program streams 720p video that fills whatever
// bitrate it is given (new noise every frame, from the tests' capture card driver) over a veth between two
// namespaces shaped with tbf, adaptive on unless a row says otherwise. Per row:
//   settle s     from the narrowing to the first of 5 seconds in a row whose link figures are clean (send buffer
//                within a quarter of the latency, loss at most 2 %, no drop); "never" if that does not come;
//   hold %       how far the encoder's bitrate moved over the 20 s after settling, (highest - lowest) / lowest;
//   encoder/link the encoder's bitrate at the end of those 20 s over the link's rate;
//   dropped, lost  SRT's packets the sender dropped and the TS packets the receiver lacks in those 20 s;
//   step lost    the TS packets lost from the narrowing until settling, and one second's worth of the stream;
//   back s       after the link widens again, the seconds until the encoder is back at the operator's bitrate.
//
// Needs root for the namespaces. Usage: bench_adaptivelink [--keep] [row ...]: only the rows whose names end in
// one of the words; --keep leaves each row's files (configuration, records, program output, received stream) in
// place and prints where.
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
#include <functional>
#include <vector>

namespace {

constexpr int kLatencyMs = 200;
constexpr int kFirstRecordMs = 30000;
constexpr int kPollMs = 250;
constexpr int kCleanRunSeconds = 5;
constexpr int kSettleLimitSeconds = 20;
constexpr int kHoldSeconds = 20;
constexpr int kBackLimitSeconds = 40;
// Before a link narrows mid-stream, the stream runs this long at the operator's bitrate.
constexpr int kBeforeStepSeconds = 12;
// From a record to the receiver's file: the link's queue and the SRT latency.
constexpr int kDrainMs = 2000;
constexpr double kWideMbps = 100;

struct Row {
    const char *name;
    int operatorKbps;
    double fromMbps; // 0: narrow from the start
    double narrowMbps;
    bool adaptive;
};

struct Result {
    QString error;
    double settleSeconds = -1;
    double holdPercent = -1;
    double encoderShare = 0;
    qint64 dropped = 0;
    qint64 lost = 0;
    qint64 stepLost = -1;
    qint64 secondOfStream = 0;
    double backSeconds = -1;
};

// The stream as it runs: the records and the received file's size, sampled together every poll.
struct Watch {
    ShapedStream &stream;
    QElapsedTimer clock;
    std::vector<qint64> atMs;
    std::vector<int> recordCount;
    std::vector<qint64> fileSize;
    QList<QJsonObject> records;

    explicit Watch(ShapedStream &stream) : stream(stream) { clock.start(); }

    void poll() {
        records = stream.records();
        atMs.push_back(clock.elapsed());
        recordCount.push_back(records.size());
        fileSize.push_back(QFileInfo(stream.receivedPath()).size());
    }
    // Polls until done() or seconds pass; false on time-out.
    bool until(const std::function<bool()> &done, int seconds) {
        const qint64 end = clock.elapsed() + seconds * 1000;
        while (clock.elapsed() < end) {
            poll();
            if (done())
                return true;
            QThread::msleep(kPollMs);
        }
        return false;
    }
    // The received file's size once what the records up to index had sent can have arrived.
    qint64 sizeAfterRecord(int index) const {
        for (size_t i = 0; i < recordCount.size(); ++i) {
            if (recordCount[i] > index) {
                for (size_t j = i; j < atMs.size(); ++j)
                    if (atMs[j] >= atMs[i] + kDrainMs)
                        return fileSize[j];
                return fileSize.back();
            }
        }
        return fileSize.empty() ? 0 : fileSize.back();
    }
};

qint64 tsLost(const QByteArray &received, qint64 from, qint64 to) {
    const int start = ShapedStream::syncAfter(received, int(from));
    TsContinuity continuity;
    continuity.feed(received.mid(start, int(std::max<qint64>(to - start, 0))));
    return continuity.missingPackets() + continuity.syncLossBytes() / 188;
}

Result run(ShapedLink &link, const Row &row, bool keep) {
    Result result;
    QString error;
    if (!link.setRate(row.fromMbps > 0 ? row.fromMbps : row.narrowMbps, &error)) {
        result.error = error;
        return result;
    }
    QTemporaryDir dir;
    dir.setAutoRemove(!keep);
    if (keep)
        std::printf("%s: files in %s\n", row.name, qPrintable(dir.path()));
    ShapedStream stream(link, QStringLiteral(TIDEWELL_EXECUTABLE), dir.path(), QStringLiteral("run"), row.operatorKbps,
                        kLatencyMs, row.adaptive);
    if (!stream.started()) {
        result.error = QStringLiteral("the program or srt-live-transmit did not start");
        return result;
    }
    Watch watch(stream);
    if (!watch.until([&] { return !watch.records.isEmpty(); }, kFirstRecordMs / 1000)) {
        result.error = QStringLiteral("no --stats record: ") + stream.log().right(300);
        return result;
    }
    int narrowedAt = 0;
    if (row.fromMbps > 0) {
        watch.until([] { return false; }, kBeforeStepSeconds);
        // One second of the stream at the operator's bitrate, in TS packets, from the last five seconds.
        const size_t last = watch.fileSize.size() - 1;
        size_t five = last;
        while (five > 0 && watch.atMs[last] - watch.atMs[five] < 5000)
            --five;
        result.secondOfStream = (watch.fileSize[last] - watch.fileSize[five]) * 1000 /
                                std::max<qint64>(watch.atMs[last] - watch.atMs[five], 1) / 188;
        if (!link.setRate(row.narrowMbps, &error)) {
            result.error = error;
            return result;
        }
        watch.poll();
        narrowedAt = watch.records.size();
    }
    int settled = -1;
    watch.until(
        [&] {
            settled = ShapedStream::settledAt(watch.records, narrowedAt, kCleanRunSeconds, kLatencyMs);
            return settled >= 0;
        },
        kSettleLimitSeconds);
    const int holdFrom = settled >= 0 ? settled : narrowedAt + kSettleLimitSeconds;
    watch.until([&] { return watch.records.size() >= holdFrom + kHoldSeconds; }, kHoldSeconds + 5);
    const int holdTo = std::min(holdFrom + kHoldSeconds, int(watch.records.size()));
    if (row.adaptive) {
        if (!link.setRate(kWideMbps, &error)) {
            result.error = error;
            return result;
        }
        watch.poll();
        const qint64 widenedMs = watch.clock.elapsed();
        if (watch.until([&] { return ShapedStream::number(watch.records.last(), "encoder_kbps") >= row.operatorKbps; },
                        kBackLimitSeconds))
            result.backSeconds = (watch.clock.elapsed() - widenedMs) / 1000.0;
    }
    stream.stop();
    const QList<QJsonObject> records = stream.records();
    if (holdTo <= holdFrom) {
        result.error = QStringLiteral("the run was too short");
        return result;
    }
    if (settled >= 0)
        result.settleSeconds = settled - narrowedAt;
    int lowest = INT32_MAX;
    int highest = 0;
    for (int i = holdFrom; i < holdTo; ++i) {
        const int kbps = ShapedStream::number(records[i], "encoder_kbps");
        lowest = std::min(lowest, kbps);
        highest = std::max(highest, kbps);
        result.dropped += ShapedStream::number(records[i], "dropped_packets");
    }
    result.holdPercent = lowest > 0 ? 100.0 * (highest - lowest) / lowest : -1;
    result.encoderShare = ShapedStream::number(records[holdTo - 1], "encoder_kbps") / (row.narrowMbps * 1000);
    const QByteArray received = testkit::readFile(stream.receivedPath());
    result.lost = tsLost(received, watch.sizeAfterRecord(holdFrom), watch.sizeAfterRecord(holdTo));
    if (row.fromMbps > 0)
        result.stepLost = tsLost(received, watch.sizeAfterRecord(narrowedAt - 2), watch.sizeAfterRecord(holdFrom));
    return result;
}

} // namespace

int main(int argc, char **argv) {
    QCoreApplication app(argc, argv);
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
    const Row rows[] = {
        {"1.2 over 0.9 Mbit/s, fixed", 1200, 0, 0.9, false},
        {"1.2 over 0.9 Mbit/s", 1200, 0, 0.9, true},
        {"5 over 3 Mbit/s", 5000, 0, 3.0, true},
        {"2 over 3 -> 1 Mbit/s", 2000, 3.0, 1.0, true},
    };
    std::printf("720p noise from the test card, SRT latency %d ms, over a tbf-shaped veth (queue 100 ms); after the "
                "hold the link widens to %.0f Mbit/s\n",
                kLatencyMs, kWideMbps);
    std::printf("%-28s %8s %7s %12s %8s %6s %18s %7s\n", "asked over link", "settle s", "hold %", "encoder/link",
                "dropped", "lost", "step lost / 1 s", "back s");
    QStringList wanted = app.arguments().mid(1);
    const bool keep = wanted.removeAll(QStringLiteral("--keep")) > 0;
    bool failed = false;
    for (const Row &row : rows) {
        if (!wanted.isEmpty() && std::none_of(wanted.begin(), wanted.end(),
                                              [&](const QString &word) { return QString(row.name).endsWith(word); }))
            continue;
        const Result r = run(link, row, keep);
        if (!r.error.isEmpty()) {
            std::printf("%-28s FAILED: %s\n", row.name, qPrintable(r.error));
            failed = true;
            continue;
        }
        const QByteArray settle =
            r.settleSeconds < 0 ? QByteArray("never") : QByteArray::number(r.settleSeconds, 'f', 0);
        const QByteArray step = r.stepLost < 0
                                    ? QByteArray("-")
                                    : QByteArray::number(r.stepLost) + " / " + QByteArray::number(r.secondOfStream);
        const QByteArray back = !row.adaptive       ? QByteArray("-")
                                : r.backSeconds < 0 ? QByteArray("never")
                                                    : QByteArray::number(r.backSeconds, 'f', 1);
        std::printf("%-28s %8s %7.1f %12.2f %8lld %6lld %18s %7s\n", row.name, settle.constData(), r.holdPercent,
                    r.encoderShare, qlonglong(r.dropped), qlonglong(r.lost), step.constData(), back.constData());
        std::fflush(stdout);
    }
    return failed ? 1 : 0;
}
