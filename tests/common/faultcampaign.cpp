#include "faultcampaign.h"

#include "headlessapp.h"
#include "peerprocess.h"
#include "ristpathtopology.h"
#include "risttestreceiver.h"
#include "testkit.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QDeadlineTimer>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkDatagram>
#include <QTemporaryDir>
#include <QThread>
#include <QUdpSocket>
#include <QVariantMap>

#include <memory>
#include <vector>

namespace faultcampaign {
namespace {

constexpr int kStepMs = 50;
constexpr int kFirstDataMs = 30000;
// Bound on the program noticing a fault (its state leaving "sending", or reaching the one a fault leads to).
constexpr int kNoticeMs = 30000;
constexpr int kBackMs = 20000;
// A server that got no byte for this long is getting nothing.
constexpr int kGapMs = 500;
// What counts as the stream flowing again: more than the few packets a new run sends before its encoder's.
constexpr qint64 kFlowingBytes = 16 * 1024;
// The card fails 8 s (at 25 fps) after it was opened, for 3 s; each start of the card counts afresh.
constexpr int kCardFailAfterFrames = 200;
constexpr int kCardFailMs = 3000;
constexpr int kCardFailWaitMs = 40000;
// A path that came back carries again within one path refresh period (10 s) and some.
constexpr int kPathCarriesMs = 15000;
constexpr qint64 kPathCarriesPackets = 50;
constexpr int kStopMs = 15000;
constexpr int kReceiverBufferMs = 200;
// Every fault of a leg may cost a few restarts; none may run out.
constexpr int kReconnects = 1000;
const char kSending[] = "sending";

qint64 nowMs() {
    return QDateTime::currentMSecsSinceEpoch();
}

Outcome named(const QString &fault) {
    Outcome outcome;
    outcome.fault = fault;
    return outcome;
}

// The lines a file gained since the last call.
class LineTail {
public:
    explicit LineTail(QString path) : path(std::move(path)) {}
    QList<QByteArray> more() {
        QFile file(path);
        if (!file.open(QIODevice::ReadOnly) || file.size() <= offset || !file.seek(offset))
            return {};
        const QByteArray text = file.readAll();
        offset += text.size();
        partial += text;
        QList<QByteArray> lines = partial.split('\n');
        partial = lines.takeLast();
        return lines;
    }

private:
    QString path;
    qint64 offset = 0;
    QByteArray partial;
};

// The program headless from a configuration file of its own, in a home of its own, with --stats.
class Program {
public:
    Program(const Options &options, const QVariantMap &config, const QMap<QString, QString> &environment)
        : app(options.program, home, HeadlessApp::config(home, config), {QStringLiteral("--stats"), statsPath()},
              environment) {}
    ~Program() { app.terminate(kStopMs); }
    bool started() { return app.started(); }
    bool running() const { return app.running(); }
    QString statsPath() const { return home.filePath(QStringLiteral("stats.jsonl")); }
    QString logPath() const { return home.filePath(QStringLiteral("app.log")); }
    QString logTail() const { return app.log().right(3000); }

private:
    QTemporaryDir home;
    HeadlessApp app;
};

// srt-live-transmit listening on the loopback, handing what it receives to a socket of ours.
class SrtServer {
public:
    SrtServer() : port(testkit::freePort(true)) { sink.bind(QHostAddress(QHostAddress::LocalHost), 0); }
    bool start() {
        process = std::make_unique<PeerProcess>();
        return startSrtServer(*process, port, QStringLiteral("udp://127.0.0.1:%1").arg(sink.localPort()));
    }
    void kill() { process->kill(); }
    qint64 received() {
        while (sink.hasPendingDatagrams())
            total += sink.receiveDatagram().data().size();
        return total;
    }
    const quint16 port;

private:
    QUdpSocket sink;
    std::unique_ptr<PeerProcess> process;
    qint64 total = 0;
};

// What the server received and what the program said, over time.
class Timeline {
public:
    Timeline(std::function<qint64()> received, const Program &program)
        : received(std::move(received)), program(program), stats(program.statsPath()), log(program.logPath()) {}

