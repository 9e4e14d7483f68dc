#include "peerprocess.h"

#include "countedts.h"
#include "testkit.h"

#include <QRegularExpression>

#include <csignal>
#include <sys/prctl.h>
#include <unistd.h>

void PeerProcess::Child::setupChildProcess() {
    // Runs in the child between fork and exec. A parent that died before the request left the child to another.
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (getppid() != pid_t(parent))
        _exit(127);
}

PeerProcess::~PeerProcess() {
    stop();
}

bool PeerProcess::start(const QString &program, const QStringList &arguments, int startTimeoutMs) {
    process.setProcessChannelMode(QProcess::MergedChannels);
    process.parent = getpid();
    process.start(program, arguments);
    if (!process.waitForStarted(startTimeoutMs)) {
        collected += QStringLiteral("cannot start %1: %2\n").arg(program, process.errorString());
        return false;
    }
    return true;
}

void PeerProcess::stop(int graceMs) {
    if (process.state() == QProcess::NotRunning)
        return;
    process.terminate();
    if (!process.waitForFinished(graceMs)) {
        process.kill();
        process.waitForFinished(graceMs);
    }
}

void PeerProcess::terminate() {
    if (process.state() != QProcess::NotRunning)
        process.terminate();
}

void PeerProcess::kill() {
    if (process.state() == QProcess::NotRunning)
        return;
    process.kill();
    process.waitForFinished(3000);
}

bool PeerProcess::waitForExit(int timeoutMs) {
    if (process.state() == QProcess::NotRunning)
        return true;
    return process.waitForFinished(timeoutMs);
}

bool PeerProcess::isRunning() const {
    return process.state() != QProcess::NotRunning;
}

int PeerProcess::exitCode() const {
    return process.exitCode();
}

bool PeerProcess::endedCleanly() const {
    return process.state() == QProcess::NotRunning && process.exitStatus() == QProcess::NormalExit &&
           process.exitCode() == 0;
}

QString PeerProcess::output() {
    collected += QString::fromLocal8Bit(process.readAll());
    return collected;
}

QString PeerProcess::commandLine() const {
    return process.program() + ' ' + process.arguments().join(' ');
}

bool startSrtFileServer(PeerProcess &server, quint16 port, const QString &outputPath, const QString &query) {
    constexpr int kListeningMs = 15000;
    return server.start(QStringLiteral("sh"),
                        {QStringLiteral("-c"), QStringLiteral("exec srt-live-transmit -q \"$1\" file://con > \"$2\""),
                         QStringLiteral("sh"),
                         QStringLiteral("srt://127.0.0.1:%1?mode=listener%2").arg(port).arg(query), outputPath}) &&
           testkit::waitUntil([port] { return testkit::udpPortBound(port); }, kListeningMs);
}

bool startSrtServer(PeerProcess &server, quint16 port, const QString &output, const QString &query) {
    constexpr int kListeningMs = 5000;
    return server.start(QStringLiteral("srt-live-transmit"),
                        {QStringLiteral("-q"),
                         QStringLiteral("srt://127.0.0.1:%1?mode=listener%2").arg(port).arg(query), output}) &&
           testkit::waitUntil([port] { return testkit::udpPortBound(port); }, kListeningMs);
}

bool startSrtStatsServer(PeerProcess &server, quint16 port, const QString &outputPath, int latencyMs, int statsEvery) {
    constexpr int kListeningMs = 10000;
    return server.start(QStringLiteral("sh"),
                        {QStringLiteral("-c"),
                         QStringLiteral("exec srt-live-transmit -q -s \"$4\" -f -pf csv -statsout \"$1.csv\" "
                                        "\"srt://127.0.0.1:$2?mode=listener&latency=$3\" file://con > \"$1\""),
                         QStringLiteral("sh"), outputPath, QString::number(port), QString::number(latencyMs),
                         QString::number(statsEvery)}) &&
           testkit::waitUntil([port] { return testkit::udpPortBound(port); }, kListeningMs);
}

QMap<QString, QString> lastSrtStats(const QString &csvPath) {
    const QStringList rows =
        QString::fromLatin1(testkit::readFile(csvPath)).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    QMap<QString, QString> figures;
    if (rows.size() < 2)
        return figures;
    const QStringList header = rows.first().split(QLatin1Char(','));
    const QStringList last = rows.last().split(QLatin1Char(','));
    for (int i = 0; i < header.size(); ++i)
        figures.insert(header.at(i), last.value(i));
    return figures;
}

quint16 startImpairProxy(PeerProcess &proxy, quint16 targetPort, const QStringList &impairments, int durationSeconds) {
    constexpr int kListeningMs = 10000;
    const QStringList ends{QStringLiteral("127.0.0.1:0"), QStringLiteral("127.0.0.1:%1").arg(targetPort)};
    if (!proxy.start(QStringLiteral(TIDEWELL_UDPIMPAIRPROXY),
                     ends + impairments + QStringList{QStringLiteral("--duration=%1").arg(durationSeconds)}))
        return 0;
    return countedts::proxyPort(proxy, kListeningMs);
}

qint64 impairProxyCounter(PeerProcess &proxy, const QString &direction, const QString &name) {
    const QString line = proxy.output()
                             .split(QLatin1Char('\n'))
                             .filter(QRegularExpression(QStringLiteral("^") + direction + QLatin1Char(' ')))
                             .value(0);
    const QStringList words = line.split(QLatin1Char(' '));
    const int at = words.indexOf(name);
    return at >= 0 ? words.value(at + 1).toLongLong() : -1;
}
