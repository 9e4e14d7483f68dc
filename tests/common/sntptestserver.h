#pragma once

#include <QString>

#include <atomic>
#include <cstdint>
#include <thread>

// A time server of the tests' own on 127.0.0.1 (a port from the OS) whose clock runs offsetMs ahead of the
// system clock. pathDelayMs is added on each way, holdMs between its receive and transmit stamps; the other
// reply kinds answer wrongly or not at all. A wrong reply tells a time an hour off; with thenGood a good reply
// follows it from the same socket.
class SntpTestServer {
public:
    enum Reply {
        Good,
        Silent,
        ForgedFirst,    // first a reply from another port
        ClientMode,     // mode 3
        Short,          // 40 bytes
        ZeroTransmit,   // no transmit time
        KissOfDeath,    // stratum 0
        Unsynchronised, // leap indicator 3
        OtherVersion,   // version 3 to a version 4 request
        OtherOriginate, // the originate time is not the request's transmit time
    };

    explicit SntpTestServer(Reply reply, int offsetMs = 0, int pathDelayMs = 0, int holdMs = 0, bool thenGood = false);
    ~SntpTestServer();
    SntpTestServer(const SntpTestServer &) = delete;
    SntpTestServer &operator=(const SntpTestServer &) = delete;

    // "127.0.0.1:<port>"
    QString address() const;
    int requests() const { return requestCount.load(); }

private:
    void serve();

    Reply reply;
    int64_t offsetNs;
    int pathDelayMs;
    int holdMs;
    bool thenGood;
    int fd;
    int forger;
    std::atomic<bool> stop{false};
    std::atomic<int> requestCount{0};
    std::thread worker;
};
