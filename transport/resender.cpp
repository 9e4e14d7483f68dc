#include "resender.h"

#include "connectsrt.h"
#include "logsdlg.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QDebug>
#include <QElapsedTimer>
#include <QHostAddress>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>

#include <srt/srt.h>

#include <algorithm>
#include <mutex>

namespace {

// The encoder wait polls in slices this long so that a Stop or a new Start ends it promptly.
constexpr int kWaitSliceMs = 100;
// The connection's state is looked at this often while the library connects in the background.
constexpr int kConnectPollMs = 10;
// Capacity kept by the forwarding buffer across reads (it grows beyond this when a read brings more).
constexpr int kReadBufferReserve = 1 << 20;

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

RESender::RESender(LogsDlg *logWindow, QObject *parent) : QThread(parent), logWindow(logWindow) {
    startSrtLibrary();
}

RESender::~RESender() {
    if (isRunning()) {
        requestEnd();
        wait(2 * kPreviousRunWaitMs);
    }
}

bool RESender::startRetransmit(const QString &host, const QString &interfaceAddress, int port, const QString &streamId,
                               int latency, const QString &passphrase, int keyLength, bool lossless,
                               QDeadlineTimer previousRunDeadline) {
    // Starting a thread that still runs does nothing, so the previous run (typically still waiting for an
    // encoder after a Stop) is ended first; otherwise no listener would ever be published for this Start.
    if (isRunning()) {
        requestEnd();
        if (!wait(previousRunDeadline)) {
            listenPort.store(-1);
            log(QStringLiteral("RESender FAILED: previous run did not end"));
            return true;
        }
    }
    listenPort.store(0);
    this->host = host;
    this->interfaceAddress = interfaceAddress;
    this->port = port;
    this->streamId = streamId;
    this->latency = latency;
    this->passphrase = passphrase;
    this->keyLength = keyLength;
    this->lossless = lossless;
    endRequested.store(false);
    start();
    return true;
}

void RESender::stopRetransmit() {
    requestEnd();
    log(QStringLiteral("RESender STOP"));
}

void RESender::setAlpha(bool alpha) {
    this->alpha.store(alpha);
}

void RESender::requestEnd() {
    stopFlag.store(true);
    endRequested.store(true);
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

void RESender::log(const QString &text) const {
    if (logWindow)
        logWindow->addMessage(text);
}

bool RESender::waitForEncoder(QTcpServer &server) {
    QElapsedTimer elapsed;
    elapsed.start();
    const int limit = encoderWaitMs.load();
    while (!endRequested.load()) {
        const qint64 left = limit - elapsed.elapsed();
        if (left <= 0)
            return false;
        if (server.waitForNewConnection(static_cast<int>(std::min<qint64>(left, kWaitSliceMs))))
            return true;
    }
    return false;
}

void RESender::run() {
    qDebug() << "===RESender" << thread();
    QThread::currentThread()->setPriority(QThread::TimeCriticalPriority);

    QTcpServer server;
    if (!server.listen(QHostAddress(QHostAddress::LocalHost), requestedListenPort.load())) {
        // -1 rather than 0, so that whoever waits for the port learns that none is coming.
        listenPort.store(-1);
        log(QStringLiteral("RESender LISTEN FAILED: ") + server.errorString());
        qDebug() << "RETRANSMIT STOPPED";
        return;
    }
    listenPort.store(server.serverPort());
    log(QStringLiteral("RESender LISTEN PORT:") + QString::number(server.serverPort()));

    stopFlag.store(false);
    errorCount = 0;
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

    if (!endRequested.load())
        connectToServer(id);

    const bool encoderArrived = waitForEncoder(server);
    if (encoderArrived)
        log(QStringLiteral("RESender SUCCESS"));
    else if (!endRequested.load())
        log(QStringLiteral("RESender FAILED TIMEOUT 101"));

    buffer.clear();
    buffer.reserve(kReadBufferReserve);
    if (QTcpSocket *connection = server.nextPendingConnection()) {
        connect(
            connection, &QTcpSocket::readyRead, connection, [this, connection] { forward(connection); },
            Qt::DirectConnection);
    }

    // QThread::exit() called before exec() has started is forgotten by exec(), so the loop also looks at the
    // flag itself: a Stop that lands between the check and exec() still ends the run within one slice.
    QTimer endWatch;
    endWatch.setInterval(kWaitSliceMs);
    connect(
        &endWatch, &QTimer::timeout, &endWatch,
        [this] {
            if (endRequested.load())
                exit(0);
        },
        Qt::DirectConnection);
    endWatch.start();
    QTimer statsTimer;
    statsTimer.setTimerType(Qt::PreciseTimer);
    connect(
        &statsTimer, &QTimer::timeout, &statsTimer, [this] { sampleStats(); }, Qt::DirectConnection);
    sampleStats();
    statsTimer.start(kStatsIntervalMs);
    QTimer bufferTimer;
    connect(
        &bufferTimer, &QTimer::timeout, &bufferTimer, [this] { readSendBuffer(); }, Qt::DirectConnection);
    bufferTimer.start(kSendBufferReadMs);
    if (!endRequested.load())
        exec();

    qDebug() << "RETRANSMIT STOPPED";
    // A connect that completed after a Stop leaves its socket here, not yet closed by anyone.
    const int left = srtSocket.exchange(-1);
    if (left != -1)
        srt_close(left);
    buffer.clear();
}

void RESender::connectToServer(const QString &id) {
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
            return;
        log(QStringLiteral("CONNECT FAILED: ") + (result.isEmpty() ? QStringLiteral("SRT CONNECT FAILED") : result));
        return;
    }
    limitRetransmissionRate(socket);
    log(QStringLiteral("CONNECT: SUCCESS"));
}

void RESender::forward(QTcpSocket *connection) {
    // Read straight into the run's buffer, whose capacity is kept between reads: a fresh allocation per read
    // costs more CPU than the forwarding itself at high rates.
    const int kept = buffer.size();
    const qint64 readable = connection->bytesAvailable();
    buffer.resize(kept + static_cast<int>(readable));
    const qint64 got = connection->read(buffer.data() + kept, readable);
    buffer.resize(kept + static_cast<int>(std::max<qint64>(got, 0)));
    if (stopFlag.load()) {
        // Keep reading so that the encoder is never blocked by a full loopback connection.
        buffer.resize(0);
        return;
    }

    int offset = 0;
    while (buffer.size() - offset >= kChunkSize) {
        const int result = srtSendAll(srtSocket.load(), buffer.constData() + offset, kChunkSize);
        offset += kChunkSize;
        if (result == -1) {
            ++errorCount;
            qDebug() << "error send";
            if (errorCount > kMaxSendErrors) {
                log(QStringLiteral("*** SRT PACKET SEND ERROR (5 times).  STOP."));
                buffer.resize(0);
                stopFlag.store(true);
                emit srtError();
            } else {
                // The failed chunk is dropped; what follows it waits for the next read.
                buffer.remove(0, offset);
            }
            return;
        }
    }
    const int tail = buffer.size() - offset;
    if (tail > 0)
        srtSendAll(srtSocket.load(), buffer.constData() + offset, tail);
    buffer.resize(0);
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
