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
    destinations[0].host = host;
    destinations[0].interfaceAddress = interfaceAddress;
    destinations[0].port = port;
    destinations[1].host = backupHost;
    destinations[1].interfaceAddress = backupInterface;
    destinations[1].port = backupPort;
    destinationsInRun.store(backupPort > 0 ? 2 : 1);
    this->streamId = streamId;
    this->latency = latency;
    this->passphrase = passphrase;
    this->keyLength = keyLength;
    this->lossless = lossless;
    beginRun();
    return true;
}

void RESender::setBackupServer(const QString &address, const QString &interfaceAddress, int port) {
    backupHost = address;
    backupInterface = interfaceAddress;
    backupPort = std::max(port, 0);
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
    const auto close = [](int socket) {
        if (socket != -1) {
            const int no = 0;
            srt_setsockflag(socket, SRTO_SNDSYN, &no, sizeof(no));
        }
        srt_close(socket);
    };
    close(destinations[0].socket.exchange(-1));
    for (Destination &destination : destinations) {
        if (&destination != &destinations[0] && destination.socket.load() != -1)
            close(destination.socket.exchange(-1));
        if (destination.connecting.load() != -1)
            close(destination.connecting.exchange(-1));
    }
    exit(0);
}

QString RESender::destinationName(size_t index) const {
    const Destination &destination = destinations[index];
    return (index == 0 ? QStringLiteral("MAIN ") : QStringLiteral("BACKUP ")) + destination.host + ':' +
           QString::number(destination.port);
}

bool RESender::prepareRun() {
    pulsesInSecond = 0;
    streamBytes = 0;
    paddingCredit = 0;
    paddingKbps.store(0);
    {
        QMutexLocker locker(&statsMutex);
        stats = LinkStats();
        stats.transport = QStringLiteral("SRT");
        stats.latencyMs = latency;
        pulseStats = stats;
        pulseStats.intervalMs = kPulseMs;
        for (Destination &destination : destinations) {
            destination.statsPrimed = false;
            destination.lowestSendBufferMs = -1;
            destination.lastAckTotal = -1;
            destination.ackSilentMs = 0;
            destination.handedBytes = 0;
            destination.handedMessages = 0;
            destination.paddingSent = 0;
            destination.connected = false;
            destination.secondFigures = stats;
            destination.pulseFigures = pulseStats;
        }
    }

    runStreamId = streamId;
    if (alpha.load())
        runStreamId += QStringLiteral("#alpha");
    if (!destinations[0].interfaceAddress.isEmpty())
        log(QStringLiteral("Sender network interface:") + destinations[0].interfaceAddress);

    if (endRequested.load())
        return false;
    return destinationsInRun.load() == 1 ? connectToServer(runStreamId) : connectBoth(runStreamId);
}

void RESender::encoderWaitSlice() {
    if (destinationsInRun.load() > 1)
        watchDestinations();
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
    if (destinationsInRun.load() > 1) {
        auto *watch = new QTimer(&runScope);
        connect(
            watch, &QTimer::timeout, watch, [this] { watchDestinations(); }, Qt::DirectConnection);
        watch->start(kWatchPollMs);
    }
}

bool RESender::sendChunk(const char *data, int size) {
    streamBytes += quint64(size);
    if (destinationsInRun.load(std::memory_order_relaxed) == 1) {
        Destination &only = destinations[0];
        if (srtSendAll(only.socket.load(), data, size) == -1) {
            // The relay counts the failure; what the library said is for whoever reads the diagnostics.
            qDebug() << "srt_send:" << srt_getlasterror_str();
            return false;
        }
        only.handedBytes += quint64(size);
        ++only.handedMessages;
        return true;
    }
    // Every message to every server that takes the stream; the chunk counts as sent when one of them took it.
    bool taken = false;
    for (size_t index = 0; index < destinations.size(); ++index) {
        Destination &destination = destinations[index];
        const int socket = destination.socket.load();
        if (socket == -1)
            continue;
        if (srtSendAll(socket, data, size) == -1) {
            loseDestination(index);
            continue;
        }
        destination.handedBytes += quint64(size);
        ++destination.handedMessages;
        taken = true;
    }
    return taken;
}