    void sample() {
        QCoreApplication::processEvents(QEventLoop::AllEvents, kStepMs);
        samples.push_back({nowMs(), received()});
        for (const QByteArray &line : stats.more()) {
            const QJsonObject record = QJsonDocument::fromJson(line).object();
            const QString state = record.value(QLatin1String("state")).toString();
            const qint64 at = QDateTime::fromString(record.value(QLatin1String("time")).toString(), Qt::ISODateWithMs)
                                  .toMSecsSinceEpoch();
            if (!state.isEmpty() && (states.empty() || states.back().state != state))
                states.push_back({at, state});
        }
        for (const QByteArray &line : log.more()) {
            const int at = line.indexOf("fakesldcard: failing at ");
            if (at >= 0)
                cardFailed = line.mid(at + 24).trimmed().toLongLong();
        }
    }
    // Samples until pred holds or timeoutMs passed; also false once the program has ended.
    bool waitFor(const std::function<bool()> &pred, int timeoutMs) {
        const QDeadlineTimer deadline(timeoutMs);
        for (;;) {
            sample();
            if (pred())
                return true;
            if (deadline.hasExpired() || !program.running())
                return false;
            QThread::msleep(kStepMs);
        }
    }
    void waitMs(int ms) {
        waitFor([] { return false; }, ms);
    }

    QString state() const { return states.empty() ? QString() : states.back().state; }
    // When the fake card last began to fail (its own report), -1 before.
    qint64 cardFailedAt() const { return cardFailed; }
    // The first sample at or after fromMs by which the stream had flowed again since fromMs; -1 when none yet.
    qint64 flowingAt(qint64 fromMs) const {
        const qint64 base = bytesAt(fromMs);
        for (const Sample &s : samples) {
            if (s.ms >= fromMs && s.bytes - base >= kFlowingBytes)
                return s.ms;
        }
        return -1;
    }

    // Waits for the stream after a fault that ended at endMs, then fills in the outcome from the fault's start.
    void measure(Outcome *outcome, qint64 startMs, qint64 endMs) {
        qint64 backAt = -1;
        waitFor(
            [&] {
                backAt = flowingAt(endMs);
                return backAt >= 0;
            },
            kBackMs);
        // Records of the moments before are written by a thread of the program's, a little later.
        waitMs(300);
        const qint64 until = backAt >= 0 ? backAt : nowMs();
        outcome->backSeconds = backAt >= 0 ? (backAt - endMs) / 1000.0 : -1;
        outcome->blindSeconds = blindMs(startMs, until) / 1000.0;
        outcome->states.clear();
        for (qint64 at = startMs;;) {
            const QString now = stateAt(at);
            if (outcome->states.isEmpty() || outcome->states.last() != now)
                outcome->states << now;
            const auto next = std::find_if(states.cbegin(), states.cend(),
                                           [at](const StateChange &change) { return change.ms > at; });
            if (next == states.cend() || next->ms > until)
                break;
            at = next->ms;
        }
        if (backAt < 0 && outcome->problem.isEmpty())
            outcome->problem = program.running() ? QStringLiteral("the stream did not come back")
                                                 : QStringLiteral("the program ended: ") + program.logTail();
    }

private:
    struct Sample {
        qint64 ms;
        qint64 bytes;
    };
    struct StateChange {
        qint64 ms;
        QString state;
    };

    qint64 bytesAt(qint64 ms) const {
        qint64 bytes = samples.empty() ? 0 : samples.front().bytes;
        for (const Sample &s : samples) {
            if (s.ms > ms)
                break;
            bytes = s.bytes;
        }
        return bytes;
    }
    QString stateAt(qint64 ms) const {
        QString state;
        for (const StateChange &change : states) {
            if (change.ms > ms)
                break;
            state = change.state;
        }
        return state;
    }
    // Time between fromMs and untilMs in which the state was "sending" and no byte had come for kGapMs.
    qint64 blindMs(qint64 fromMs, qint64 untilMs) const {
        qint64 blind = 0;
        qint64 lastArrival = fromMs;
        for (size_t i = 1; i < samples.size(); ++i) {
            const Sample &previous = samples[i - 1];
            const Sample &s = samples[i];
            if (s.bytes > previous.bytes)
                lastArrival = s.ms;
            if (s.ms <= fromMs || s.ms > untilMs)
                continue;
            if (stateAt(s.ms) == QLatin1String(kSending) && s.ms - lastArrival > kGapMs)
                blind += s.ms - std::max(previous.ms, fromMs);
        }
        return blind;
    }

