#pragma once

#include "relaythread.h"

#include <QDeadlineTimer>
#include <QObject>
#include <QString>
#include <QTimer>

// What the stream is doing, in one place: the relays report their run's phase (queued signals), the main window
// its Start and Stop, the reconnect policy's restarts and the wait for a network path. The telemetry strip, the
// log window, the statistics file and the service manager's status all read it from here. "Sending" means bytes
// are leaving for the server, not that the button shows STOP. Lives on the GUI thread.
class StreamHealth : public QObject {
    Q_OBJECT

public:
    enum class State {
        Idle,
        Starting,
        WaitingForEncoder,
        Sending,
        ServerNotAnswering,
        NoNetworkPath,
        // The run goes on, but its source gives no picture (a capture card without a signal), so nothing is sent.
        SourceLost,
        Reconnecting,
        StoppedAfterLimit,
    };
    Q_ENUM(State)

    // How often the words of a restart's countdown are renewed.
    static constexpr int kCountdownStepMs = 100;

    explicit StreamHealth(QObject *parent = nullptr);

    State state() const { return current; }
    // In words: "sending", "reconnecting (3 of 10) in 0.7 s", "waiting for the encoder", "no network path", ...
    QString text() const;
    // One stable word for programs that read the statistics file: "sending", "reconnecting", "no_network_path".
    QString key() const;

    // A Start got its relay going; relayRun is that relay's run number, so that news of older runs is ignored.
    void started(quint64 relayRun);
    // Queued from the relays.
    void relayPhase(quint64 run, RelayThread::Phase phase);
    // A failed run: attempt (1 for the first restart) of limit starts again in delayMs.
    void restartPending(int attempt, int limit, int delayMs);
    // Whether the running capture gets pictures from its source; while it does not, the run says so in place of
    // starting, waiting for the encoder or sending.
    void sourcePicture(bool arriving);
    // A restart waits for a ticked RIST path whose interface is there.
    void waitingForPath();
    // The operator or a signal stopped the stream (also: the window closes).
    void stopped();
    // A failure after the last allowed restart: the stream stays stopped.
    void gaveUp(int limit);

signals:
    // The state changed: one line for the log, the service manager's status, a statistics record.
    void changed(StreamHealth::State state, const QString &text);
    // The words changed, also each step of a restart's countdown (the telemetry strip).
    void textChanged(const QString &text);

private:
    void enter(State state);
    // The run's state from the relay's phase and the source's picture.
    void enterRunState();
    bool runActive() const;

    State current = State::Idle;
    // What the current run's relay last said, and whether its source has pictures.
    State relayState = State::Starting;
    bool pictureMissing = false;
    quint64 expectedRun = 0;
    int attempt = 0;
    int limit = 0;
    QDeadlineTimer restartAt;
    QTimer countdown;
};
