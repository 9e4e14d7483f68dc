#pragma once

#include "ntpiclient.h"

#include <netinet/in.h>

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>

namespace NTP_client {

// An SNTP client (RFC 4330) over one UDP socket. One thread uses a client at a time; another thread may set the
// cancel flag, which ends a pending receive within one poll slice (as a timeout).
class Client : public IClient {
public:
    static constexpr int kDefaultTimeoutMs = 5000;
    static constexpr uint16_t kDefaultPort = 123;
    static constexpr int kPacketSize = 48;

    explicit Client(int receiveTimeoutMs = kDefaultTimeoutMs, const std::atomic<bool> *cancel = nullptr);
    ~Client() override;
    Client(const Client &) = delete;
    Client &operator=(const Client &) = delete;

    uint16_t query(const char *server, std::unique_ptr<Result> &result) override;

    double lastOffset() const { return offset; }
    double lastDelay() const { return delay; }
    int64_t lastTime() const { return time; }

    // An NTP timestamp (big-endian seconds and fraction at p) in nanoseconds since 1970.
    static double timestampToUnixNs(const uint8_t *p);

    // A datagram from the server is a usable answer only if it holds a whole header in server mode and a
    // transmit time; anything else ends the exchange as a receive error.
    static bool isServerReply(const uint8_t *data, size_t size);
    struct Timing {
        double offset = 0.0;
        double delay = 0.0;
        int64_t time = 0;
    };
    // The clock figures of a reply (kPacketSize bytes) to a request sent at t1Ns by the system clock and
    // answered at t4Ns on the same time line.
    static Timing replyTiming(const uint8_t *reply, int64_t t1Ns, double t4Ns);

private:
    uint16_t setUp(const char *server);
    uint16_t exchange();
    // Waits for a reply from the server asked; datagrams from anywhere else are dropped.
    uint16_t receiveReply();

    int socketFd = -1;
    sockaddr_in serverAddress{};
    bool addressValid = false;
    std::string serverText;
    bool setUpOnce = false;
    int timeoutMs;
    const std::atomic<bool> *cancelled;
    std::array<uint8_t, kPacketSize> packet{};

    double offset = 0.0;
    double delay = 0.0;
    int64_t time = 0;

    static constexpr int kJitterSamples = 100;
    std::array<double, kJitterSamples> jitterRing{};
    int jitterIndex = 0;
    int jitterCount = 0;
    double jitter = 0.0;
    double previousDelay = 0.0;
};

} // namespace NTP_client
