#pragma once

#include "linkstats.h"

#include <QByteArray>
#include <QDeadlineTimer>
#include <QMutex>
#include <QString>
#include <QThread>

#include <atomic>

class LogsDlg;
class QTcpSocket;

// The SRT relay: accepts the encoder's transport stream on a loopback TCP listener and forwards it to the SRT
// server in 1316-byte messages. One object lives for the whole program; every Start runs the thread once.
class RESender : public QThread {
    Q_OBJECT

public:
    // Seven 188-byte transport stream packets: one SRT live message.
    static constexpr int kChunkSize = 1316;
    // Failed chunk sends a run tolerates; the next one stops forwarding and raises srtError.
    static constexpr int kMaxSendErrors = 5;
    static constexpr int kDefaultEncoderWaitMs = 30000;
    // A run told to end leaves within one wait slice; this only runs out when the library hangs.
    static constexpr int kPreviousRunWaitMs = 5000;

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
    // Read at the start of the next run: appends "#alpha" to the stream id.
    void setAlpha(bool alpha);

    // How long a run waits for the encoder's connection; tests shorten it.
    void setEncoderWaitMs(int ms) { encoderWaitMs.store(ms); }
    // Port the next listener asks for; 0 lets the OS choose (the only value the system uses).
    void setRequestedListenPort(quint16 port) { requestedListenPort.store(port); }

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

    // Loopback port of the current run's listener: 0 until it is open, -1 when it could not be opened.
    std::atomic<int> listenPort{0};

signals:
    void srtError();

protected:
    void run() override;

private:
    void forward(QTcpSocket *connection);
    bool waitForEncoder(class QTcpServer &server);
    void connectToServer(const QString &id);
    void log(const QString &text) const;
    void sampleStats();
    void readSendBuffer();
    void noteSendBuffer(int ms);
    void limitRetransmissionRate(int socket);
    // Asks a running run to end: interrupts the encoder wait, discards data, unblocks a send, ends the loop.
    void requestEnd();

    LogsDlg *logWindow;
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
    QByteArray buffer;
    int errorCount = 0;
    bool statsPrimed = false;
    // Least send buffer (ms) read since the last sample; -1 before the first reading.
    int lowestSendBufferMs = -1;
    // Shared between the main window's thread and the relay thread.
    std::atomic<int> srtSocket{-1};
    std::atomic<bool> stopFlag{false};
    std::atomic<bool> endRequested{false};
    std::atomic<bool> alpha{false};
    std::atomic<int> encoderWaitMs{kDefaultEncoderWaitMs};
    std::atomic<quint16> requestedListenPort{0};
    // Guards stats: written once a second by the relay thread, copied out by the GUI's timer.
    mutable QMutex statsMutex;
    LinkStats stats;
};
