// The program streaming 1.5 Mbit/s over a veth shaped to 1 Mbit/s between network namespaces of the test's own:
// with a fixed bitrate the link drops or delays the stream, and the program's --stats records show it.
#include "shapedlink.h"
#include "testkit.h"

#include <QtTest>

#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QSettings>
#include <QTemporaryDir>

#include <csignal>
#include <unistd.h>

namespace {

// The built-in test picture is simple: at 720p libx264 needs about 1.2 Mbit/s for it whatever the target, so the
// link is shaped to two thirds of the 1.5 Mbit/s the operator asks for and of what the encoder really sends.
constexpr double kLinkMbps = 1.0;
constexpr int kStreamKbps = 1500;
constexpr int kReceiverPort = 9000;
constexpr int kLatencyMs = 200;
constexpr int kFirstRecordMs = 30000;
constexpr int kCongestedMs = 15000;

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
    link = std::make_unique<ShapedLink>(QStringLiteral("i13f"));
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

QTEST_GUILESS_MAIN(TestAdaptiveLink)
#include "tst_adaptivelink.moc"
