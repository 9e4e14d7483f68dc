#include "peerprocess.h"

#include "testkit.h"

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
