#include "resender.h"

#include "connectsrt.h"
#include "logsdlg.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QDebug>
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
    lowestSendBufferMs = -1;
    {
        QMutexLocker locker(&statsMutex);
        stats = LinkStats();
        stats.transport = QStringLiteral("SRT");
        stats.latencyMs = latency;
    }

    QString id = streamId;
    if (alpha.load())
        id += QStringLiteral("#alpha");
    if (!interfaceAddress.isEmpty())
        log(QStringLiteral("Sender network interface:") + interfaceAddress);

    return !endRequested.load() && connectToServer(id);
}

void RESender::startRunTimers(QObject &runScope) {
    auto *statsTimer = new QTimer(&runScope);
    statsTimer->setTimerType(Qt::PreciseTimer);
    connect(
        statsTimer, &QTimer::timeout, statsTimer, [this] { sampleStats(); }, Qt::DirectConnection);
    sampleStats();
    statsTimer->start(kStatsIntervalMs);
    auto *bufferTimer = new QTimer(&runScope);
    connect(
        bufferTimer, &QTimer::timeout, bufferTimer, [this] { readSendBuffer(); }, Qt::DirectConnection);
    bufferTimer->start(kSendBufferReadMs);
}

bool RESender::sendChunk(const char *data, int size) {
    return srtSendAll(srtSocket.load(), data, size) != -1;
}

void RESender::finishRun() {
    // A connect that completed after a Stop leaves its socket here, not yet closed by anyone.
    const int left = srtSocket.exchange(-1);
    if (left != -1)
        srt_close(left);
}

bool RESender::connectToServer(const QString &id) {
    log(QStringLiteral("Connect to SRT ") + host + ':' + QString::number(port) + QStringLiteral("  streamid: ") + id);
    int socket = -1;
    // A blocking connect holds the socket's connection lock until the library's connect timeout, and a Stop's
    // close would wait for that lock; non-blocking, the socket is published first and a Stop ends the attempt.
    const QString result = connectSRT(socket, host, interfaceAddress, static_cast<quint16>(port), id, latency,
                                      passphrase, keyLength, lossless, [this](int created) {
                                          const int no = 0;
                                          srt_setsockflag(created, SRTO_RCVSYN, &no, sizeof(no));
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
    limitRetransmissionRate(socket);
    log(QStringLiteral("CONNECT: SUCCESS"));
    return true;
}

void RESender::limitRetransmissionRate(int socket) {
    // libsrt's default ceiling is 1 Gbit/s: over a link narrower than the stream, retransmissions then take all
    // of it, the loss they cause asks for more, and a lower encoder bitrate never gets the link back. Tied to the
    // measured input rate plus a share for retransmissions, the sender gives up late packets instead.
    const int64_t relative = 0;
    const int64_t estimated = 0;
    const int overheadPercent = kRetransmissionOverheadPercent;
    if (srt_setsockflag(socket, SRTO_MAXBW, &relative, sizeof(relative)) != 0 ||
        srt_setsockflag(socket, SRTO_INPUTBW, &estimated, sizeof(estimated)) != 0 ||
        srt_setsockflag(socket, SRTO_OHEADBW, &overheadPercent, sizeof(overheadPercent)) != 0)
        qDebug() << "libsrt: the send rate stays unbounded:" << srt_getlasterror_str();
}

LinkStats RESender::linkStats() const {
    QMutexLocker locker(&statsMutex);
    return stats;
}

void RESender::sampleStats() {
    const int socket = srtSocket.load();
    if (socket == -1)
        return;
    SRT_TRACEBSTATS perf{};
    // Interval counters are cleared on every read, so each sample covers the time since the one before.
    if (srt_bistats(socket, &perf, 1, 1) != 0)
        return;
    // The first read after connecting covers the whole time since then, not one interval; it only primes.
    if (!statsPrimed) {
        statsPrimed = true;
        lowestSendBufferMs = -1;
        return;
    }
    // The least of the second, not the last reading: the sender's pacing (limitRetransmissionRate) holds a key
    // frame's burst in the buffer for a moment even on an idle link. Only a link that cannot keep up holds the
    // buffer up for the whole second.
    noteSendBuffer(perf.msSndBuf);
    const int sendBufferMs = lowestSendBufferMs;
    lowestSendBufferMs = -1;
    QMutexLocker locker(&statsMutex);
    ++stats.sequence;
    stats.utcMs = QDateTime::currentMSecsSinceEpoch();
    stats.sendRateMbps = perf.mbpsSendRate;
    stats.rttMs = perf.msRTT;
    stats.bandwidthMbps = perf.mbpsBandwidth;
    stats.sendBufferMs = std::max(sendBufferMs, 0);
    stats.sentInterval = quint64(std::max<int64_t>(perf.pktSent, 0));
    stats.sentTotal = quint64(std::max<int64_t>(perf.pktSentTotal, 0));
    stats.lostInterval = quint64(std::max(perf.pktSndLoss, 0));
    stats.lostTotal = quint64(std::max(perf.pktSndLossTotal, 0));
    stats.retransmittedInterval = quint64(std::max(perf.pktRetrans, 0));
    stats.retransmittedTotal = quint64(std::max(perf.pktRetransTotal, 0));
    stats.droppedInterval = quint64(std::max(perf.pktSndDrop, 0));
    stats.droppedTotal = quint64(std::max(perf.pktSndDropTotal, 0));
}

void RESender::readSendBuffer() {
    const int socket = srtSocket.load();
    if (socket == -1)
        return;
    SRT_TRACEBSTATS perf{};
    // Without clearing: the interval counters belong to the once-a-second sample.
    if (srt_bistats(socket, &perf, 0, 1) == 0)
        noteSendBuffer(perf.msSndBuf);
}

void RESender::noteSendBuffer(int ms) {
    lowestSendBufferMs = lowestSendBufferMs < 0 ? ms : std::min(lowestSendBufferMs, ms);
}
