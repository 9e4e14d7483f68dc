// A small UDP proxy for tests and benchmarks: it forwards one peer's datagrams to a target and the target's
// replies back, each way after a fixed delay and with an optional random loss. This kernel has no netem, so delay
// and loss on a test link come from here.
//
//   udpimpairproxy LISTEN_ADDR:PORT TARGET_ADDR:PORT [delay-ms-each-way=0] [loss-percent=0]
//
// Prints "listening PORT" once its socket is bound (PORT 0 asks the OS for one) and runs until SIGTERM/SIGINT.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <random>
#include <string>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

volatile sig_atomic_t running = 1;

void onSignal(int) {
    running = 0;
}

bool parseAddress(const char *text, sockaddr_in *address) {
    const std::string value(text);
    const size_t colon = value.rfind(':');
    if (colon == std::string::npos)
        return false;
    std::memset(address, 0, sizeof(*address));
    address->sin_family = AF_INET;
    address->sin_port = htons(static_cast<uint16_t>(std::atoi(value.c_str() + colon + 1)));
    return inet_pton(AF_INET, value.substr(0, colon).c_str(), &address->sin_addr) == 1;
}

struct Datagram {
    Clock::time_point due;
    std::vector<char> bytes;
};

// Datagrams of one direction wait here for their due time; with one fixed delay they leave in arrival order.
struct Direction {
    std::deque<Datagram> queue;
    int socket = -1;
    sockaddr_in to{};
    bool haveDestination = false;

    void flush(Clock::time_point now) {
        while (!queue.empty() && queue.front().due <= now) {
            if (haveDestination)
                sendto(socket, queue.front().bytes.data(), queue.front().bytes.size(), 0,
                       reinterpret_cast<const sockaddr *>(&to), sizeof(to));
            queue.pop_front();
        }
    }
};

} // namespace

int main(int argc, char **argv) {
    if (argc < 3) {
        std::fprintf(stderr, "usage: %s LISTEN_ADDR:PORT TARGET_ADDR:PORT [delay-ms] [loss-percent]\n", argv[0]);
        return 2;
    }
    sockaddr_in listen{};
    sockaddr_in target{};
    if (!parseAddress(argv[1], &listen) || !parseAddress(argv[2], &target)) {
        std::fprintf(stderr, "udpimpairproxy: addresses must be IPv4 ADDR:PORT\n");
        return 2;
    }
    const auto delay = std::chrono::milliseconds(argc > 3 ? std::atoi(argv[3]) : 0);
    const double loss = argc > 4 ? std::atof(argv[4]) / 100.0 : 0.0;

    signal(SIGTERM, onSignal);
    signal(SIGINT, onSignal);

    const int front = socket(AF_INET, SOCK_DGRAM, 0);
    const int back = socket(AF_INET, SOCK_DGRAM, 0);
    // Bursts at line rate must not overflow the default socket buffers while they wait here.
    const int bufferBytes = 8 * 1024 * 1024;
    for (int s : {front, back}) {
        setsockopt(s, SOL_SOCKET, SO_RCVBUF, &bufferBytes, sizeof(bufferBytes));
        setsockopt(s, SOL_SOCKET, SO_SNDBUF, &bufferBytes, sizeof(bufferBytes));
    }
    if (bind(front, reinterpret_cast<sockaddr *>(&listen), sizeof(listen)) != 0) {
        std::perror("udpimpairproxy: bind");
        return 1;
    }
    socklen_t length = sizeof(listen);
    getsockname(front, reinterpret_cast<sockaddr *>(&listen), &length);
    std::printf("listening %d\n", ntohs(listen.sin_port));
    std::fflush(stdout);

    Direction toTarget; // datagrams from the peer, sent on from the back socket
    toTarget.socket = back;
    toTarget.to = target;
    toTarget.haveDestination = true;
    Direction toPeer; // replies, sent back to the peer from the front socket
    toPeer.socket = front;

    std::mt19937 random(12345);
    std::uniform_real_distribution<double> chance(0.0, 1.0);
    std::vector<char> buffer(65536);
    pollfd fds[2] = {{front, POLLIN, 0}, {back, POLLIN, 0}};

    while (running) {
        const Clock::time_point now = Clock::now();
        toTarget.flush(now);
        toPeer.flush(now);
        Clock::time_point next = now + std::chrono::milliseconds(100);
        for (const Direction *d : {&toTarget, &toPeer})
            if (!d->queue.empty() && d->queue.front().due < next)
                next = d->queue.front().due;
        const auto waitMs = std::chrono::duration_cast<std::chrono::milliseconds>(next - now).count();
        if (poll(fds, 2, static_cast<int>(waitMs)) <= 0)
            continue;
        for (int i = 0; i < 2; ++i) {
            if (!(fds[i].revents & POLLIN))
                continue;
            sockaddr_in from{};
            socklen_t fromLength = sizeof(from);
            const ssize_t size = recvfrom(fds[i].fd, buffer.data(), buffer.size(), MSG_DONTWAIT,
                                          reinterpret_cast<sockaddr *>(&from), &fromLength);
            if (size < 0)
                continue;
            Direction &direction = i == 0 ? toTarget : toPeer;
            if (i == 0) {
                toPeer.to = from;
                toPeer.haveDestination = true;
            }
            if (loss > 0 && chance(random) < loss)
                continue;
            direction.queue.push_back({Clock::now() + delay, std::vector<char>(buffer.data(), buffer.data() + size)});
        }
    }
    close(front);
    close(back);
    return 0;
}
