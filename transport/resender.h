#pragma once

#include "linkstats.h"
#include "relaythread.h"

#include <QDeadlineTimer>
#include <QElapsedTimer>
#include <QMutex>
#include <QString>

#include <algorithm>
#include <array>
#include <atomic>

class LogsDlg;
class QTimer;
struct CBytePerfMon;

// The SRT relay: forwards the encoder's transport stream to the SRT server in 1316-byte messages. With a backup
// server every message goes to both; a server that fails is connected again in the background while the other
// carries the stream, and the run fails only when neither takes a message.
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
    // The backup server the next run also sends to, with the same stream id, passphrase, key length and latency;
    // a port of 0 means none. address is resolved already; an empty one is tried (and fails) like a dead server.
    void setBackupServer(const QString &address, const QString &interfaceAddress, int port);
    // How often a failed server of a run with a backup is tried again.
    static constexpr int kReconnectMs = 2000;
    // How often those servers' connections are looked at, and how long a connected server waits at most for the
    // stream to reach a TS packet boundary before it joins.
    static constexpr int kWatchPollMs = 50;
    static constexpr int kJoinGraceMs = 500;
    // Servers of the current run (1, or 2 with a backup) and whether each takes the stream now; any thread.
    int destinationCount() const { return destinationsInRun.load(); }
    bool destinationUp(int index) const { return destinations[size_t(index)].socket.load() != -1; }

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
    // A backup still connecting when the run began is looked at while the encoder is awaited too.
    void encoderWaitSlice() override;
    void startRunTimers(QObject &runScope) override;
    bool sendChunk(const char *data, int size) override;
    void finishRun() override;
    bool connectToServer(const QString &id);
    bool connectBoth(const QString &id);
    // The options every relay socket gets before its non-blocking connect.
    void prepareSocket(int created) const;
    void pulse();
    // Every server of the run silent: reported as not answering, until one acknowledges again.
    void watchAcknowledgements();
    void sendPadding();
    // A run with a backup: failed servers are connected again, and connected ones join the stream.
    void watchDestinations();

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
    // One server of a run: the main one (index 0) and, optionally, the backup.
    struct Destination {
        QString host;
        QString interfaceAddress;
        int port = 0;
        // The connected socket taking the stream, -1 while there is none; shared with the GUI thread (Stop).
        std::atomic<int> socket{-1};
        // A connect going on in the background, or one done and waiting for a TS packet boundary to join;
        // shared with the GUI thread (Stop).
        std::atomic<int> connecting{-1};
        // Only touched on the relay thread.
        bool connected = false;
        QElapsedTimer since;
        bool statsPrimed = false;
        Totals lastPulse;
        Totals lastSecond;
        // Least send buffer (ms) read in the pulses of the current second; -1 before the first reading.
        int lowestSendBufferMs = -1;
        // The server's acknowledgements: their count at the last pulse, and how long none has come while messages
        // waited for one.
        qint64 lastAckTotal = -1;
        int ackSilentMs = 0;
        // What this server's library took, counted where it is handed over.
        quint64 handedBytes = 0;
        quint64 handedMessages = 0;
        quint64 paddingSent = 0;
        // What the pulse's and the second's figures reported as not yet acknowledged while nothing was lost: a key
        // frame handed over just before a reading. It is reported as delivered once acknowledged.
        double pulseOwedBytes = 0;
        double secondOwedBytes = 0;
        // Guarded by statsMutex: the last pulse's and second's figures.
        LinkStats pulseFigures;
        LinkStats secondFigures;
    };
    // Reads the library's figures (perf, the instant ones too) and the running totals; false when it cannot.
    bool readTotals(const Destination &destination, int socket, CBytePerfMon &perf, Totals &totals) const;
    static void fillInterval(LinkStats &stats, const Totals &from, const Totals &to, double &owedBytes);
    // Measures one server; false when it has no figures for this pulse.
    bool pulseDestination(Destination &destination, bool secondOver);
    // A server of a run with a backup failed: it leaves the stream and is tried again later.
    void loseDestination(size_t index);
    void startReconnect(size_t index);
    QString destinationName(size_t index) const;
    // The server whose figures stand for the link (the adaptive bitrate follows them): the main one while it takes
    // the stream, else the backup. Called under statsMutex.
    const Destination &leading() const;

    // Written by startRetransmit before the thread starts, only read by the run afterwards.
    QString streamId;
    int latency = 0;
    QString passphrase;
    int keyLength = 0;
    bool lossless = false;
    QString runStreamId;
    // What setBackupServer stored for the next run; startRetransmit copies it into destinations[1].
    QString backupHost;
    QString backupInterface;
    int backupPort = 0;
    std::array<Destination, 2> destinations;
    std::atomic<int> destinationsInRun{1};
    // Only touched on the relay thread.
    int pulsesInSecond = 0;
    // Every byte the run offered its servers, taken or not: a server that joins late starts where this is on a TS
    // packet boundary, and padding goes only there.
    quint64 streamBytes = 0;
    QTimer *paddingTimer = nullptr;
    QElapsedTimer paddingClock;
    double paddingCredit = 0;
    // Shared between the main window's thread and the relay thread.
    std::atomic<int> paddingKbps{0};
    // Guards stats, pulseStats and the destinations' figures: written by the relay thread, copied out by the GUI's
    // timers.
    mutable QMutex statsMutex;
    LinkStats stats;
    LinkStats pulseStats;
};
