#pragma once

#include "linkstats.h"
#include "relaythread.h"

#include <QDeadlineTimer>
#include <QMutex>
#include <QString>

#include <atomic>

class LogsDlg;

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
    // The send buffer is also read this often in between; a sample reports the least of the second's readings.
    static constexpr int kSendBufferReadMs = 100;
    // Share above the input rate the sender may spend on retransmissions and on catching up after a burst.
    // libsrt paces live packets one by one at the ceiling divided by its running average packet size, and this
    // relay's messages differ in size (full chunks, the short rest of a read, single audio packets): with
    // libsrt's default quarter the sender fell behind its own input for seconds at a time on an idle link.
    static constexpr int kRetransmissionOverheadPercent = 100;

protected:
    // Also closes the SRT socket, which unblocks a send or a connect in progress.
    void requestEnd() override;

private:
    bool prepareRun() override;
    void startRunTimers(QObject &runScope) override;
    bool sendChunk(const char *data, int size) override;
    void finishRun() override;
    bool connectToServer(const QString &id);
    void sampleStats();
    void readSendBuffer();
    void noteSendBuffer(int ms);
    void limitRetransmissionRate(int socket);

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
    // Least send buffer (ms) read since the last sample; -1 before the first reading.
    int lowestSendBufferMs = -1;
    // Shared between the main window's thread and the relay thread.
    std::atomic<int> srtSocket{-1};
    // Guards stats: written once a second by the relay thread, copied out by the GUI's timer.
    mutable QMutex statsMutex;
    LinkStats stats;
};
