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

    // A datagram from the server is its answer to the request whose transmit timestamp was originate (8 bytes) only
    // if it passes the client checks of RFC 4330 section 5: a whole header, a synchronised server (leap indicator
    // not 3, stratum 1 to 15: 0 is a kiss-o'-death), the request's version in server mode, a transmit time, and the
    // request's transmit time as its originate time. Others are dropped and the client waits on.
    static bool isServerReply(const uint8_t *data, size_t size, const uint8_t *originate);
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
    // Waits for the reply to the request just sent; datagrams from anywhere else, and those that fail the
    // checks of isServerReply, are dropped. Rx Msg Err when only such ones came before the time ran out.
    uint16_t receiveReply();

    int socketFd = -1;
    sockaddr_in serverAddress{};
    bool addressValid = false;
    std::string serverText;
    bool setUpOnce = false;
    int timeoutMs;
    const std::atomic<bool> *cancelled;
    std::array<uint8_t, kPacketSize> packet{};
    std::array<uint8_t, 8> requestTransmit{}; // the transmit timestamp of the request under way

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
