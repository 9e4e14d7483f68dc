// The program streaming over a veth shaped narrower than the stream, between network namespaces of the test's
// own: with a fixed bitrate the link drops or delays the stream; with the adaptive bitrate the encoder settles
// below the link, the receiver then gets every packet of one valid transport stream, and a widened link brings
// the bitrate back up. The program's --stats records tell what the sender saw.
#include "shapedlink.h"
#include "testkit.h"
#include "tscontinuity.h"

#include <QtTest>

#include <QElapsedTimer>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QSettings>
#include <QTemporaryDir>

#include <csignal>
#include <unistd.h>

namespace {

// The built-in test picture is simple: at 720p its transport stream, sound and packet headers included, stays
// near 1.1 Mbit/s however much more the operator asks for, so a 5 Mbit/s stream over a 3 Mbit/s link would not
// overflow anything. The operator's 1.2 Mbit/s is what the encoder really sends; a link of 0.9 Mbit/s is a
// quarter narrower than that and about what 614 kbit/s of video need, so the adaptive steps (20 % each) must go
// below it, to 491 kbit/s, four steps that take about 11 s.
constexpr double kLinkMbps = 0.9;
constexpr double kWideMbps = 100;
constexpr int kStreamKbps = 1200;
constexpr int kReceiverPort = 9000;
constexpr int kLatencyMs = 200;
constexpr int kFirstRecordMs = 30000;
constexpr int kCongestedMs = 10000;
// From the first record: the encoder must have found its bitrate by then.
constexpr int kSettleMs = 15000;
// What the link still holds from before the last step (its queue, the SRT latency) reaches the receiver.
constexpr int kDrainMs = 2000;
constexpr int kCleanMs = 12000;
// Two steps up of 10 s each, with room to spare.
constexpr int kLiftMs = 25000;
// The SRT latency plus the receiver's writing: how much of the stream's end the file may lack at the stop.
constexpr double kTailSeconds = 2.0;

QList<QJsonObject> records(const QString &path) {
    QList<QJsonObject> list;
    for (const QByteArray &line : testkit::readFile(path).split('\n')) {
        if (!line.isEmpty())
            list << QJsonDocument::fromJson(line).object();
    }
    return list;
}

int number(const QJsonObject &record, const char *key) {
    return record.value(QLatin1String(key)).toInt();
}

// The records in brief, for failure messages: encoder bitrate / send buffer / lost / dropped, one a second.
QString brief(const QList<QJsonObject> &list) {
    QStringList seconds;
    for (const QJsonObject &record : list)
        seconds << QStringLiteral("%1/%2/%3/%4")
                       .arg(number(record, "encoder_kbps"))
                       .arg(number(record, "send_buffer_ms"))
                       .arg(number(record, "lost_packets"))
                       .arg(number(record, "dropped_packets"));
    return seconds.join(QLatin1Char(' '));
}

// The first position at or after from where three transport stream packets in a row begin.
int syncAfter(const QByteArray &bytes, int from) {
    for (int at = from; at + 2 * 188 < bytes.size(); ++at) {
        if (bytes.at(at) == 0x47 && bytes.at(at + 188) == 0x47 && bytes.at(at + 2 * 188) == 0x47)
            return at;
    }
    return int(bytes.size());
}

class Streaming {
public:
    Streaming(ShapedLink &link, const QTemporaryDir &dir, bool adaptive) : dir(dir) {
        config = dir.filePath(adaptive ? QStringLiteral("adaptive.ini") : QStringLiteral("fixed.ini"));
        stats = config + QStringLiteral(".jsonl");
        received = config + QStringLiteral(".ts");
        QSettings ini(config, QSettings::IniFormat);
        ini.setValue(QStringLiteral("VSOURCE"), QStringLiteral("Test Pattern"));
        ini.setValue(QStringLiteral("ASOURCE"), QStringLiteral("original"));
        ini.setValue(QStringLiteral("ENCSV"), QStringLiteral("Intel Quick Sync (Sofware)"));
        ini.setValue(QStringLiteral("q264sw_params"), QStringLiteral("vbr 1"));
        ini.setValue(QStringLiteral("FRAME"), QStringLiteral("1280x720"));
        ini.setValue(QStringLiteral("VBR"), kStreamKbps);
        ini.setValue(QStringLiteral("ABR"), QStringLiteral("64"));
        ini.setValue(QStringLiteral("LATENCY"), kLatencyMs);
        ini.setValue(QStringLiteral("URL"),
                     QStringLiteral("srt://%1:%2").arg(ShapedLink::receiverAddress()).arg(kReceiverPort));
        ini.setValue(QStringLiteral("STREAMID"), QStringLiteral("cam1"));
        ini.setValue(QStringLiteral("RECONNECT"), 0);
        ini.setValue(QStringLiteral("ADAPTIVE_BITRATE"), adaptive);
        ini.sync();

        receiver.setStandardOutputFile(received);
        receiver.start(
            ShapedLink::runner(),
            ShapedLink::inNamespace(link.receiverNamespace(), QStringLiteral("srt-live-transmit"),
                                    {QStringLiteral("-q"), QStringLiteral("srt://:%1?mode=listener").arg(kReceiverPort),
                                     QStringLiteral("file://con")}));
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("HOME"), dir.path());
        env.insert(QStringLiteral("XDG_CONFIG_HOME"), dir.filePath(QStringLiteral("config")));
        env.insert(QStringLiteral("XDG_DATA_HOME"), dir.filePath(QStringLiteral("data")));
        env.remove(QStringLiteral("DISPLAY"));
        app.setProcessEnvironment(env);
        app.setProcessChannelMode(QProcess::MergedChannels);
        app.setStandardOutputFile(config + QStringLiteral(".log"));
        app.start(ShapedLink::runner(),
                  ShapedLink::inNamespace(link.senderNamespace(), QStringLiteral(TIDEWELL_EXECUTABLE),
                                          {QStringLiteral("-platform"), QStringLiteral("offscreen"),
                                           QStringLiteral("--stats"), stats, config}));
    }
    ~Streaming() {
        stop();
        receiver.kill();
        receiver.waitForFinished(5000);
    }
    void stop() {
        if (app.state() == QProcess::NotRunning)
            return;
        ::kill(pid_t(app.processId()), SIGTERM);
        if (!app.waitForFinished(15000)) {
            app.kill();
            app.waitForFinished(5000);
        }
    }
    QString log() const { return QString::fromUtf8(testkit::readFile(config + QStringLiteral(".log"))); }
    bool started() { return receiver.waitForStarted(5000) && app.waitForStarted(5000); }

