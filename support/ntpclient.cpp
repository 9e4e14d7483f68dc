#include "ntpclient.h"

#include <arpa/inet.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace NTP_client {

namespace {

// Adding this modulo 2^32 subtracts the 2208988800 seconds between the NTP epoch (1900) and 1970.
constexpr uint32_t kEpochShift = 2085978496u;
constexpr double kNsPerSecond = 1e9;
// The fraction is scaled by 2^32 - 1, so that a fraction with every bit set counts as one whole second.
constexpr double kFractionScale = 4294967295.0;
constexpr int kOriginateOffset = 24;
constexpr int kReceiveOffset = 32;
constexpr int kTransmitOffset = 40;
constexpr uint8_t kModeMask = 0x07;
constexpr uint8_t kModeServer = 4;
constexpr int kVersionShift = 3;
constexpr uint8_t kVersionMask = 0x07;
constexpr uint8_t kRequestVersion = 4;
constexpr int kLeapShift = 6;
constexpr uint8_t kLeapUnsynchronised = 3;
constexpr uint8_t kHighestStratum = 15;
constexpr uint64_t kUnixToNtpSeconds = 2208988800ull;
constexpr double kFractionPerSecond = 4294967296.0;
// Replies may carry extension fields or a MAC after the 48-byte header; a larger buffer keeps them whole.
constexpr int kReceiveBufferSize = 512;
// A pending receive looks at the cancel flag this often.
constexpr int kPollSliceMs = 100;
constexpr size_t kServerTextMax = 99;

uint32_t readBigEndian32(const uint8_t *p) {
    return (uint32_t(p[0]) << 24) | (uint32_t(p[1]) << 16) | (uint32_t(p[2]) << 8) | uint32_t(p[3]);
}

// t (nanoseconds since 1970) as an NTP timestamp, big-endian seconds and fraction.
void putTimestamp(uint8_t *p, int64_t unixNs) {
    const uint64_t seconds = uint64_t(unixNs / 1000000000) + kUnixToNtpSeconds;
    const auto fraction = uint32_t(double(unixNs % 1000000000) / kNsPerSecond * kFractionPerSecond);
    for (int i = 0; i < 4; ++i) {
        p[i] = uint8_t(seconds >> (24 - 8 * i));
        p[4 + i] = uint8_t(fraction >> (24 - 8 * i));
    }
}

int64_t systemNowNs() {
    using namespace std::chrono;
    return duration_cast<nanoseconds>(system_clock::now().time_since_epoch()).count();
}

int64_t steadyNowNs() {
    using namespace std::chrono;
    return duration_cast<nanoseconds>(steady_clock::now().time_since_epoch()).count();
}

} // namespace

const char *statusText(uint16_t status) {
    switch (status) {
    case OK:
        return "OK";
    case INIT_WINSOCK_ERR:
        return "Init Winsock Err";
    case CREATE_SOCKET_ERR:
        return "Create Socket Err";
    case TX_MESSAGE_ERR:
        return "Tx Message Err";
    case RX_MSG_ERR:
        return "Rx Msg Err";
    case RX_MSG_TIMEOUT:
        return "Rx Msg Timeout";
    default:
        return "Unknown Error";
    }
}

Client::Client(int receiveTimeoutMs, const std::atomic<bool> *cancel)
    : timeoutMs(receiveTimeoutMs), cancelled(cancel) {}

Client::~Client() {
    if (socketFd >= 0)
        ::close(socketFd);
}

double Client::timestampToUnixNs(const uint8_t *p) {
    const uint32_t seconds = readBigEndian32(p) + kEpochShift;
    const uint32_t fraction = readBigEndian32(p + 4);
    return double(seconds) * kNsPerSecond + double(fraction) / kFractionScale * kNsPerSecond;
}

uint16_t Client::setUp(const char *server) {
    if (socketFd >= 0) {
        ::close(socketFd);
        socketFd = -1;
    }
    std::string text(server, strnlen(server, kServerTextMax));
    uint16_t status = OK;
    socketFd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, IPPROTO_UDP);
    if (socketFd < 0)
        status = CREATE_SOCKET_ERR;

    std::string host = text;
    long port = kDefaultPort;
    const size_t colon = text.rfind(':');
    if (colon != std::string::npos) {
        host = text.substr(0, colon);
        char *end = nullptr;
        port = std::strtol(text.c_str() + colon + 1, &end, 10);
        if (end == text.c_str() + colon + 1 || *end != '\0' || port <= 0 || port > 65535)
            port = -1;
    }
    serverAddress = sockaddr_in{};
    serverAddress.sin_family = AF_INET;
    serverAddress.sin_port = htons(uint16_t(port > 0 ? port : 0));
    // An address that does not parse must not leave 0.0.0.0 in place: that would send to this host.
    addressValid = port > 0 && inet_pton(AF_INET, host.c_str(), &serverAddress.sin_addr) == 1;

    serverText = text;
    setUpOnce = true;
    std::printf("Server: %s\n", serverText.c_str());
    std::fflush(stdout);
    return status;
}