    std::function<qint64()> received;
    const Program &program;
    LineTail stats;
    LineTail log;
    std::vector<Sample> samples;
    std::vector<StateChange> states;
    qint64 cardFailed = -1;
};

class Campaign {
public:
    Campaign(const Options &options, const std::function<void(const QString &)> &progress)
        : options(options), progress(progress) {}

    void srtLeg() {
        Outcome card = named(QStringLiteral("capture card failing for 3 s"));
        Outcome srt = named(QStringLiteral("SRT listener killed and restarted"));
        const auto finish = [&](const QString &problem) { record({&card, &srt}, problem); };
        SrtServer server;
        if (!server.start())
            return finish(QStringLiteral("srt-live-transmit did not start"));
        say(QStringLiteral("SRT leg: streaming the capture card"));
        Program program(options,
                        {{"VSOURCE", "SoftLab Fake Input 1"},
                         {"URL", QStringLiteral("127.0.0.1:%1").arg(server.port)},
                         {"STREAMID", "campaign"},
                         {"FPS", "25 fps"},
                         {"VBR", 800},
                         {"RECONNECT", kReconnects}},
                        {{"TIDEWELL_SLD_DRIVER", options.cardDriver},
                         {"FAKE_SLD_FAIL_AFTER", QString::number(kCardFailAfterFrames)},
                         {"FAKE_SLD_FAIL_MS", QString::number(kCardFailMs)}});
        Timeline line([&server] { return server.received(); }, program);
        if (!firstData(program, line))
            return finish(QStringLiteral("no stream at the start: ") + program.logTail());

        // The card fails by itself, a number of frames after it was opened.
        if (line.waitFor([&] { return line.cardFailedAt() >= 0; }, kCardFailWaitMs)) {
            card.provoked = true;
            say(card.fault);
            line.measure(&card, line.cardFailedAt(), line.cardFailedAt() + kCardFailMs);
        } else {
            card.problem = QStringLiteral("the fake card did not fail");
        }
        settle(line);

        say(srt.fault);
        const qint64 start = nowMs();
        server.kill();
        noticed(&srt, line);
        // The program names a silent server within a second, but its connection is only given up when the
        // library's peer timeout ends it; a server back before then would not know that connection. The server
        // returns once the run has failed, so that the time measured is the restart's.
        if (srt.provoked && !line.waitFor([&] { return line.state() == QLatin1String("reconnecting"); }, kNoticeMs))
            srt.problem = QStringLiteral("the run did not fail after its server went");
        if (!server.start())
            srt.problem = QStringLiteral("srt-live-transmit did not start again");
        line.measure(&srt, start, nowMs());
        finish(QString());
    }

