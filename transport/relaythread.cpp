#include "relaythread.h"

#include "logsdlg.h"

#include <QDebug>
#include <QElapsedTimer>
#include <QHostAddress>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>

#include <algorithm>

namespace {

// The encoder wait polls in slices this long so that a Stop or a new Start ends it promptly.
constexpr int kWaitSliceMs = 100;
// Capacity kept by the forwarding buffer across reads (it grows beyond this when a read brings more).
constexpr int kReadBufferReserve = 1 << 20;

} // namespace

RelayThread::RelayThread(const QString &name, const QString &protocol, LogEcho echo, LogsDlg *logWindow,
                         QObject *parent)
    : QThread(parent), name(name), protocol(protocol), echo(echo), logWindow(logWindow) {}

RelayThread::~RelayThread() = default;

void RelayThread::setAlpha(bool alpha) {
    this->alpha.store(alpha);
}

bool RelayThread::endPreviousRun(QDeadlineTimer deadline) {
    // Starting a thread that still runs does nothing, so the previous run is ended first; otherwise no listener
    // would ever be published for this Start.
    if (isRunning()) {
        requestEnd();
        if (!wait(deadline)) {
            listenPort.store(-1);
            log(name + QStringLiteral(" FAILED: previous run did not end"));
            return false;
        }
    }
    // Only once the previous run is gone: one that had not reached its listener yet would publish its own port
    // (or -1) over this 0, and the caller would take a stale port for the new run's.
    listenPort.store(0);
    return true;
}

void RelayThread::beginRun() {
    endRequested.store(false);
    currentPhase.store(Phase::Idle);
    ++runs;
    start();
}

void RelayThread::reportPhase(Phase phase) {
    if (currentPhase.exchange(phase) != phase)
        emit phaseChanged(runs.load(), phase);
}

bool RelayThread::failRun(const QString &logLine) {
    // The first failure of a run speaks; whatever goes wrong after it belongs to a run already given up.
    if (stopFlag.exchange(true))
        return false;
    log(logLine);
    emit srtError();
    return true;
}

void RelayThread::markEndRequested() {
    stopFlag.store(true);
    endRequested.store(true);
}

void RelayThread::requestEnd() {
    markEndRequested();
    exit(0);
}

void RelayThread::log(const QString &text) const {
    if (echo == LogEcho::AlsoDiagnostics)
        qDebug().noquote() << text;
    if (logWindow)
        logWindow->addMessage(text);
}

bool RelayThread::waitForEncoder(QTcpServer &server) {
    QElapsedTimer elapsed;
    elapsed.start();
    const int limit = encoderWaitMs.load();
    while (!endRequested.load()) {
        const qint64 left = limit - elapsed.elapsed();
        if (left <= 0)
            return false;
        if (server.waitForNewConnection(static_cast<int>(std::min<qint64>(left, kWaitSliceMs))))
            return true;
        encoderWaitSlice();
    }
    return false;
}

