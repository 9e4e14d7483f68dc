#include "resender.h"

#include "connectsrt.h"
#include "logsdlg.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QDebug>
#include <QElapsedTimer>
#include <QTimer>

#include <srt/srt.h>

#include <algorithm>
#include <mutex>

namespace {

// The connection's state is looked at this often while the library connects in the background.
constexpr int kConnectPollMs = 10;

void srtLogHandler(void *, int, const char *, int, const char *, const char *message) {
    qDebug() << "libsrt:" << QString::fromLocal8Bit(message).trimmed();
}

// The library is started once per process, by the first relay object, and stays up for the speed test and every
// later run. It is shut down only when the application object goes, before static destructors run: libsrt's
// own static teardown races with its garbage-collector thread if the library is still up by then.
void startSrtLibrary() {
    static std::once_flag started;
    std::call_once(started, [] {
        srt_startup();
        srt_setloghandler(nullptr, srtLogHandler);
        qAddPostRoutine([] { srt_cleanup(); });
    });
}

} // namespace

RESender::RESender(LogsDlg *logWindow, QObject *parent)
    : RelayThread(QStringLiteral("RESender"), QStringLiteral("SRT"), LogEcho::WindowOnly, logWindow, parent) {
    startSrtLibrary();
}

RESender::~RESender() {
    // The run uses this object's members, which go before the base destructor runs.
    if (isRunning()) {
        RESender::requestEnd();
        wait(2 * kPreviousRunWaitMs);
    }
}

bool RESender::startRetransmit(const QString &host, const QString &interfaceAddress, int port, const QString &streamId,
                               int latency, const QString &passphrase, int keyLength, bool lossless,
                               QDeadlineTimer previousRunDeadline) {
    if (!endPreviousRun(previousRunDeadline))
        return true;
    this->host = host;
    this->interfaceAddress = interfaceAddress;
    this->port = port;
    this->streamId = streamId;
    this->latency = latency;
    this->passphrase = passphrase;
    this->keyLength = keyLength;
    this->lossless = lossless;
    beginRun();
    return true;
}

void RESender::stopRetransmit() {
    requestEnd();
    log(QStringLiteral("RESender STOP"));
}

void RESender::requestEnd() {
    markEndRequested();
    // Closing unblocks a send in progress on the relay thread; closing -1 only makes the library complain.
    // A blocking socket in file mode would hold this (often the GUI) thread in the close for up to its linger
    // time while unsent data remains; non-blocking, the library lingers in the background instead.
    const int socket = srtSocket.exchange(-1);
    if (socket != -1) {
        const int no = 0;
        srt_setsockflag(socket, SRTO_SNDSYN, &no, sizeof(no));
    }
    srt_close(socket);
    exit(0);
}

bool RESender::prepareRun() {
    statsPrimed = false;
    pulsesInSecond = 0;
    lastAckTotal = -1;
    ackSilentMs = 0;
    lowestSendBufferMs = -1;
    handedBytes = 0;
    handedMessages = 0;
    paddingSent = 0;
    paddingCredit = 0;
    paddingKbps.store(0);
    {
        QMutexLocker locker(&statsMutex);
        stats = LinkStats();
        stats.transport = QStringLiteral("SRT");
        stats.latencyMs = latency;
        pulseStats = stats;
        pulseStats.intervalMs = kPulseMs;
    }

    QString id = streamId;
    if (alpha.load())
        id += QStringLiteral("#alpha");
    if (!interfaceAddress.isEmpty())
        log(QStringLiteral("Sender network interface:") + interfaceAddress);

    return !endRequested.load() && connectToServer(id);
}

void RESender::startRunTimers(QObject &runScope) {
    auto *pulseTimer = new QTimer(&runScope);
    pulseTimer->setTimerType(Qt::PreciseTimer);
    connect(
        pulseTimer, &QTimer::timeout, pulseTimer, [this] { pulse(); }, Qt::DirectConnection);
    pulse();
    pulseTimer->start(kPulseMs);
    paddingTimer = new QTimer(&runScope);
    paddingTimer->setTimerType(Qt::PreciseTimer);
    connect(
        paddingTimer, &QTimer::timeout, paddingTimer, [this] { sendPadding(); }, Qt::DirectConnection);
    connect(
        &runScope, &QObject::destroyed, paddingTimer, [this] { paddingTimer = nullptr; }, Qt::DirectConnection);
}

bool RESender::sendChunk(const char *data, int size) {
    if (srtSendAll(srtSocket.load(), data, size) == -1)
        return false;
    handedBytes += quint64(size);
    ++handedMessages;
    return true;
}

