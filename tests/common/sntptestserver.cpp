#include "sntptestserver.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstring>

namespace {

int64_t systemNowNs() {
    using namespace std::chrono;
    return duration_cast<nanoseconds>(system_clock::now().time_since_epoch()).count();
}

void putTimestamp(uint8_t *p, int64_t unixNs) {
    const uint64_t seconds = uint64_t(unixNs / 1000000000) + 2208988800ull;
    const uint64_t fraction = uint64_t(double(unixNs % 1000000000) / 1e9 * 4294967296.0);
    for (int i = 0; i < 4; ++i) {
        p[i] = uint8_t(seconds >> (24 - 8 * i));
        p[4 + i] = uint8_t(fraction >> (24 - 8 * i));
    }
}

int loopbackUdpSocket() {
    const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(fd, reinterpret_cast<sockaddr *>(&address), sizeof address);
    return fd;
}

void sleepMs(int ms) {
    if (ms > 0)
        std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

} // namespace

SntpTestServer::SntpTestServer(Reply reply, int offsetMs, int pathDelayMs, int holdMs, bool thenGood)
    : reply(reply), offsetNs(int64_t(offsetMs) * 1000000), pathDelayMs(pathDelayMs), holdMs(holdMs), thenGood(thenGood),
      fd(loopbackUdpSocket()), forger(loopbackUdpSocket()) {
    worker = std::thread([this] { serve(); });
}

SntpTestServer::~SntpTestServer() {
    stop.store(true);
    worker.join();
    ::close(fd);
    ::close(forger);
}

QString SntpTestServer::address() const {
    sockaddr_in address{};
    socklen_t length = sizeof address;
    ::getsockname(fd, reinterpret_cast<sockaddr *>(&address), &length);
    return QStringLiteral("127.0.0.1:%1").arg(ntohs(address.sin_port));
}

void SntpTestServer::serve() {
    constexpr int kPacket = 48;
    constexpr int64_t kHourNs = 3600LL * 1000000000;
    while (!stop.load()) {
        pollfd waiting{fd, POLLIN, 0};
        if (::poll(&waiting, 1, 50) <= 0)
            continue;
        uint8_t request[64];
        sockaddr_in from{};
        socklen_t fromLength = sizeof from;
        if (::recvfrom(fd, request, sizeof request, 0, reinterpret_cast<sockaddr *>(&from), &fromLength) < kPacket)
            continue;
        requestCount.fetch_add(1);
        if (reply == Silent)
            continue;
        sleepMs(pathDelayMs);
        uint8_t packet[kPacket] = {};
        packet[0] = 0x24;                          // leap indicator 0, version 4, mode 4
        packet[1] = 2;                             // stratum
        std::memcpy(packet + 24, request + 40, 8); // the originate time is the request's transmit time
        putTimestamp(packet + 32, systemNowNs() + offsetNs);
        uint8_t wrong[kPacket];
        std::memcpy(wrong, packet, sizeof wrong);
        putTimestamp(wrong + 32, systemNowNs() + offsetNs + kHourNs);
        putTimestamp(wrong + 40, systemNowNs() + offsetNs + kHourNs);
        size_t wrongSize = kPacket;
        switch (reply) {
        case ClientMode:
            wrong[0] = 0x23;
            break;
        case Short:
            wrongSize = 40;
            break;
        case ZeroTransmit:
            std::memset(wrong + 40, 0, 8);
            break;
        case KissOfDeath:
            wrong[1] = 0;
            std::memcpy(wrong + 12, "RATE", 4);
            break;
        case Unsynchronised:
            wrong[0] = 0xE4;
            break;
        case OtherVersion:
            wrong[0] = 0x1C;
            break;
        case OtherOriginate:
            wrong[31] ^= 0x01;
            break;
        default:
            break;
        }
        if (reply == ForgedFirst)
            ::sendto(forger, wrong, sizeof wrong, 0, reinterpret_cast<sockaddr *>(&from), fromLength);
        else if (reply != Good)
            ::sendto(fd, wrong, wrongSize, 0, reinterpret_cast<sockaddr *>(&from), fromLength);
        if (reply != Good && reply != ForgedFirst && !thenGood)
            continue;
        sleepMs(holdMs);
        putTimestamp(packet + 40, systemNowNs() + offsetNs);
        sleepMs(pathDelayMs);
        ::sendto(fd, packet, kPacket, 0, reinterpret_cast<sockaddr *>(&from), fromLength);
    }
}