void RESender::finishRun() {
    // A connect that completed after a Stop leaves its socket here, not yet closed by anyone.
    for (Destination &destination : destinations) {
        const int pending = destination.connecting.exchange(-1);
        if (pending != -1)
            srt_close(pending);
    }
    std::array<int, 2> sockets{destinations[0].socket.load(), destinations[1].socket.load()};
    if (sockets[0] == -1 && sockets[1] == -1)
        return;
    // A run that ends because its encoder closed the connection (the capture stopped first) still holds the
    // stream's last messages in the library's send buffer, and the server holds the acknowledged ones for its
    // latency before it delivers them; a close drops both, and the server's recording would end in a broken
    // frame. They get a bounded moment; a Stop meanwhile takes the sockets and closes them, which ends the wait.
    QElapsedTimer draining;
    draining.start();
    const auto open = [&] {
        for (size_t index = 0; index < sockets.size(); ++index) {
            if (sockets[index] != -1 && destinations[index].socket.load() != sockets[index])
                return false;
        }
        return draining.elapsed() < kDrainMs;
    };
    const auto buffered = [&] {
        for (const int socket : sockets) {
            size_t blocks = 0;
            size_t bytes = 0;
            if (socket != -1 && srt_getsndbuffer(socket, &blocks, &bytes) == 0 && bytes > 0)
                return true;
        }
        return false;
    };
    while (open() && buffered())
        QThread::msleep(kDrainPollMs);
    for (const qint64 delivered = draining.elapsed() + latency; open() && draining.elapsed() < delivered;)
        QThread::msleep(kDrainPollMs);
    for (size_t index = 0; index < sockets.size(); ++index) {
        if (sockets[index] != -1 && destinations[index].socket.exchange(-1) == sockets[index])
            srt_close(sockets[index]);
    }
}

