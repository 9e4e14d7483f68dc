#include "shapedstream.h"

#include "testkit.h"

#include <QDir>
#include <QJsonDocument>

#include <csignal>
#include <unistd.h>

namespace {
constexpr int kStartMs = 5000;
constexpr int kStopMs = 15000;
constexpr int kKillMs = 5000;
constexpr int kTsPacket = 188;
// A tenth of the picture as new noise: at 720p a stream as wide as asked from a few hundred kbit/s to 5 Mbit/s,
// its key frames four to ten times the others.
constexpr int kNoisePercent = 10;
} // namespace

ShapedStream::ShapedStream(const ShapedLink &link, const QString &program, const QString &directory,
                           const QString &name, int videoKbps, int latencyMs, bool adaptive) {
    const QDir dir(directory);
    config = dir.filePath(name + QStringLiteral(".ini"));
    stats = config + QStringLiteral(".jsonl");
    received = config + QStringLiteral(".ts");
    testkit::writeStreamConfig(
        config,
        {{QStringLiteral("VSOURCE"), QStringLiteral("SoftLab Fake Input 1")},
         {QStringLiteral("ENCSV"), QStringLiteral("Intel Quick Sync (Sofware)")},
         {QStringLiteral("q264sw_params"), QStringLiteral("vbr 1")},
         {QStringLiteral("FRAME"), QStringLiteral("1280x720")},
         {QStringLiteral("VBR"), videoKbps},
         {QStringLiteral("ABR"), QStringLiteral("64")},
         {QStringLiteral("LATENCY"), latencyMs},
         {QStringLiteral("URL"), QStringLiteral("srt://%1:%2").arg(ShapedLink::receiverAddress()).arg(kReceiverPort)},
         {QStringLiteral("STREAMID"), QStringLiteral("cam1")},
         {QStringLiteral("RECONNECT"), 0},
         {QStringLiteral("ADAPTIVE_BITRATE"), adaptive}});

    receiver.setStandardOutputFile(received);
    receiver.start(
        ShapedLink::runner(),
        ShapedLink::inNamespace(link.receiverNamespace(), QStringLiteral("srt-live-transmit"),
                                {QStringLiteral("-q"), QStringLiteral("srt://:%1?mode=listener").arg(kReceiverPort),
                                 QStringLiteral("file://con")}));
    app.setProcessEnvironment(testkit::headlessEnvironment(
        directory, {{QStringLiteral("TIDEWELL_SLD_DRIVER"), QStringLiteral(TIDEWELL_FAKESLDCARD)},
                    {QStringLiteral("FAKE_SLD_NOISE"), QString::number(kNoisePercent)},
                    {QStringLiteral("FAKE_SLD_SIZE"), QStringLiteral("1280x720")}}));
    app.setProcessChannelMode(QProcess::MergedChannels);
    app.setStandardOutputFile(config + QStringLiteral(".log"));
    app.start(ShapedLink::runner(), ShapedLink::inNamespace(link.senderNamespace(), program,
                                                            {QStringLiteral("-platform"), QStringLiteral("offscreen"),
                                                             QStringLiteral("--stats"), stats, config}));
}

ShapedStream::~ShapedStream() {
    stop();
    receiver.kill();
    receiver.waitForFinished(kKillMs);
}

bool ShapedStream::started() {
    return receiver.waitForStarted(kStartMs) && app.waitForStarted(kStartMs);
}

void ShapedStream::stop() {
    if (app.state() == QProcess::NotRunning)
        return;
    ::kill(pid_t(app.processId()), SIGTERM);
    if (!app.waitForFinished(kStopMs)) {
        app.kill();
        app.waitForFinished(kKillMs);
    }
}

QList<QJsonObject> ShapedStream::records() const {
    QList<QJsonObject> list;
    for (const QByteArray &line : testkit::readFile(stats).split('\n')) {
        const QJsonObject record = QJsonDocument::fromJson(line).object();
        // A change of the stream's state writes a record of its own, without figures.
        if (record.contains(QStringLiteral("encoder_kbps")))
            list << record;
    }
    return list;
}

QString ShapedStream::log() const {
    return QString::fromUtf8(testkit::readFile(config + QStringLiteral(".log")));
}

bool ShapedStream::clean(const QJsonObject &record, int latencyMs) {
    return record.value(QStringLiteral("send_buffer_ms")).toDouble() <= latencyMs / 4.0 &&
           record.value(QStringLiteral("lost_percent")).toDouble() <= kCleanLossPercent &&
           number(record, "dropped_packets") == 0;
}

int ShapedStream::settledAt(const QList<QJsonObject> &records, int from, int cleanRun, int latencyMs) {
    for (int first = from, run = 0; first + run < records.size(); ++run) {
        if (!clean(records[first + run], latencyMs)) {
            first += run + 1;
            run = -1;
        } else if (run + 1 == cleanRun) {
            return first;
        }
    }
    return -1;
}

int ShapedStream::syncAfter(const QByteArray &bytes, int from) {
    for (int at = from; at + 2 * kTsPacket < bytes.size(); ++at) {
        if (bytes.at(at) == 0x47 && bytes.at(at + kTsPacket) == 0x47 && bytes.at(at + 2 * kTsPacket) == 0x47)
            return at;
    }
    return int(bytes.size());
}
