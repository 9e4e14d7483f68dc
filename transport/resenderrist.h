#pragma once

#include "linkstats.h"
#include "relaythread.h"
#include "ristrules.h"

#include <QDeadlineTimer>
#include <QElapsedTimer>
#include <QList>
#include <QMutex>
#include <QString>
#include <QStringList>

class LogsDlg;
struct rist_ctx;
struct rist_peer;
struct rist_stats_sender_peer;

// The RIST relay: forwards the encoder's transport stream with librist (main profile) to every server over every
// ticked local path. Every run has a sender context of its own.
class RESenderRist : public RelayThread {
    Q_OBJECT

public:
    explicit RESenderRist(LogsDlg *logWindow, QObject *parent = nullptr);
    ~RESenderRist() override;

    // rtt max, max retries, retries buffer, reorder buffer, for the next run: a run still going keeps its own,
    // and the next startRetransmit hands these over once that run has ended.
    void setRistParams(int rttMax, int maxRetries, int retriesBuffer, int reorderBuffer);
    // The ticked paths as "address(weight),..." tokens, for the next run like setRistParams.
    void setBondings(const QString &paths);
    // Starts one run. A run still going is ended first; when it has not ended by previousRunDeadline,
    // listenPort becomes -1 and nothing starts. Always returns true.
    bool startRetransmit(const QString &servers, const QString &interfaceAddress, const QString &cname,
                         const QString &secret,
                         QDeadlineTimer previousRunDeadline = QDeadlineTimer(kPreviousRunWaitMs));
    // Ends the current run without waiting for the thread; the run destroys its sender context on its way out.
    void stopRetransmit();

    // Adds the peer for one URL on one local path; with an empty URL one peer per server. Any thread; false when
    // no peer was added (no running sender, a URL librist refuses, a path that cannot be used).
    bool createPeer(const QString &url, const QString &interfaceAddress, int weight);
    // Removes every peer on this local path.
    void destroyPeers(const QString &interfaceAddress);

    // The link figures of the current run, one path per peer, from librist's last once-a-second reports.
    LinkStats linkStats() const;

    // The peer URLs of the running sender in creation order (tests and diagnostics).
    QStringList peerUrls() const;

private:
    struct PeerEntry {
        QString interfaceAddress;
        QString url;
        rist_peer *peer = nullptr;
        // librist's own number for the peer, as its statistics name it.
        quint32 ristId = 0;
        // A timed-out peer stays listed, so that unticking its path still removes it.
        bool timedOut = false;
        int silentIntervals = 0;
        qint64 lastReportMs = 0;
        // The figures of librist's last report about this peer, and the totals of all its reports.
        LinkPathStats stats;
        quint64 sentTotal = 0;
    };

    // librist 0.2.7 only logs a sender peer's time-out and never reports it through the status callback; it just
    // stops reporting the peer in its once-a-second statistics. So a peer also counts as timed out when its
    // receiver sent nothing back in kSilentIntervals reports in a row, or when no report came for that long.
    static constexpr int kStatsIntervalMs = 1000;
    static constexpr int kSilentIntervals = 2;
    static constexpr int kReportSlackMs = 500;

    friend struct RistCallbacks;
    void peerStatus(rist_peer *peer, int status);
    void peerStatistics(const rist_stats_sender_peer &report);
    // Marks the peers that fell silent; true when this made every peer silent. Called with peersMutex held.
    bool markSilentPeers(qint64 nowMs);
    void checkPeers();
    void reportAllSilent();

    void addSource(const QString &entry, const QString &cname);
    bool createSender(int profile);
    bool createOnePeer(const QString &url, const QString &interfaceAddress, int weight);
    void destroySender();
    int writeChunk(const char *data, int size);

    bool prepareRun() override;
    void encoderWaitSlice() override;
    void startRunTimers(QObject &runScope) override;
    bool sendChunk(const char *data, int size) override;
    void finishRun() override;

    // Only touched on the main window's thread: what setRistParams and setBondings gave for the next run.
    ristrules::RistParams nextParams;
    QList<ristrules::BondingPath> nextBondings;
    // Written by the main window's thread before the run starts, only read by the run afterwards.
    ristrules::RistParams params;
    QList<ristrules::BondingPath> bondings;
    QString servers;
    QString interfaceAddress;
    QString cname;
    QString secret;
    // The cname of the current run ("#alpha" appended when asked); written before peers exist.
    QString runCname;

    // Guards context: held across every librist call that adds or removes peers or destroys the context, which
    // also serialises peer creation for PathSocketBinder. librist's own threads never take it, so destroying the
    // context (which joins them) cannot wait on a callback that waits on this lock.
    QMutex contextMutex;
    rist_ctx *context = nullptr;
    // Guards peers and sources; held only briefly and never across a librist call.
    mutable QMutex peersMutex;
    QList<PeerEntry> peers;
    QStringList sources;
    // Set once every peer fell silent (srtError sent), cleared when one answers again.
    bool allSilent = false;
    // librist numbers the peers of a context from 1 in creation order.
    quint32 lastRistId = 0;
    QElapsedTimer runClock;
    // Reports taken in this run, and the wall time of the last one (for the snapshot).
    quint64 reportCount = 0;
    qint64 lastReportUtcMs = 0;
};
