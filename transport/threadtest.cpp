#include "threadtest.h"

#include "connectsrt.h"

#include <QByteArray>
#include <QDebug>
#include <QElapsedTimer>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <thread>
#include <vector>

namespace {

// Every wait of the worker is cut into slices this long so that a Stop is seen at once.
constexpr int kSendTimeoutMs = 100;
constexpr auto kPollInterval = std::chrono::microseconds(200);
constexpr int kStopWaitMs = 2000;
// The link figures (round trip) that pacing depends on are read this often.
constexpr qint64 kRefreshMs = 50;

// The server's receive buffer, in packets, is assumed to be the library's default. In live mode it holds every
// packet for the latency before handing it on; once it is full the receiver stops acknowledging and the
// connection never recovers, so at most half of it may be sent within one latency plus round trip.
constexpr int kServerBufferPackets = 8192;
constexpr int kHeldPacketsLimit = kServerBufferPackets / 2;
// The send window (data in the library's buffer, sent or not, until acknowledged) starts small and grows while
// the oldest unacknowledged message comes back within the shortest round trip plus the receiver's acknowledgement
// interval and some slack. A message waiting much longer than that is queued, not in flight: the sender then holds
// back. A fixed window would cap the rate at one window per round trip on a long path; an unbounded one would queue
// seconds of data on a slow link, which the library then drops as too late (and a live receiver that misses
// dropped packets may stop acknowledging altogether).
constexpr double kAckSlackMs = 60;
constexpr double kMaxQueueAgeMs = 100;
constexpr double kWindowMargin = 1.25;
constexpr double kGrowingRate = 1.2;
constexpr double kWindowStep = 1.5;
constexpr int kAcksBeforeRtt = 3;
constexpr size_t kMinWindowBytes = 64000;
constexpr size_t kMaxWindowBytes = 4 * 1024 * 1024;
// Header bytes an SRT data packet adds to its payload within the MSS (IPv4 20, UDP 8, SRT 16).
constexpr int kPacketOverhead = 44;

} // namespace

struct ThreadTest::Pacing {
    // When each message went out, microseconds on the send phase's clock.
    std::vector<qint64> sentAt;
    // The first message still within the server's hold window.
    size_t heldFrom = 0;
    QElapsedTimer clock;
    QElapsedTimer sinceProgress;
    QElapsedTimer sinceRefresh;
    int packetsPerMessage = 1;
    double rttMs = 0;
    // The library starts from a guessed round trip; the shortest measured one is the path's own.
    double minRttMs = 0;
    size_t window = kMinWindowBytes;
    bool windowLimited = false;
    qint64 ackedAtRefresh = 0;
    double ackedPerMs = 0;
    size_t lastQueuedBytes = 0;
    bool stalled = false;

    qint64 now() const { return clock.nsecsElapsed() / 1000; }
    // Age of the oldest message the server has not acknowledged yet, in milliseconds.
    double oldestUnackedMs(size_t queuedBytes) const {
        const size_t unacked = std::min(sentAt.size(), (queuedBytes + kMessageSize - 1) / kMessageSize);
        return unacked == 0 ? 0.0 : double(now() - sentAt[sentAt.size() - unacked]) / 1000.0;
    }
};

ThreadTest::ThreadTest(const QString &host, const QString &interfaceAddress, int port, const QString &streamId,
                       int latency, const QString &passphrase, int keyLength, bool lossless, QObject *parent)
    : QThread(parent), host(host), interfaceAddress(interfaceAddress), port(port), streamId(streamId), latency(latency),
      passphrase(passphrase), keyLength(keyLength), lossless(lossless) {}

ThreadTest::~ThreadTest() {
    if (isRunning()) {
        requestStop();
        wait(kStopWaitMs);
    }
}

void ThreadTest::requestStop() {
    stopRequested.store(true);
}