void RESender::finishRun() {
    // A connect that completed after a Stop leaves its socket here, not yet closed by anyone.
    const int socket = srtSocket.load();
    if (socket == -1)
        return;
    // A run that ends because its encoder closed the connection (the capture stopped first) still holds the
    // stream's last messages in the library's send buffer, and the server holds the acknowledged ones for its
    // latency before it delivers them; a close drops both, and the server's recording would end in a broken
    // frame. They get a bounded moment; a Stop meanwhile takes the socket and closes it, which ends the wait.
    QElapsedTimer draining;
    draining.start();
    const auto open = [&] { return srtSocket.load() == socket && draining.elapsed() < kDrainMs; };
    size_t blocks = 0;
    size_t bytes = 0;
    while (open() && srt_getsndbuffer(socket, &blocks, &bytes) == 0 && bytes > 0)
        QThread::msleep(kDrainPollMs);
    for (const qint64 delivered = draining.elapsed() + latency; open() && draining.elapsed() < delivered;)
        QThread::msleep(kDrainPollMs);
    if (srtSocket.exchange(-1) == socket)
        srt_close(socket);
}

bool RESender::connectToServer(const QString &id) {
    log(QStringLiteral("Connect to SRT ") + host + ':' + QString::number(port) + QStringLiteral("  streamid: ") + id);
    int socket = -1;
    // A blocking connect holds the socket's connection lock until the library's connect timeout, and a Stop's
    // close would wait for that lock; non-blocking, the socket is published first and a Stop ends the attempt.
    const QString result =
        connectSRT(socket, host, interfaceAddress, static_cast<quint16>(port), id, latency, passphrase, keyLength,
                   lossless, [this](int created) {
                       const int no = 0;
                       srt_setsockflag(created, SRTO_RCVSYN, &no, sizeof(no));
                       // Live mode's receivers repeat their loss reports until the repair arrives.
                       // This library release by default repairs at most once a round trip, so a
                       // repair lost on a lossy link waits for the next round trip and often comes
                       // too late for the latency. Repairing at every report costs more
                       // retransmissions but far fewer dropped packets at 15-20 % loss, and the
                       // adaptive bitrate settles as fast on a narrow link (bench_losssweep,
                       // bench_adaptivelink).
                       if (!lossless) {
                           const int everyReport = 0;
                           if (srt_setsockflag(created, SRTO_RETRANSMITALGO, &everyReport, sizeof(everyReport)) != 0)
                               qDebug() << "libsrt: repairs at most once a round trip:" << srt_getlasterror_str();
                       }
                       if (endRequested.load())
                           return false;
                       srtSocket.store(created);
                       return true;
                   });
    const bool connected = result.isEmpty() && waitForSrtConnection(socket, endRequested, kConnectPollMs);
    if (!connected) {
        const int left = srtSocket.exchange(-1);
        // connectSRT closes its socket when it fails; after a failed wait the socket is still open here, unless a
        // Stop took it out first and closed it.
        if (result.isEmpty() && left != -1)
            srt_close(left);
        if (endRequested.load())
            return false;
        log(QStringLiteral("CONNECT FAILED: ") + (result.isEmpty() ? QStringLiteral("SRT CONNECT FAILED") : result));
        reportPhase(Phase::ServerNotAnswering);
        return false;
    }
    log(QStringLiteral("CONNECT: SUCCESS"));
    return true;
}

LinkStats RESender::linkStats() const {
    QMutexLocker locker(&statsMutex);
    return stats;
}

LinkStats RESender::linkPulse() const {
    QMutexLocker locker(&statsMutex);
    return pulseStats;
}

bool RESender::readTotals(int socket, SRT_TRACEBSTATS &perf, Totals &totals) const {
    // The running totals only, never cleared: the second and the pulse are both differences of them.
    if (srt_bistats(socket, &perf, 0, 1) != 0)
        return false;
    totals.atMs = QDateTime::currentMSecsSinceEpoch();
    totals.handedBytes = handedBytes;
    totals.paddingBytes = paddingSent;
    totals.handedMessages = handedMessages;
    totals.sent = perf.pktSentTotal;
    totals.lost = perf.pktSndLossTotal;
    totals.retransmitted = perf.pktRetransTotal;
    totals.dropped = perf.pktSndDropTotal;
    totals.sentBytes = perf.byteSentTotal;
    totals.bufferBytes = perf.byteSndBuf;
    return true;
}

void RESender::fillInterval(LinkStats &stats, const Totals &from, const Totals &to) {
    const double ms = double(std::max<qint64>(to.atMs - from.atMs, 1));
    const auto kbps = [ms](double bytes) { return bytes * 8.0 / ms; };
    const auto count = [](auto later, auto earlier) { return quint64(std::max<qint64>(qint64(later - earlier), 0)); };
    stats.intervalMs = int(ms);
    stats.sentInterval = count(to.sent, from.sent);
    stats.lostInterval = count(to.lost, from.lost);
    stats.retransmittedInterval = count(to.retransmitted, from.retransmitted);
    stats.droppedInterval = count(to.dropped, from.dropped);
    stats.sendRateMbps = kbps(double(to.sentBytes - from.sentBytes)) / 1000.0;
    const double handed = double(to.handedBytes - from.handedBytes);
    const double padding = double(to.paddingBytes - from.paddingBytes);
    stats.inputKbps = kbps(handed - padding);
    stats.paddingKbps = kbps(padding);
    // What the link carried of it, seen two ways, each too high at times. What left the send buffer acknowledged
    // (what went in, less what the buffer holds more than before, less what the library gave up, counted in
    // packets at the stream's own average message size) also counts what the receiver acknowledged only to skip it
    // as too late: once the buffer holds a latency's worth, a link that carries half the stream still seems to
    // take all of it. What was handed over less the share the receiver reported lost cannot see a queue that still
    // fills without loss. The lower of the two.
    const quint64 messages = to.handedMessages - from.handedMessages;
    const double averageMessage = messages ? handed / double(messages) : 0;
    const double acknowledged =
        handed - double(to.bufferBytes - from.bufferBytes) - double(stats.droppedInterval) * averageMessage;
    const double lossShare =
        stats.sentInterval ? std::min(1.0, double(stats.lostInterval) / double(stats.sentInterval)) : 0.0;
    stats.deliveredKbps = kbps(std::max(0.0, std::min(acknowledged, handed * (1 - lossShare))));
}

