#pragma once

#include <QMap>
#include <QProcess>
#include <QStringList>

// A real peer program (srt-live-transmit, ristreceiver, ffmpeg ...) run for the length of one test.
// Its output is collected so that a failing test can print it; the destructor always ends it, so a
// failed QVERIFY never leaves a peer behind, and the kernel ends it when the test process dies (a crash,
// or ctest's timeout), so no peer outlives its test. Start it from the thread that outlives it (the
// kernel ties the peer to the thread that started it).
class PeerProcess {
public:
    PeerProcess() = default;
    ~PeerProcess();
    PeerProcess(const PeerProcess &) = delete;
    PeerProcess &operator=(const PeerProcess &) = delete;

    // Starts the program; false (with the reason in output()) when it could not be started.
    bool start(const QString &program, const QStringList &arguments, int startTimeoutMs = 5000);
    // Asks the peer to end (SIGTERM), then kills it after graceMs. Safe to call twice.
    void stop(int graceMs = 3000);
    // Asks the peer to end (SIGTERM) and returns; waitForExit() and endedCleanly() tell how it went.
    void terminate();
    // Ends the peer with SIGKILL, so that it says nothing to its own peers, and reaps it.
    void kill();
    // Waits up to timeoutMs for the peer to end on its own.
    bool waitForExit(int timeoutMs);
    bool isRunning() const;
    int exitCode() const;
    // True once the peer has ended by itself with exit code 0 (not killed, not crashed).
    bool endedCleanly() const;
    QString output();
    QString commandLine() const;

private:
    class Child : public QProcess {
    public:
        qint64 parent = 0;

    protected:
        void setupChildProcess() override;
    };
    Child process;
    QString collected;
};

// srt-live-transmit as an SRT listener on 127.0.0.1:port (query: more "&key=value" settings), writing what it
// receives to outputPath. It writes a live stream only to its standard output; exec lets stop()'s SIGTERM reach
// it, and it then writes out what it still buffers. True once its UDP port is bound. The kernel's table is
// asked, not a bind of our own, which could take the port from under the peer before it binds.
bool startSrtFileServer(PeerProcess &server, quint16 port, const QString &outputPath, const QString &query = {});

// srt-live-transmit as an SRT listener on 127.0.0.1:port (query: more "&key=value" settings) handing what it
// receives on to output, one of its URLs ("udp://127.0.0.1:N", another listener). True once its UDP port is bound.
bool startSrtServer(PeerProcess &server, quint16 port, const QString &output, const QString &query = {});

// srt-live-transmit as an SRT listener on 127.0.0.1:port with the given latency, writing what it receives to
// outputPath and its cumulative statistics every statsEvery packets to outputPath + ".csv" (read them with
// lastSrtStats). True once its UDP port is bound.
bool startSrtStatsServer(PeerProcess &server, quint16 port, const QString &outputPath, int latencyMs, int statsEvery);

// The last row of the statistics srt-live-transmit wrote as CSV, by column name ("pktRecv", "msRTT" ...); empty
// when it wrote none.
QMap<QString, QString> lastSrtStats(const QString &csvPath);

// The tests' UDP proxy relaying 127.0.0.1:<returned port> to 127.0.0.1:targetPort with its impairment arguments
// (delay each way, loss per cent, --burst= ...) and a bound on its life in seconds; 0 when it did not start.
quint16 startImpairProxy(PeerProcess &proxy, quint16 targetPort, const QStringList &impairments,
                         int durationSeconds = 600);

// The counter N after "<direction> ... <name> N" in the proxy's closing lines (once it has ended); -1 when absent.
qint64 impairProxyCounter(PeerProcess &proxy, const QString &direction, const QString &name);