uint16_t Client::query(const char *server, std::unique_ptr<Result> &result) {
    if (!server)
        server = "";
    if (!setUpOnce || serverText != std::string(server, strnlen(server, kServerTextMax))) {
        const uint16_t status = setUp(server);
        if (status != OK)
            return status;
    }
    if (socketFd < 0)
        return CREATE_SOCKET_ERR;

    const uint16_t status = exchange();
    if (status != OK)
        return status;

    if (!result) {
        result.reset(new (std::nothrow) Result());
        if (!result) {
            std::printf("%s\n", statusText(UNKNOWN_ERROR));
            return UNKNOWN_ERROR;
        }
    }
    result->time = time;
    result->delay = delay;
    result->offset = offset;
    if (previousDelay > 0.0) {
        jitterRing[size_t(jitterIndex)] = std::fabs(delay - previousDelay);
        jitterIndex = (jitterIndex + 1) % kJitterSamples;
        if (jitterCount < kJitterSamples)
            ++jitterCount;
        double sum = 0.0;
        for (int i = 0; i < jitterCount; ++i)
            sum += jitterRing[size_t(i)];
        jitter = sum / jitterCount;
    }
    result->jitter = jitter;
    result->delayPlusOffset = delay + offset;
    previousDelay = delay;
    return OK;
}

uint16_t Client::exchange() {
    if (!addressValid)
        return TX_MESSAGE_ERR;
    packet.fill(0);
    packet[0] = 0xE3; // leap indicator 3 (unsynchronised), version 4, mode 3 (client)
    packet[1] = 0;    // stratum
    packet[2] = 4;    // poll
    packet[3] = 0xF6; // precision -10
    packet[5] = 1;    // root delay 1.0 s
    packet[9] = 1;    // root dispersion 1.0 s

    // T4 comes from the steady clock, so a step of the system clock during the exchange cannot distort it.
    const int64_t t1 = systemNowNs();
    const int64_t s1 = steadyNowNs();
    // The server copies it into its reply's originate field: a reply to another request, or a forged one, does not
    // carry it.
    putTimestamp(packet.data() + kTransmitOffset, t1);
    std::memcpy(requestTransmit.data(), packet.data() + kTransmitOffset, requestTransmit.size());
    const ssize_t sent = ::sendto(socketFd, packet.data(), packet.size(), 0,
                                  reinterpret_cast<const sockaddr *>(&serverAddress), sizeof serverAddress);
    if (sent != ssize_t(packet.size()))
        return TX_MESSAGE_ERR;

    const uint16_t status = receiveReply();
    if (status != OK)
        return status;
    const int64_t s2 = steadyNowNs();
    const double t4 = double(t1) + double(s2 - s1);

    const Timing timing = replyTiming(packet.data(), t1, t4);
    offset = timing.offset;
    delay = timing.delay;
    time = timing.time;
    return OK;
}

bool Client::isServerReply(const uint8_t *data, size_t size, const uint8_t *originate) {
    if (size < size_t(kPacketSize))
        return false;
    const uint8_t leap = data[0] >> kLeapShift;
    const uint8_t version = (data[0] >> kVersionShift) & kVersionMask;
    const uint8_t stratum = data[1];
    return leap != kLeapUnsynchronised && version == kRequestVersion && (data[0] & kModeMask) == kModeServer &&
           stratum >= 1 && stratum <= kHighestStratum &&
           (readBigEndian32(data + kTransmitOffset) != 0 || readBigEndian32(data + kTransmitOffset + 4) != 0) &&
           std::memcmp(data + kOriginateOffset, originate, 8) == 0;
}

Client::Timing Client::replyTiming(const uint8_t *reply, int64_t t1Ns, double t4Ns) {
    const double t2 = timestampToUnixNs(reply + kReceiveOffset);
    const double t3 = timestampToUnixNs(reply + kTransmitOffset);
    Timing timing;
    timing.offset = ((t2 - double(t1Ns)) + (t3 - t4Ns)) / 2.0;
    timing.delay = (t4Ns - double(t1Ns)) - (t3 - t2);
    timing.time = int64_t(t4Ns + timing.offset);
    return timing;
}

uint16_t Client::receiveReply() {
    uint8_t buffer[kReceiveBufferSize];
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    bool refused = false;
    for (;;) {
        if (cancelled && cancelled->load())
            return RX_MSG_TIMEOUT;
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now()).count();
        if (left <= 0)
            return refused ? RX_MSG_ERR : RX_MSG_TIMEOUT;
        pollfd waiting{socketFd, POLLIN, 0};
        const int ready = ::poll(&waiting, 1, int(left < kPollSliceMs ? left : kPollSliceMs));
        if (ready < 0 && errno != EINTR)
            return RX_MSG_ERR;
        if (ready <= 0)
            continue;

        sockaddr_in from{};
        socklen_t fromLength = sizeof from;
        const ssize_t n =
            ::recvfrom(socketFd, buffer, sizeof buffer, MSG_DONTWAIT, reinterpret_cast<sockaddr *>(&from), &fromLength);
        if (n < 0) {
            if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)
                continue;
            return RX_MSG_ERR;
        }
        // Anyone can send to our port; only the server asked may answer.
        if (fromLength != sizeof from || from.sin_family != AF_INET ||
            from.sin_addr.s_addr != serverAddress.sin_addr.s_addr || from.sin_port != serverAddress.sin_port)
            continue;
        // A late answer to an earlier request, or a server that cannot tell the time now, is no answer: the right
        // one may still come.
        if (!isServerReply(buffer, size_t(n), requestTransmit.data())) {
            refused = true;
            continue;
        }
        std::memcpy(packet.data(), buffer, kPacketSize);
        return OK;
    }
}

} // namespace NTP_client
