#pragma once

#include <QString>
#include <QThread>

#include <srt/srt.h>

#include <atomic>

// One bandwidth test: connects to the server with the operator's SRT settings and sends 10 MiB in 1316-byte
// messages, then reads the connection statistics. A new worker runs each test; the dialog reads its progress and,
// once done() holds, its results.
class ThreadTest : public QThread {
public:
    static constexpr int kTestBytes = 10485760;
    static constexpr int kMessageSize = 1316;
    // Failed sends after which the test gives up.
    static constexpr int kMaxErrors = 20;
    // A send phase during which the server takes nothing for this long ends as a failure.
    static constexpr int kNoProgressMs = 5000;

    ThreadTest(const QString &host, const QString &interfaceAddress, int port, const QString &streamId, int latency,
               const QString &passphrase, int keyLength, bool lossless, QObject *parent = nullptr);
    // Asks a running test to stop and waits (bounded) for it.
    ~ThreadTest() override;
    ThreadTest(const ThreadTest &) = delete;
    ThreadTest &operator=(const ThreadTest &) = delete;

    // Never waits: the worker sees the request within a fraction of a second, closes its socket and ends.
    void requestStop();

    int remainingBytes() const { return remaining.load(); }
    // True once the results below are written; they do not change afterwards.
    bool done() const { return finishedTest.load(std::memory_order_acquire); }
    // Empty when the connection worked and data was sent; otherwise what went wrong, for the operator.
    QString failureText() const { return failure; }
    qint64 elapsedMs() const { return elapsed; }
    int errorCount() const { return errors; }
    const SRT_TRACEBSTATS &statistics() const { return stats; }

protected:
    void run() override;

private:
    void sendData(int socket);
    // Blocks until a message may go out without filling the server's buffer or the send window; false when the
    // test must end instead (stop, no progress).
    bool pace(int socket);
    bool drain(int socket);
    void refreshLinkFigures(int socket, size_t queuedBytes);

    // Copied from the dialog when the test starts; only read by the worker.
    const QString host;
    const QString interfaceAddress;
    const int port;
    const QString streamId;
    const int latency;
    const QString passphrase;
    const int keyLength;
    const bool lossless;

    // Written by the worker before finishedTest is set, read by the dialog after it.
    int errors = 0;
    qint64 elapsed = 0;
    SRT_TRACEBSTATS stats{};
    QString failure;

    // Only touched by the worker: pacing state of the send phase.
    struct Pacing;
    Pacing *pacing = nullptr;

    // Shared between the dialog's thread and the worker.
    std::atomic<int> remaining{kTestBytes};
    std::atomic<bool> finishedTest{false};
    std::atomic<bool> stopRequested{false};
};
