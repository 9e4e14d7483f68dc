#pragma once

#include "linkstats.h"
#include "relaythread.h"

#include <QDeadlineTimer>
#include <QElapsedTimer>
#include <QMutex>
#include <QString>

#include <algorithm>
#include <atomic>

class LogsDlg;
class QTimer;
struct CBytePerfMon;

// The SRT relay: forwards the encoder's transport stream to the SRT server in 1316-byte messages.
class RESender : public RelayThread {
    Q_OBJECT

public:
    explicit RESender(LogsDlg *logWindow, QObject *parent = nullptr);
    ~RESender() override;

    // Starts one run. A run still going (for example still waiting for its encoder after a Stop) is ended
    // first, so that the new run gets a listener of its own; when it has not ended by previousRunDeadline,
    // listenPort becomes -1 and nothing starts. Always returns true.
    bool startRetransmit(const QString &host, const QString &interfaceAddress, int port, const QString &streamId,
                         int latency, const QString &passphrase, int keyLength, bool lossless,
                         QDeadlineTimer previousRunDeadline = QDeadlineTimer(kPreviousRunWaitMs));
    // Ends the current run without waiting for the thread.
    void stopRetransmit();

    // The link figures of the last second of the current run; any thread.
    LinkStats linkStats() const;
    static constexpr int kStatsIntervalMs = 1000;
    // The same figures over the last pulse only, for the adaptive bitrate, which must react within a second; any
    // thread.
    LinkStats linkPulse() const;
    static constexpr int kPulseMs = 250;
    // How long the end of a run waits at most for its last messages to reach the server, and how often it looks.
    static constexpr int kDrainMs = 2000;
    static constexpr int kDrainPollMs = 10;
    // A server that acknowledges nothing for this long while messages wait is reported as not answering, long
    // before the library gives the connection up (its peer idle timeout, 5 s); it acknowledges every 10 ms.
    static constexpr int kAckSilenceMs = 1000;
    // Null TS packets added to the stream at this rate, so that the adaptive bitrate learns whether the link
    // carries more before it asks the encoder for more; 0 ends them. Any thread; applied at the next pulse.
    void setPaddingKbps(int kbps) { paddingKbps.store(std::max(kbps, 0)); }
    static constexpr int kPaddingTickMs = 20;

protected:
    // Also closes the SRT socket, which unblocks a send or a connect in progress.
    void requestEnd() override;

private:
    bool prepareRun() override;
    void startRunTimers(QObject &runScope) override;
    bool sendChunk(const char *data, int size) override;
    void finishRun() override;
    bool connectToServer(const QString &id);
    void pulse();
    void watchAcknowledgements(const CBytePerfMon &perf);
    void sendPadding();

    // The library's running totals and this relay's own at one pulse; the figures are their differences.
    struct Totals {
        qint64 atMs = 0;
        quint64 handedBytes = 0;
        quint64 paddingBytes = 0;
        quint64 handedMessages = 0;
        qint64 sent = 0;
        int lost = 0;
        int retransmitted = 0;
        int dropped = 0;
        quint64 sentBytes = 0;
        int bufferBytes = 0;
    };
    // Reads the library's figures (perf, the instant ones too) and the running totals; false when it cannot.
    bool readTotals(int socket, CBytePerfMon &perf, Totals &totals) const;
    static void fillInterval(LinkStats &stats, const Totals &from, const Totals &to);

    // Written by startRetransmit before the thread starts, only read by the run afterwards.
    QString host;
    QString interfaceAddress;
    int port = 0;
    QString streamId;
    int latency = 0;
    QString passphrase;
    int keyLength = 0;
    bool lossless = false;
    // Only touched on the relay thread.
    bool statsPrimed = false;
    int pulsesInSecond = 0;
    Totals lastPulse;
    Totals lastSecond;
    // Least send buffer (ms) read in the pulses of the current second; -1 before the first reading.
    int lowestSendBufferMs = -1;
    // The server's acknowledgements: their count at the last pulse, and how long none has come while messages
    // waited for one.
    qint64 lastAckTotal = -1;
    int ackSilentMs = 0;
    // What went to the library, counted where it is handed over; the byte count also tells whether the stream
    // ends on a TS packet boundary, the only place padding may go.
    quint64 handedBytes = 0;
    quint64 handedMessages = 0;
    quint64 paddingSent = 0;
    QTimer *paddingTimer = nullptr;
    QElapsedTimer paddingClock;
    double paddingCredit = 0;
    // Shared between the main window's thread and the relay thread.
    std::atomic<int> srtSocket{-1};
    std::atomic<int> paddingKbps{0};
    // Guards stats and pulseStats: written by the relay thread, copied out by the GUI's timers.
    mutable QMutex statsMutex;
    LinkStats stats;
    LinkStats pulseStats;
};