    const QTemporaryDir &dir;
    QString config;
    QString stats;
    QString received;
    QProcess receiver;
    QProcess app;
};

} // namespace

class TestAdaptiveLink : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanup();
    void fixedBitrateOverflowsTheLink();
    void adaptiveBitrateFitsTheLink();

private:
    std::unique_ptr<ShapedLink> link;
};

void TestAdaptiveLink::initTestCase() {
    if (!testkit::haveProgram(QStringLiteral("srt-live-transmit")) || !testkit::haveProgram(QStringLiteral("ffprobe")))
        QSKIP("srt-live-transmit and ffprobe are needed");
}

void TestAdaptiveLink::cleanup() {
    link.reset();
}

void TestAdaptiveLink::fixedBitrateOverflowsTheLink() {
    link = std::make_unique<ShapedLink>(QStringLiteral("i13af"));
    QString error;
    if (!link->setUp(&error))
        QSKIP(qPrintable(QStringLiteral("network namespaces are not available: ") + error));
    QVERIFY2(link->setRate(kLinkMbps, &error), qPrintable(error));
    QTemporaryDir dir;
    Streaming stream(*link, dir, false);
    QVERIFY(stream.started());
    QVERIFY2(testkit::waitUntil([&] { return !records(stream.stats).isEmpty(); }, kFirstRecordMs, 100),
             qPrintable(stream.log()));
    QTest::qWait(kCongestedMs);
    stream.stop();
    const QList<QJsonObject> list = records(stream.stats);
    const QJsonObject last = list.last();
    QCOMPARE(number(last, "encoder_kbps"), kStreamKbps);
    QVERIFY2(number(last, "dropped_packets_total") > 0 ||
                 last.value(QStringLiteral("send_buffer_ms")).toDouble() > kLatencyMs / 4.0,
             qPrintable(QJsonDocument(last).toJson()));
    QVERIFY(!stream.log().contains(QStringLiteral("ADAPTIVE BITRATE")));
}