bool RESender::connectToServer(const QString &id) {
    Destination &main = destinations[0];
    log(QStringLiteral("Connect to SRT ") + main.host + ':' + QString::number(main.port) +
        QStringLiteral("  streamid: ") + id);
    int socket = -1;
    // A blocking connect holds the socket's connection lock until the library's connect timeout, and a Stop's
    // close would wait for that lock; non-blocking, the socket is published first and a Stop ends the attempt.
    const QString result = connectSRT(socket, main.host, main.interfaceAddress, static_cast<quint16>(main.port), id,
                                      latency, passphrase, keyLength, lossless, [this, &main](int created) {
                                          prepareSocket(created);
                                          if (endRequested.load())
                                              return false;
                                          main.socket.store(created);
                                          return true;
                                      });
    const bool connected = result.isEmpty() && waitForSrtConnection(socket, endRequested, kConnectPollMs);
    if (!connected) {
        const int left = main.socket.exchange(-1);
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

void RESender::prepareSocket(int created) const {
    const int no = 0;
    srt_setsockflag(created, SRTO_RCVSYN, &no, sizeof(no));
    // Live mode's receivers repeat their loss reports until the repair arrives. This library release by default
    // repairs at most once a round trip, so a repair lost on a lossy link waits for the next round trip and often
    // comes too late for the latency. Repairing at every report costs more retransmissions but far fewer dropped
    // packets at 15-20 % loss, and the adaptive bitrate settles as fast on a narrow link (bench_losssweep,
    // bench_adaptivelink).
    if (!lossless) {
        const int everyReport = 0;
        if (srt_setsockflag(created, SRTO_RETRANSMITALGO, &everyReport, sizeof(everyReport)) != 0)
            qDebug() << "libsrt: repairs at most once a round trip:" << srt_getlasterror_str();
    }
}

void RESender::startReconnect(size_t index) {
    Destination &destination = destinations[index];
    destination.since.start();
    int socket = -1;
    const QString result =
        connectSRT(socket, destination.host, destination.interfaceAddress, static_cast<quint16>(destination.port),
                   runStreamId, latency, passphrase, keyLength, lossless, [this, &destination](int created) {
                       prepareSocket(created);
                       if (endRequested.load())
                           return false;
                       destination.connecting.store(created);
                       return true;
                   });
    // A failed start waits for the next attempt like a failed connect; connectSRT closed its socket.
    if (!result.isEmpty())
        destination.connecting.store(-1);
}

bool RESender::connectBoth(const QString &id) {
    for (size_t index = 0; index < destinations.size(); ++index) {
        const Destination &destination = destinations[index];
        log((index == 0 ? QStringLiteral("Connect to SRT ") : QStringLiteral("Connect to backup SRT ")) +
            destination.host + ':' + QString::number(destination.port) + QStringLiteral("  streamid: ") + id);
        if (index > 0 && !destination.interfaceAddress.isEmpty())
            log(QStringLiteral("Backup network interface:") + destination.interfaceAddress);
        startReconnect(index);
    }
    // Both connect side by side, so that a dead server costs the other nothing but the wait below; once one is
    // up the other gets a short grace to be up from the first message, and after that joins in the background.
    QElapsedTimer firstUp;
    while (!endRequested.load()) {
        bool pending = false;
        for (size_t index = 0; index < destinations.size(); ++index) {
            Destination &destination = destinations[index];
            const int socket = destination.connecting.load();
            if (socket == -1 || destination.connected)
                continue;
            const SRT_SOCKSTATUS state = srt_getsockstate(socket);
            if (state == SRTS_CONNECTED) {
                destination.connected = true;
                if (!firstUp.isValid())
                    firstUp.start();
            } else if (state == SRTS_CONNECTING || state == SRTS_OPENED || state == SRTS_INIT) {
                pending = true;
            } else if (destination.connecting.exchange(-1) == socket) {
                srt_close(socket);
            }
        }
        if (!pending || (firstUp.isValid() && firstUp.elapsed() >= kJoinGraceMs))
            break;
        QThread::msleep(kConnectPollMs);
    }
    bool any = false;
    for (size_t index = 0; index < destinations.size(); ++index) {
        Destination &destination = destinations[index];
        const QString prefix = index == 0 ? QString() : QStringLiteral("BACKUP ");
        if (destination.connected) {
            // Nothing has been sent yet: the stream starts here on a packet boundary.
            destination.connected = false;
            destination.socket.store(destination.connecting.exchange(-1));
            log(prefix + QStringLiteral("CONNECT: SUCCESS"));
            any = true;
        } else if (!endRequested.load()) {
            // One still connecting after the grace joins when it is up; one that failed is tried again.
            log(prefix + (destination.connecting.load() == -1 ? QStringLiteral("CONNECT FAILED: SRT CONNECT FAILED")
                                                              : QStringLiteral("CONNECT: still connecting")));
        }
    }
    if (endRequested.load())
        return false;
    if (!any)
        reportPhase(Phase::ServerNotAnswering);
    return any;
}

void RESender::loseDestination(size_t index) {
    Destination &destination = destinations[index];
    const int socket = destination.socket.exchange(-1);
    if (socket == -1)
        return;
    srt_close(socket);
    // Its figures would otherwise go on from the totals of the socket that is gone.
    destination.statsPrimed = false;
    destination.lastAckTotal = -1;
    destination.ackSilentMs = 0;
    {
        QMutexLocker locker(&statsMutex);
        destination.pulseFigures.sequence = 0;
        destination.secondFigures.sequence = 0;
    }
    destination.since.start();
    if (!stopFlag.load())
        log(QStringLiteral("SRT SERVER LOST: ") + destinationName(index) +
            QStringLiteral(", trying again every %1 s").arg(kReconnectMs / 1000));
}

void RESender::watchDestinations() {
    if (stopFlag.load())
        return;
    for (size_t index = 0; index < destinations.size(); ++index) {
        Destination &destination = destinations[index];
        if (destination.socket.load() != -1) {
            // A server that went quiet is noticed here too, not only by a send that fails.
            const SRT_SOCKSTATUS state = srt_getsockstate(destination.socket.load());
            if (state == SRTS_BROKEN || state == SRTS_CLOSED || state == SRTS_NONEXIST)
                loseDestination(index);
            continue;
        }
        const int socket = destination.connecting.load();
        if (socket == -1) {
            if (!destination.since.isValid() || destination.since.elapsed() >= kReconnectMs)
                startReconnect(index);
            continue;
        }
        const SRT_SOCKSTATUS state = srt_getsockstate(socket);
        if (state == SRTS_CONNECTED) {
            if (!destination.connected) {
                destination.connected = true;
                destination.since.start();
            }
            // A server that joins mid-stream starts on a whole TS packet, so that its receiver's first packet is
            // not a broken one; should the reads never end on one, it joins anyway after a moment.
            if (streamBytes % kTsPacketSize != 0 && destination.since.elapsed() < kJoinGraceMs)
                continue;
            destination.connected = false;
            destination.socket.store(destination.connecting.exchange(-1));
            log(QStringLiteral("SRT SERVER BACK: ") + destinationName(index));
        } else if (state != SRTS_CONNECTING && state != SRTS_OPENED && state != SRTS_INIT) {
            if (destination.connecting.exchange(-1) == socket)
                srt_close(socket);
        }
    }
}

const RESender::Destination &RESender::leading() const {
    return destinationsInRun.load() > 1 && destinations[0].socket.load() == -1 && destinations[1].socket.load() != -1
               ? destinations[1]
               : destinations[0];
}

LinkStats RESender::linkStats() const {
    QMutexLocker locker(&statsMutex);
    return stats;
}

LinkStats RESender::linkPulse() const {
    QMutexLocker locker(&statsMutex);
    return pulseStats;
}

bool RESender::readTotals(const Destination &destination, int socket, SRT_TRACEBSTATS &perf, Totals &totals) const {
    // The running totals only, never cleared: the second and the pulse are both differences of them.
    if (srt_bistats(socket, &perf, 0, 1) != 0)
        return false;
    totals.atMs = QDateTime::currentMSecsSinceEpoch();
    totals.handedBytes = destination.handedBytes;
    totals.paddingBytes = destination.paddingSent;
    totals.handedMessages = destination.handedMessages;
    totals.sent = perf.pktSentTotal;
    totals.lost = perf.pktSndLossTotal;
    totals.retransmitted = perf.pktRetransTotal;
    totals.dropped = perf.pktSndDropTotal;
    totals.sentBytes = perf.byteSentTotal;
    totals.bufferBytes = perf.byteSndBuf;
    return true;
}

void RESender::fillInterval(LinkStats &stats, const Totals &from, const Totals &to, double &owedBytes) {
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
    double delivered = std::max(0.0, std::min(acknowledged, handed * (1 - lossShare)));
    // Without loss or drops, what the buffer held at the last reading and has since given up was delivered: a key
    // frame handed over just before a reading seems short then and would never be made up for.
    if (stats.lostInterval == 0 && stats.droppedInterval == 0) {
        if (acknowledged > handed) {
            delivered = std::min(acknowledged, handed + owedBytes);
            owedBytes -= delivered - handed;
        } else {
            owedBytes += handed - delivered;
        }
    } else {
        owedBytes = 0;
    }
    stats.deliveredKbps = kbps(delivered);
}

bool RESender::pulseDestination(Destination &destination, bool secondOver) {
    const int socket = destination.socket.load();
    if (socket == -1)
        return false;
    SRT_TRACEBSTATS perf{};
    Totals now;
    if (!readTotals(destination, socket, perf, now))
        return false;
    const bool acknowledged = perf.pktRecvACKTotal != destination.lastAckTotal;
    destination.lastAckTotal = perf.pktRecvACKTotal;
    destination.ackSilentMs = acknowledged || perf.byteSndBuf == 0 ? 0 : destination.ackSilentMs + kPulseMs;
    // The first reading only primes: it covers the connection's start, not one pulse.
    if (!destination.statsPrimed) {
        destination.statsPrimed = true;
        destination.lastPulse = now;
        destination.lastSecond = now;
        destination.pulseOwedBytes = 0;
        destination.secondOwedBytes = 0;
        return false;
    }
    // The least of the second's readings, not the last: even on an idle link a key frame's burst sits in the
    // buffer for a moment. Only a link that cannot keep up holds the buffer up for the whole second.
    destination.lowestSendBufferMs =
        destination.lowestSendBufferMs < 0 ? perf.msSndBuf : std::min(destination.lowestSendBufferMs, perf.msSndBuf);
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
    ++destination.pulseFigures.sequence;
    instant(destination.pulseFigures, perf.msSndBuf);
    fillInterval(destination.pulseFigures, destination.lastPulse, now, destination.pulseOwedBytes);
    destination.lastPulse = now;
    if (secondOver) {
        ++destination.secondFigures.sequence;
        instant(destination.secondFigures, destination.lowestSendBufferMs);
        fillInterval(destination.secondFigures, destination.lastSecond, now, destination.secondOwedBytes);
        destination.lastSecond = now;
        destination.lowestSendBufferMs = -1;
    }
    return true;
}

void RESender::pulse() {
    const int wantedPadding = paddingKbps.load();
    if (paddingTimer && leading().socket.load() != -1 && (wantedPadding > 0) != paddingTimer->isActive()) {
        if (wantedPadding > 0) {
            paddingCredit = 0;
            paddingClock.start();
            paddingTimer->start(kPaddingTickMs);
        } else {
            paddingTimer->stop();
        }
    }
    const bool secondOver = (pulsesInSecond + 1) * kPulseMs >= kStatsIntervalMs;
    bool measured = false;
    const int count = destinationsInRun.load();
    for (int index = 0; index < count; ++index)
        measured = pulseDestination(destinations[size_t(index)], secondOver) || measured;
    watchAcknowledgements();
    if (!measured)
        return;
    pulsesInSecond = secondOver ? 0 : pulsesInSecond + 1;
    QMutexLocker locker(&statsMutex);
    const Destination &lead = leading();
    if (lead.pulseFigures.valid()) {
        const quint64 sequence = pulseStats.sequence + 1;
        pulseStats = lead.pulseFigures;
        pulseStats.sequence = sequence;
    }
    if (!secondOver)
        return;
    const quint64 sequence = stats.sequence + 1;
    stats = lead.secondFigures;
    stats.sequence = sequence;
    if (count < 2)
        return;
    // With a backup, every server's own figures too: what each received is what its receivers see.
    for (int index = 0; index < count; ++index) {
        const Destination &destination = destinations[size_t(index)];
        const LinkStats &figures = destination.secondFigures;
        LinkPathStats path;
        path.role = index == 0 ? QStringLiteral("main") : QStringLiteral("backup");
        path.interfaceAddress = destination.interfaceAddress;
        path.destination = destination.host + ':' + QString::number(destination.port);
        path.alive = destination.socket.load() != -1 && figures.valid();
        path.rttMs = figures.rttMs;
        path.sendRateMbps = figures.sendRateMbps;
        path.bandwidthMbps = figures.bandwidthMbps;
        path.sentInterval = figures.sentInterval;
        path.lostInterval = figures.lostInterval;
        path.retransmittedInterval = figures.retransmittedInterval;
        path.retransmittedTotal = figures.retransmittedTotal;
        stats.paths.append(path);
    }
}

void RESender::watchAcknowledgements() {
    // Until the library gives up on a dead server, its sends still succeed: without this the stream would say
    // "sending" for seconds while no server gets anything.
    bool anyServer = false;
    bool allSilent = true;
    for (int index = 0; index < destinationsInRun.load(); ++index) {
        const Destination &destination = destinations[size_t(index)];
        if (destination.socket.load() == -1)
            continue;
        anyServer = true;
        allSilent = allSilent && destination.ackSilentMs >= kAckSilenceMs;
    }
    const bool silent = anyServer && allSilent;
    if (silent && phase() == Phase::Sending)
        reportPhase(Phase::ServerNotAnswering);
    else if (!silent && anyServer && phase() == Phase::ServerNotAnswering)
        reportPhase(Phase::Sending);
}

void RESender::sendPadding() {
    const int kbps = paddingKbps.load();
    if (kbps <= 0 || stopFlag.load())
        return;
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
    const int count = destinationsInRun.load();
    while (paddingCredit >= kChunkSize && streamBytes % kTsPacketSize == 0) {
        bool taken = false;
        for (int index = 0; index < count; ++index) {
            Destination &destination = destinations[size_t(index)];
            const int socket = destination.socket.load();
            if (socket == -1 || srtSendAll(socket, nulls.constData(), kChunkSize) == -1)
                continue;
            destination.handedBytes += kChunkSize;
            destination.paddingSent += kChunkSize;
            ++destination.handedMessages;
            taken = true;
        }
        if (!taken)
            return;
        paddingCredit -= kChunkSize;
        streamBytes += kChunkSize;
    }
    // What could not go out now is not owed later: a probe is a rate, not an amount.
    paddingCredit = std::min(paddingCredit, double(kChunkSize));
}