void ThreadTest::run() {
    elapsed = 0;
    errors = 0;
    remaining.store(kTestBytes);

    qDebug() << "start connect ..." << host << port << streamId << latency
             << (passphrase.isEmpty() ? QString() : QStringLiteral("***")) << keyLength;
    int socket = -1;
    // The connect is made non-blocking so that a Stop never waits for the library's connect timeout, and sends
    // time out in slices so that a full send buffer cannot hold the worker either.
    const QString result = connectSRT(socket, host, interfaceAddress, quint16(port), streamId, latency, passphrase,
                                      keyLength, lossless, [this](int created) {
                                          const int no = 0;
                                          srt_setsockflag(created, SRTO_RCVSYN, &no, sizeof(no));
                                          const int timeout = kSendTimeoutMs;
                                          srt_setsockflag(created, SRTO_SNDTIMEO, &timeout, sizeof(timeout));
                                          return !stopRequested.load();
                                      });
    const bool connected = result.isEmpty() && waitForSrtConnection(socket, stopRequested, 2);
    if (!result.isEmpty())
        failure = result;
    else if (!connected && !stopRequested.load())
        failure = QStringLiteral("SRT CONNECT FAILED");
    qDebug() << "end connect" << (stopRequested.load() ? QStringLiteral("stopped") : failure);

    if (!connected) {
        if (socket != -1)
            srt_close(socket);
        finishedTest.store(true, std::memory_order_release);
        return;
    }
    sendData(socket);
    finishedTest.store(true, std::memory_order_release);

    // In live mode the server hands the last packets on only after the latency; closing at once would discard
    // them there. The result is out already; a stop cuts this short.
    const int holdMs = lossless || !failure.isEmpty() ? 0 : latency;
    QElapsedTimer held;
    held.start();
    while (!stopRequested.load() && held.elapsed() < holdMs)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    // File mode lingers up to three minutes on unsent data by default; a stopped test must not.
    const linger off{0, 0};
    srt_setsockflag(socket, SRTO_LINGER, &off, sizeof(off));
    srt_close(socket);
}

void ThreadTest::refreshLinkFigures(int socket, size_t queuedBytes) {
    Pacing &p = *pacing;
    SRT_TRACEBSTATS now{};
    // Until a few acknowledgements came back the library reports its initial guess, not the path's round trip.
    if (srt_bistats(socket, &now, 0, 1) == 0 && now.msRTT > 0 && now.pktRecvACKTotal >= kAcksBeforeRtt) {
        p.rttMs = now.msRTT;
        p.minRttMs = p.minRttMs > 0 ? std::min(p.minRttMs, now.msRTT) : now.msRTT;
    }
    const qint64 acked = qint64(p.sentAt.size()) * kMessageSize - qint64(queuedBytes);
    const qint64 intervalMs = p.sinceRefresh.elapsed();
    const double age = p.oldestUnackedMs(queuedBytes);
    const double bytesPerMs =
        intervalMs > 0 ? double(std::max<qint64>(0, acked - p.ackedAtRefresh)) / double(intervalMs) : 0.0;
    if (p.minRttMs > 0 && age >= p.minRttMs + kAckSlackMs) {
        // A queue builds up: the window shrinks to what the path acknowledged in one round trip and the slack.
        const double fitting = kWindowMargin * bytesPerMs * (p.minRttMs + kAckSlackMs);
        p.window = std::clamp(size_t(fitting), kMinWindowBytes, p.window);
    } else if (p.windowLimited && bytesPerMs > kGrowingRate * p.ackedPerMs) {
        // The window held the sender back and a larger one still brought a higher rate: the path takes more.
        p.window = std::min(size_t(kWindowStep * double(p.window)), kMaxWindowBytes);
    }
    p.ackedPerMs = bytesPerMs;
    p.windowLimited = false;
    p.ackedAtRefresh = acked;
    p.sinceRefresh.restart();
}