void TestAdaptiveLink::adaptiveBitrateFitsTheLink() {
    link = std::make_unique<ShapedLink>(QStringLiteral("i13aa"));
    QString error;
    if (!link->setUp(&error))
        QSKIP(qPrintable(QStringLiteral("network namespaces are not available: ") + error));
    QVERIFY2(link->setRate(kLinkMbps, &error), qPrintable(error));
    QTemporaryDir dir;
    Streaming stream(*link, dir, true);
    QVERIFY(stream.started());
    QVERIFY2(testkit::waitUntil([&] { return !records(stream.stats).isEmpty(); }, kFirstRecordMs, 100),
             qPrintable(stream.log()));
    QElapsedTimer streaming;
    streaming.start();

    // Settled at or below the link within the time allowed, after at least one step down.
    QTest::qWait(kSettleMs);
    QList<QJsonObject> list = records(stream.stats);
    const int settledKbps = number(list.last(), "encoder_kbps");
    QVERIFY2(settledKbps <= qRound(kLinkMbps * 1000), qPrintable(brief(list)));
    // The lowest bitrate the shaped link could not carry.
    int overflowedKbps = 0;
    for (int i = 1; i < list.size(); ++i) {
        if (number(list[i], "encoder_kbps") < number(list[i - 1], "encoder_kbps"))
            overflowedKbps = number(list[i - 1], "encoder_kbps");
    }
    QVERIFY2(overflowedKbps > 0, qPrintable(brief(list)));
    const int settledAt = list.size();
    QTest::qWait(kDrainMs);
    const int cleanFrom = records(stream.stats).size();
    const qint64 cleanBytes = QFileInfo(stream.received).size();

    // No further step down, and nothing lost on the way to the receiver.
    QTest::qWait(kCleanMs);
    list = records(stream.stats);
    for (int i = settledAt; i < list.size(); ++i)
        QVERIFY2(number(list[i], "encoder_kbps") >= settledKbps, qPrintable(brief(list)));
    for (int i = cleanFrom; i < list.size(); ++i)
        QVERIFY2(number(list[i], "dropped_packets") == 0, qPrintable(brief(list)));
    const QByteArray received = testkit::readFile(stream.received);
    const int start = syncAfter(received, int(cleanBytes));
    TsContinuity continuity;
    continuity.feed(received.mid(start));
    QVERIFY2(continuity.packets() * 188 * 8 > kCleanMs / 1000 * settledKbps * 1000 / 2,
             qPrintable(QStringLiteral("%1 packets after byte %2").arg(continuity.packets()).arg(start)));
    QCOMPARE(continuity.syncLossBytes(), 0);
    QCOMPARE(continuity.continuityErrors(), 0);

    // A wide link: the bitrate climbs past what the narrow one could not carry, without a step down or a drop
    // (replacing the shaping may lose what its queue held; SRT repairs that).
    const int liftedFrom = list.size();
    QVERIFY2(link->setRate(kWideMbps, &error), qPrintable(error));
    QVERIFY2(testkit::waitUntil(
                 [&] {
                     list = records(stream.stats);
                     return number(list.last(), "encoder_kbps") > overflowedKbps;
                 },
                 kLiftMs, 500),
             qPrintable(brief(list)));
    const double streamedSeconds = streaming.elapsed() / 1000.0;
    stream.stop();
    list = records(stream.stats);
    for (int i = liftedFrom; i < list.size(); ++i) {
        QVERIFY2(number(list[i], "encoder_kbps") >= number(list[i - 1], "encoder_kbps"), qPrintable(brief(list)));
        QVERIFY2(number(list[i], "dropped_packets") == 0, qPrintable(brief(list)));
    }

    // One transport stream from its first packet to the stop: ffprobe reads every packet to the end. Pictures
    // damaged before the encoder settled make its H.264 parser complain; only a fatal error counts here.
    QByteArray output;
    QCOMPARE(testkit::runProgram(QStringLiteral("ffprobe"),
                                 {QStringLiteral("-v"), QStringLiteral("fatal"), QStringLiteral("-count_packets"),
                                  QStringLiteral("-show_entries"), QStringLiteral("format=duration"),
                                  QStringLiteral("-of"), QStringLiteral("csv=p=0"), stream.received},
                                 60000, &output),
             0);
    const QList<QByteArray> lines = output.trimmed().split('\n');
    QVERIFY2(lines.size() == 1 && lines.last().toDouble() > streamedSeconds - kTailSeconds,
             qPrintable(QStringLiteral("%1 s streamed: %2").arg(streamedSeconds).arg(QString::fromUtf8(output))));
}

QTEST_GUILESS_MAIN(TestAdaptiveLink)
#include "tst_adaptivelink.moc"