    void ristLeg() {
        Outcome encoder = named(QStringLiteral("encoder failing to connect once"));
        Outcome receiverFault = named(QStringLiteral("RIST receiver killed and restarted"));
        Outcome both = named(QStringLiteral("both RIST paths deleted and re-created"));
        Outcome one = named(QStringLiteral("one RIST path deleted and re-created"));
        const auto finish = [&](const QString &problem) { record({&encoder, &receiverFault, &both, &one}, problem); };
        RistTestReceiver receiver;
        // librist's default of a second would hold back what reached the server by as much: the figures are of
        // what reaches it.
        receiver.setInputOptions(QStringLiteral("buffer=%1").arg(kReceiverBufferMs));
        const QString receiverNs = ristpaths::receiverNamespace();
        const QString address = QLatin1String(ristpaths::kReceiverAddress);
        if (!receiver.start(QString(), receiverNs, address))
            return finish(QStringLiteral("ristreceiver did not start: ") + receiver.output());
        const quint16 port = receiver.port();

        // The first run's encoder finds no way to its relay until the program has given that run up.
        say(QStringLiteral("RIST leg: ") + encoder.fault);
        ristpaths::setSenderLoopback(false);
        const qint64 encoderStart = nowMs();
        Program program(
            options,
            {{"RIST_DEST", true},
             {"URL_RIST", QStringLiteral("rist://%1:%2").arg(address).arg(port)},
             {"STREAMID_RIST", "campaign"},
             {"BONDING_RIST", QStringLiteral("%1(1),%2(1)").arg(ristpaths::pathAddress(0), ristpaths::pathAddress(1))},
             {"FPS", "25 fps"},
             {"VBR", 800},
             {"RECONNECT", kReconnects}},
            {});
        Timeline line([&receiver] { return qint64(receiver.data().size()); }, program);
        encoder.provoked =
            program.started() && line.waitFor([&] { return line.state() == QLatin1String("reconnecting"); }, kNoticeMs);
        ristpaths::setSenderLoopback(true);
        if (!encoder.provoked)
            encoder.problem = QStringLiteral("the first run did not fail: ") + program.logTail();
        line.measure(&encoder, encoderStart, nowMs());
        settle(line);

        say(receiverFault.fault);
        qint64 start = nowMs();
        receiver.kill();
        noticed(&receiverFault, line);
        if (!receiver.start(QString(), receiverNs, address, port))
            receiverFault.problem = QStringLiteral("ristreceiver did not start again");
        line.measure(&receiverFault, start, nowMs());
        settle(line);

        say(both.fault);
        start = nowMs();
        both.provoked = ristpaths::dropPath(0) && ristpaths::dropPath(1);
        if (both.provoked && !line.waitFor([&] { return line.state() == QLatin1String("no_network_path"); }, kNoticeMs))
            both.problem = QStringLiteral("the program did not say \"no network path\"");
        if (!ristpaths::restorePath(0) || !ristpaths::restorePath(1))
            both.problem = QStringLiteral("the paths could not be made again");
        line.measure(&both, start, nowMs());
        settle(line);

        say(one.fault);
        start = nowMs();
        one.provoked = ristpaths::dropPath(1);
        line.waitMs(options.onePathDownMs);
        if (!ristpaths::restorePath(1))
            one.problem = QStringLiteral("the path could not be made again");
        const qint64 end = nowMs();
        line.measure(&one, start, end);
        // The path that came back carries its share again.
        const qint64 sentBefore = ristpaths::sentPackets(1);
        if (line.waitFor([&] { return ristpaths::sentPackets(1) - sentBefore > kPathCarriesPackets; }, kPathCarriesMs))
            one.pathCarriesSeconds = (nowMs() - end) / 1000.0;
        else if (one.problem.isEmpty())
            one.problem = QStringLiteral("the path did not carry again within %1 s").arg(kPathCarriesMs / 1000);
        finish(QString());
    }

    QList<Outcome> outcomes;

private:
    // A leg's outcomes go to the list, each that neither came back nor failed otherwise with the leg's problem.
    void record(std::initializer_list<Outcome *> leg, const QString &problem) {
        for (Outcome *outcome : leg) {
            if (outcome->problem.isEmpty() && outcome->backSeconds < 0)
                outcome->problem = problem;
            outcomes << *outcome;
        }
    }
    // A server that went silent is noticed: the program stops saying "sending".
    void noticed(Outcome *outcome, Timeline &line) {
        outcome->provoked = line.waitFor([&] { return line.state() != QLatin1String(kSending); }, kNoticeMs);
        if (!outcome->provoked)
            outcome->problem = QStringLiteral("the program went on saying \"sending\"");
    }
    void say(const QString &text) {
        if (progress)
            progress(text);
    }
    bool firstData(Program &program, Timeline &line) {
        const qint64 start = nowMs();
        return program.started() &&
               line.waitFor([&] { return line.flowingAt(start) >= 0 && line.state() == QLatin1String(kSending); },
                            kFirstDataMs);
    }
    // The stream flows, and says so, for a while before the next fault.
    void settle(Timeline &line) {
        line.waitMs(options.settleMs);
        line.waitFor([&] { return line.state() == QLatin1String(kSending); }, kBackMs);
    }

    const Options options;
    const std::function<void(const QString &)> progress;
};

} // namespace

QString prepare() {
    for (const char *program : {"srt-live-transmit", "ristreceiver"}) {
        if (!testkit::haveProgram(QLatin1String(program)))
            return QStringLiteral("%1 is needed").arg(QLatin1String(program));
    }
    QString error;
    if (!ristpaths::build(&error) || !ristpaths::enterSender(&error))
        return error;
    return QString();
}

void cleanUp() {
    ristpaths::remove();
}

QList<Outcome> run(const Options &options, const std::function<void(const QString &)> &progress) {
    Campaign campaign(options, progress);
    campaign.srtLeg();
    campaign.ristLeg();
    return campaign.outcomes;
}

} // namespace faultcampaign