void RelayThread::run() {
    qDebug() << qPrintable(QStringLiteral("===") + name) << thread();
    QThread::currentThread()->setPriority(QThread::TimeCriticalPriority);

    // The listener opens before the far end is contacted, so that the encoder can start (its connection waits in
    // the listen queue) while a connect still takes its time.
    QTcpServer server;
    if (!server.listen(QHostAddress(QHostAddress::LocalHost), requestedListenPort.load())) {
        // -1 rather than 0, so that whoever waits for the port learns that none is coming.
        listenPort.store(-1);
        log(name + QStringLiteral(" LISTEN FAILED: ") + server.errorString());
        qDebug() << "RETRANSMIT STOPPED";
        return;
    }
    listenPort.store(server.serverPort());
    log(name + QStringLiteral(" LISTEN PORT:") + QString::number(server.serverPort()));

    stopFlag.store(false);
    errorCount = 0;
    reportPhase(Phase::Connecting);
    if (prepareRun() && !endRequested.load())
        reportPhase(Phase::WaitingForEncoder);

    buffer.clear();
    if (!waitForEncoder(server)) {
        // An encoder that never comes is a failed stream like a dead server: without this the run would wait
        // for a Stop with nothing to relay, and the window would show a stream that no one receives.
        if (!endRequested.load())
            failRun(name + QStringLiteral(" FAILED TIMEOUT 101"));
        qDebug() << "RETRANSMIT STOPPED";
        finishRun();
        return;
    }
    log(name + QStringLiteral(" SUCCESS"));
    buffer.reserve(kReadBufferReserve);
    QTcpSocket *connection = server.nextPendingConnection();
    connect(
        connection, &QTcpSocket::readyRead, connection, [this, connection] { forward(connection); },
        Qt::DirectConnection);
    connect(
        connection, &QTcpSocket::disconnected, connection, [this, connection] { encoderGone(connection); },
        Qt::DirectConnection);
    // An encoder that came and went at once.
    if (connection->state() != QAbstractSocket::ConnectedState)
        encoderGone(connection);

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
    QTimer tailFlush;
    tailFlush.setSingleShot(true);
    tailFlush.setTimerType(Qt::PreciseTimer);
    connect(
        &tailFlush, &QTimer::timeout, &tailFlush, [this] { flushTail(); }, Qt::DirectConnection);
    tailTimer = &tailFlush;
    QObject runScope;
    startRunTimers(runScope);
    if (!endRequested.load())
        exec();

    // The connection goes with the listener at the end of this scope, and closing it then is no news.
    connection->disconnect();
    tailTimer = nullptr;
    qDebug() << "RETRANSMIT STOPPED";
    finishRun();
    buffer.clear();
}

void RelayThread::encoderGone(QTcpSocket *connection) {
    if (connection->bytesAvailable() > 0)
        forward(connection);
    // No read follows to complete a short rest: it leaves now rather than with the run.
    flushTail();
    // The writer closes the connection only when its capture run ends, which a Stop asks for just before it
    // ends this run; any other end leaves the server without a stream.
    if (!endRequested.load())
        failRun(name + QStringLiteral(" ENCODER DISCONNECTED"));
    // Nothing more can come; the flag also ends a loop that has not started yet (exit() before exec() is lost).
    endRequested.store(true);
    exit(0);
}

void RelayThread::forward(QTcpSocket *connection) {
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
        const bool sent = sendChunk(buffer.constData() + offset, kChunkSize);
        offset += kChunkSize;
        if (sent && currentPhase.load() == Phase::WaitingForEncoder)
            reportPhase(Phase::Sending);
        if (!sent) {
            ++errorCount;
            qDebug() << "error send";
            if (errorCount > kMaxSendErrors) {
                buffer.resize(0);
                failRun(QStringLiteral("*** ") + protocol + QStringLiteral(" PACKET SEND ERROR (5 times).  STOP."));
            } else {
                // The failed chunk is dropped; what follows it waits for the next read.
                buffer.remove(0, offset);
            }
            return;
        }
    }
    // The writer flushes after every muxed packet, so most reads end in a short rest. Sent at once, about half the
    // messages were short: more packets for the same stream, each one more to lose and repair. The rest waits for
    // the next read to fill it, which comes within a frame; the timer bounds the wait when none does.
    if (offset == buffer.size()) {
        buffer.resize(0);
        if (tailTimer)
            tailTimer->stop();
        return;
    }
    buffer.remove(0, offset);
    // Timed from the oldest waiting byte: a read that only added to the rest keeps the running wait.
    if (tailTimer && (offset > 0 || !tailTimer->isActive()))
        tailTimer->start(kTailHoldMs);
}

void RelayThread::flushTail() {
    if (stopFlag.load())
        return;
    // Its result is not counted, as for any short rest: the next whole chunk's send tells whether the link works.
    for (int offset = 0; offset < buffer.size(); offset += kChunkSize)
        sendChunk(buffer.constData() + offset, std::min(kChunkSize, int(buffer.size()) - offset));
    buffer.resize(0);
}