bool ThreadTest::pace(int socket) {
    Pacing &p = *pacing;
    for (;;) {
        if (stopRequested.load())
            return false;
        size_t blocks = 0;
        size_t bytes = 0;
        srt_getsndbuffer(socket, &blocks, &bytes);
        if (bytes < p.lastQueuedBytes)
            p.sinceProgress.restart();
        p.lastQueuedBytes = bytes;
        if (p.sinceRefresh.elapsed() >= kRefreshMs)
            refreshLinkFigures(socket, bytes);

        // Keep what the server holds (everything sent within one latency plus round trip) inside its buffer.
        const qint64 now = p.now();
        const double holdMs = (lossless ? 0.0 : latency) + p.rttMs + kAckSlackMs;
        const qint64 holdUs = qint64(holdMs * 1000);
        while (p.heldFrom < p.sentAt.size() && now - p.sentAt[p.heldFrom] > holdUs)
            ++p.heldFrom;
        const bool serverFull = qint64(p.sentAt.size() - p.heldFrom + 1) * p.packetsPerMessage > kHeldPacketsLimit;
        const bool windowFull = bytes + kMessageSize > p.window;
        const bool queued = p.oldestUnackedMs(bytes) >= p.minRttMs + kMaxQueueAgeMs;

        if (!serverFull && !windowFull && !queued)
            return true;
        p.windowLimited = p.windowLimited || (windowFull && !queued);
        if (p.sinceProgress.elapsed() >= kNoProgressMs) {
            p.stalled = true;
            return false;
        }
        std::this_thread::sleep_for(kPollInterval);
    }
}

bool ThreadTest::drain(int socket) {
    // The test is over when the server has acknowledged the last byte, not when the library took it.
    Pacing &p = *pacing;
    for (;;) {
        size_t blocks = 0;
        size_t bytes = 0;
        srt_getsndbuffer(socket, &blocks, &bytes);
        if (bytes == 0)
            return true;
        if (bytes < p.lastQueuedBytes)
            p.sinceProgress.restart();
        p.lastQueuedBytes = bytes;
        if (stopRequested.load())
            return false;
        if (p.sinceProgress.elapsed() >= kNoProgressMs) {
            p.stalled = true;
            return false;
        }
        std::this_thread::sleep_for(kPollInterval);
    }
}

void ThreadTest::sendData(int socket) {
    qDebug() << "-- sendData";
    Pacing state;
    pacing = &state;
    int mss = 0;
    int length = sizeof(mss);
    if (srt_getsockflag(socket, SRTO_MSS, &mss, &length) == 0 && mss > kPacketOverhead)
        state.packetsPerMessage = (kMessageSize + mss - kPacketOverhead - 1) / (mss - kPacketOverhead);
    refreshLinkFigures(socket, 0);

    state.sentAt.reserve(kTestBytes / kMessageSize + 1);
    QByteArray payload(kMessageSize, '\0');
    for (int i = 0; i < kMessageSize; ++i)
        payload[i] = char(i * 7);

    state.clock.start();
    state.sinceProgress.start();
    while (remaining.load() > 0) {
        if (!pace(socket))
            break;
        const int sent = srtSendAll(socket, payload.constData(), payload.size());
        if (sent < 1) {
            // A send that timed out only means the buffer is still full, for at most the no-progress time.
            if (sent == -1 && srt_getlasterror(nullptr) == SRT_EASYNCSND) {
                if (state.sinceProgress.elapsed() < kNoProgressMs)
                    continue;
                state.stalled = true;
                break;
            }
            if (++errors >= kMaxErrors)
                break;
            continue;
        }
        state.sentAt.push_back(state.now());
        state.sinceProgress.restart();
        remaining.fetch_sub(sent);
    }
    if (remaining.load() <= 0)
        drain(socket);

    std::memset(&stats, 0, sizeof(stats));
    srt_bstats(socket, &stats, 1);
    qDebug() << "-- SRT stat OK" << stats.msTimeStamp << stats.pktSentTotal << stats.pktSent << stats.pktSndDrop
             << stats.pktSndLoss << stats.mbpsSendRate << stats.mbpsBandwidth;
    elapsed = state.clock.elapsed();
    if (state.stalled)
        failure = QStringLiteral("no data went through for %1 seconds").arg(kNoProgressMs / 1000);
    pacing = nullptr;
}
