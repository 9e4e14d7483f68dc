#pragma once

#include <QByteArray>
#include <QDeadlineTimer>
#include <QString>
#include <QThread>

#include <atomic>

class LogsDlg;
class QTcpServer;
class QTcpSocket;
class QTimer;

// What the SRT and the RIST relay have in common: a loopback TCP listener the encoder connects to, a bounded
// wait for that connection, the forwarding of its stream in 1316-byte chunks and the cooperative end of a run.
// One relay object lives for the whole program; every Start runs the thread once. A relay only supplies how a
// chunk leaves the machine and what a run sets up and tears down around the forwarding.
class RelayThread : public QThread {
    Q_OBJECT

public:
    // What a run is doing, as the main window's stream health reads it.
    enum class Phase {
        Idle,
        // Listener open, reaching the far end (SRT connect, RIST sender and peers).
        Connecting,
        WaitingForEncoder,
        // Bytes have left for the server in this run.
        Sending,
        // The SRT connect failed, or every RIST peer fell silent.
        ServerNotAnswering,
        // RIST: no peer left, or none could be made, because no ticked path's interface is there.
        NoPath,
    };
    Q_ENUM(Phase)

    static constexpr int kTsPacketSize = 188;
    // Seven 188-byte transport stream packets: one SRT live message, one RIST data block.
    static constexpr int kChunkSize = 7 * kTsPacketSize;
    // The longest the short rest of a read waits for the next read to make it a whole chunk; sent alone after that.
    static constexpr int kTailHoldMs = 20;
    // Failed chunk sends a run tolerates; the next one stops forwarding and raises srtError.
    static constexpr int kMaxSendErrors = 5;
    static constexpr int kDefaultEncoderWaitMs = 30000;
    // A run told to end leaves its encoder wait within one slice; this only runs out when a library hangs or a
    // server name still being looked up holds the run for the resolver's own time-out.
    static constexpr int kPreviousRunWaitMs = 5000;

    // Read at the start of the next run: appends "#alpha" to the stream id.
    void setAlpha(bool alpha);
    // How long a run waits for the encoder's connection; tests shorten it.
    void setEncoderWaitMs(int ms) { encoderWaitMs.store(ms); }
    // Port the next listener asks for; 0 lets the OS choose (the only value the system uses).
    void setRequestedListenPort(quint16 port) { requestedListenPort.store(port); }

    // Loopback port of the current run's listener: 0 until it is open, -1 when it could not be opened.
    std::atomic<int> listenPort{0};

    // The runs started so far; phaseChanged names its run by this number, so that news of an earlier run that
    // arrives late can be told apart.
    quint64 runNumber() const { return runs.load(); }
    Phase phase() const { return currentPhase.load(); }

signals:
    // The run failed: repeated send errors, the encoder never connecting or its connection ending, (RIST) every
    // peer gone silent or no path left.
    void srtError();
    // Any thread; connect queued.
    void phaseChanged(quint64 run, RelayThread::Phase phase);

protected:
    enum class LogEcho { WindowOnly, AlsoDiagnostics };

    // name starts the relay's log lines ("<name> LISTEN PORT:"), protocol its send error line.
    RelayThread(const QString &name, const QString &protocol, LogEcho echo, LogsDlg *logWindow, QObject *parent);
    // A derived destructor ends the run itself: the run uses the derived members, which are gone before this runs.
    ~RelayThread() override;

    // Ends a run still going (for example still waiting for its encoder after a Stop), so that the new run gets a
    // listener of its own. False when it has not ended by the deadline: listenPort is then -1 and nothing may start.
    bool endPreviousRun(QDeadlineTimer deadline);
    // Starts the thread once the relay has stored what the run reads.
    void beginRun();
    // Asks a running run to end: interrupts the encoder wait, discards data, ends the loop. A relay that can be
    // blocked elsewhere extends it; destructors call it by qualified name (no virtual call from a destructor).
    virtual void requestEnd();
    // The flags half of requestEnd, for an extension that must unblock its run between the flags and the exit.
    void markEndRequested();
    void log(const QString &text) const;
    // Any thread: announces the run's phase when it changed.
    void reportPhase(Phase phase);
    // Ends forwarding and raises srtError, once per run: false when the run had already stopped forwarding.
    bool failRun(const QString &logLine);

    std::atomic<bool> stopFlag{false};
    std::atomic<bool> endRequested{false};
    std::atomic<bool> alpha{false};

    // The run's order: listener, prepareRun (the far end), encoder wait, forwarding loop, finishRun.
    void run() final;

private:
    bool waitForEncoder(QTcpServer &server);
    void forward(QTcpSocket *connection);
    void encoderGone(QTcpSocket *connection);
    void flushTail();

    // On the relay thread, after the listener opened and before the encoder wait: connect to the far end. False
    // when it cannot be reached; the relay has reported why (reportPhase) and the run goes on, so that its sends
    // fail and raise srtError.
    virtual bool prepareRun() = 0;
    // After every wait slice in which the encoder did not arrive.
    virtual void encoderWaitSlice() {}
    // Before the loop starts: timers of the relay's own, parented to runScope, which goes when the run ends.
    virtual void startRunTimers(QObject & /*runScope*/) {}
    // One chunk (or the short rest of a read) out; false when it failed.
    virtual bool sendChunk(const char *data, int size) = 0;
    // After the loop ended: release what prepareRun made.
    virtual void finishRun() = 0;

    const QString name;
    const QString protocol;
    const LogEcho echo;
    LogsDlg *logWindow;
    // Only touched on the relay thread.
    QByteArray buffer;
    int errorCount = 0;
    // The run's timer that sends a waiting short rest; only set while the run's loop runs.
    QTimer *tailTimer = nullptr;
    // Shared between the main window's thread and the relay thread.
    std::atomic<int> encoderWaitMs{kDefaultEncoderWaitMs};
    std::atomic<quint16> requestedListenPort{0};
    std::atomic<quint64> runs{0};
    std::atomic<Phase> currentPhase{Phase::Idle};
};
