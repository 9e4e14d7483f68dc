#include "streamhealth.h"

#include <algorithm>

StreamHealth::StreamHealth(QObject *parent) : QObject(parent) {
    countdown.setInterval(kCountdownStepMs);
    connect(&countdown, &QTimer::timeout, this, [this] { emit textChanged(text()); });
}

QString StreamHealth::text() const {
    switch (current) {
    case State::Idle:
        return tr("not streaming");
    case State::Starting:
        return tr("starting");
    case State::WaitingForEncoder:
        return tr("waiting for the encoder");
    case State::Sending:
        return tr("sending");
    case State::ServerNotAnswering:
        return tr("server not answering");
    case State::NoNetworkPath:
        return tr("no network path");
    case State::SourceLost:
        return tr("source lost");
    case State::Reconnecting: {
        const double seconds = std::max<qint64>(restartAt.remainingTime(), 0) / 1000.0;
        return tr("reconnecting (%1 of %2) in %3 s").arg(attempt).arg(limit).arg(seconds, 0, 'f', 1);
    }
    case State::StoppedAfterLimit:
        return tr("stopped after %1 reconnects").arg(limit);
    }
    return QString();
}

QString StreamHealth::key() const {
    switch (current) {
    case State::Idle:
        return QStringLiteral("idle");
    case State::Starting:
        return QStringLiteral("starting");
    case State::WaitingForEncoder:
        return QStringLiteral("waiting_for_encoder");
    case State::Sending:
        return QStringLiteral("sending");
    case State::ServerNotAnswering:
        return QStringLiteral("server_not_answering");
    case State::NoNetworkPath:
        return QStringLiteral("no_network_path");
    case State::SourceLost:
        return QStringLiteral("source_lost");
    case State::Reconnecting:
        return QStringLiteral("reconnecting");
    case State::StoppedAfterLimit:
        return QStringLiteral("stopped");
    }
    return QString();
}

bool StreamHealth::runActive() const {
    return current == State::Starting || current == State::WaitingForEncoder || current == State::Sending ||
           current == State::ServerNotAnswering || current == State::NoNetworkPath || current == State::SourceLost;
}

void StreamHealth::started(quint64 relayRun) {
    expectedRun = relayRun;
    relayState = State::Starting;
    pictureMissing = false;
    enter(State::Starting);
}

void StreamHealth::relayPhase(quint64 run, RelayThread::Phase phase) {
    // A phase queued by a run that has since ended, or one that arrives after its stream stopped.
    if (run != expectedRun || !runActive())
        return;
    switch (phase) {
    case RelayThread::Phase::Idle:
    case RelayThread::Phase::Connecting:
        relayState = State::Starting;
        break;
    case RelayThread::Phase::WaitingForEncoder:
        relayState = State::WaitingForEncoder;
        break;
    case RelayThread::Phase::Sending:
        relayState = State::Sending;
        break;
    case RelayThread::Phase::ServerNotAnswering:
        relayState = State::ServerNotAnswering;
        break;
    case RelayThread::Phase::NoPath:
        relayState = State::NoNetworkPath;
        break;
    }
    enterRunState();
}

void StreamHealth::sourcePicture(bool arriving) {
    if (!runActive())
        return;
    pictureMissing = !arriving;
    enterRunState();
}

void StreamHealth::enterRunState() {
    // A server or path that is gone is the stream's first problem; otherwise a source without pictures is why
    // nothing goes out, whatever the relay says.
    const bool relayWouldSend =
        relayState == State::Starting || relayState == State::WaitingForEncoder || relayState == State::Sending;
    enter(pictureMissing && relayWouldSend ? State::SourceLost : relayState);
}

void StreamHealth::restartPending(int attempt, int limit, int delayMs) {
    this->attempt = attempt;
    this->limit = limit;
    restartAt = QDeadlineTimer(delayMs);
    // A new countdown is news even when the previous state was a countdown too.
    current = State::Idle;
    enter(State::Reconnecting);
}

void StreamHealth::waitingForPath() {
    expectedRun = 0;
    enter(State::NoNetworkPath);
}

void StreamHealth::stopped() {
    enter(State::Idle);
}

void StreamHealth::gaveUp(int limit) {
    this->limit = limit;
    enter(State::StoppedAfterLimit);
}

void StreamHealth::enter(State state) {
    if (state == State::Reconnecting)
        countdown.start();
    else
        countdown.stop();
    if (state == current)
        return;
    current = state;
    const QString words = text();
    emit changed(state, words);
    emit textChanged(words);
}