void RESender::pulse() {
    const int socket = srtSocket.load();
    if (socket == -1)
        return;
    SRT_TRACEBSTATS perf{};
    Totals now;
    if (!readTotals(socket, perf, now))
        return;
    watchAcknowledgements(perf);
    const int wantedPadding = paddingKbps.load();
    if (paddingTimer && (wantedPadding > 0) != paddingTimer->isActive()) {
        if (wantedPadding > 0) {
            paddingCredit = 0;
            paddingClock.start();
            paddingTimer->start(kPaddingTickMs);
        } else {
            paddingTimer->stop();
        }
    }
    // The first reading only primes: it covers the connection's start, not one pulse.
    if (!statsPrimed) {
        statsPrimed = true;
        lastPulse = now;
        lastSecond = now;
        return;
    }
    // The least of the second's readings, not the last: even on an idle link a key frame's burst sits in the
    // buffer for a moment. Only a link that cannot keep up holds the buffer up for the whole second.
    lowestSendBufferMs = lowestSendBufferMs < 0 ? perf.msSndBuf : std::min(lowestSendBufferMs, perf.msSndBuf);
    const bool secondOver = ++pulsesInSecond * kPulseMs >= kStatsIntervalMs;
    QMutexLocker locker(&statsMutex);
    const auto instant = [&](LinkStats &into, double bufferMs) {
        into.utcMs = now.atMs;
        into.rttMs = perf.msRTT;
        into.bandwidthMbps = perf.mbpsBandwidth;
        into.sendBufferMs = std::max(bufferMs, 0.0);
        into.sentTotal = quint64(std::max<qint64>(now.sent, 0));
        into.lostTotal = quint64(std::max(now.lost, 0));
        into.retransmittedTotal = quint64(std::max(now.retransmitted, 0));
        into.droppedTotal = quint64(std::max(now.dropped, 0));
    };
    ++pulseStats.sequence;
    instant(pulseStats, perf.msSndBuf);
    fillInterval(pulseStats, lastPulse, now);
    lastPulse = now;
    if (!secondOver)
        return;
    ++stats.sequence;
    instant(stats, lowestSendBufferMs);
    fillInterval(stats, lastSecond, now);
    lastSecond = now;
    pulsesInSecond = 0;
    lowestSendBufferMs = -1;
}

void RESender::watchAcknowledgements(const SRT_TRACEBSTATS &perf) {
    const bool acknowledged = perf.pktRecvACKTotal != lastAckTotal;
    lastAckTotal = perf.pktRecvACKTotal;
    ackSilentMs = acknowledged || perf.byteSndBuf == 0 ? 0 : ackSilentMs + kPulseMs;
    // Until the library gives up on a dead server, its sends still succeed: without this the stream would say
    // "sending" for seconds while the server gets nothing.
    if (ackSilentMs >= kAckSilenceMs && phase() == Phase::Sending)
        reportPhase(Phase::ServerNotAnswering);
    else if (ackSilentMs == 0 && phase() == Phase::ServerNotAnswering)
        reportPhase(Phase::Sending);
}

void RESender::sendPadding() {
    const int kbps = paddingKbps.load();
    if (kbps <= 0 || stopFlag.load())
        return;
    const int socket = srtSocket.load();
    paddingCredit += double(kbps) * 1000.0 / 8.0 * double(paddingClock.restart()) / 1000.0;
    // Null packets (PID 0x1fff) carry nothing a receiver keeps; they may only go in between whole TS packets.
    static const QByteArray nulls = [] {
        QByteArray packet(kTsPacketSize, char(0xff));
        packet[0] = 0x47;
        packet[1] = 0x1f;
        packet[2] = char(0xff);
        packet[3] = 0x10;
        return packet.repeated(kChunkSize / kTsPacketSize);
    }();
    while (paddingCredit >= kChunkSize && handedBytes % kTsPacketSize == 0) {
        if (srtSendAll(socket, nulls.constData(), kChunkSize) == -1)
            return;
        paddingCredit -= kChunkSize;
        handedBytes += kChunkSize;
        paddingSent += kChunkSize;
        ++handedMessages;
    }
    // What could not go out now is not owed later: a probe is a rate, not an amount.
    paddingCredit = std::min(paddingCredit, double(kChunkSize));
}
