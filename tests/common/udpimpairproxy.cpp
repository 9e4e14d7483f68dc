// A small UDP proxy for tests and benchmarks: it forwards one peer's datagrams to a target and the target's
// replies back, each way with its own impairments. This kernel has no netem, so delay, jitter, loss, reordering
// and duplication on a test link come from here.
//
//   udpimpairproxy LISTEN_ADDR:PORT TARGET_ADDR:PORT [delay-ms-each-way=0] [loss-percent=0] [--flags...]
//
//   --jitter=MS          up to MS more delay per datagram, uniformly drawn; order is kept
//   --burst=PERCENT:N    each datagram starts a burst of N lost datagrams with this chance
//   --reorder=PERCENT:MS this share of datagrams is held back MS more, so later ones overtake it
//   --duplicate=PERCENT  this share of datagrams is sent twice
//   --duration=SECONDS   ends by itself after this long (the bound of a test that forgets to stop it)
//   --seed=N             seed of the random choices (default 12345, so runs repeat)
//
// Loss, bursts, reordering and duplication apply to both directions. Prints "listening PORT" once its socket is
// bound (PORT 0 asks the OS for one) and runs until SIGTERM/SIGINT or the duration; at the end it prints one line
// of counters per direction: "forward|backward received N sent N lost N burst-lost N duplicated N reordered N".
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
#include <map>
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

struct Impairment {
    std::chrono::milliseconds delay{0};
    int jitterMs = 0;
    double loss = 0;
    double burstChance = 0;
    int burstLength = 0;
    double reorderChance = 0;
    std::chrono::milliseconds reorderHold{0};
    double duplicateChance = 0;
};

struct Counters {
    long received = 0;
    long sent = 0;
    long lost = 0;
    long burstLost = 0;
    long duplicated = 0;
    long reordered = 0;
};

// Datagrams of one direction wait here ordered by due time; equal due times leave in arrival order.
struct Direction {
    std::multimap<Clock::time_point, std::vector<char>> queue;
    int socket = -1;
    sockaddr_in to{};
    bool haveDestination = false;
    int burstLeft = 0;
    Clock::time_point lastDue{};
    Counters counters;

    void flush(Clock::time_point now) {
        while (!queue.empty() && queue.begin()->first <= now) {
            const std::vector<char> &bytes = queue.begin()->second;
            if (haveDestination &&
                sendto(socket, bytes.data(), bytes.size(), 0, reinterpret_cast<const sockaddr *>(&to), sizeof(to)) >= 0)
                ++counters.sent;
            queue.erase(queue.begin());
        }
    }

    void take(const char *data, size_t size, const Impairment &imp, std::mt19937 &random) {
        std::uniform_real_distribution<double> chance(0.0, 1.0);
        ++counters.received;
        if (burstLeft > 0) {
            --burstLeft;
            ++counters.burstLost;
            return;
        }
        if (imp.burstLength > 0 && imp.burstChance > 0 && chance(random) < imp.burstChance) {
            burstLeft = imp.burstLength - 1;
            ++counters.burstLost;
            return;
        }
        if (imp.loss > 0 && chance(random) < imp.loss) {
            ++counters.lost;
            return;
        }
        Clock::time_point due = Clock::now() + imp.delay;
        if (imp.jitterMs > 0)
            due += std::chrono::microseconds(std::uniform_int_distribution<int>(0, imp.jitterMs * 1000)(random));
        // Jitter alone keeps the order, as a queueing delay would; only the reorder share overtakes.
        if (due < lastDue)
            due = lastDue;
        lastDue = due;
        if (imp.reorderChance > 0 && chance(random) < imp.reorderChance) {
            due += imp.reorderHold;
            ++counters.reordered;
        }
        const std::vector<char> bytes(data, data + size);
        queue.emplace(due, bytes);
        if (imp.duplicateChance > 0 && chance(random) < imp.duplicateChance) {
            queue.emplace(due, bytes);
            ++counters.duplicated;
        }
    }

    void print(const char *name) const {
        std::printf("%s received %ld sent %ld lost %ld burst-lost %ld duplicated %ld reordered %ld\n", name,
                    counters.received, counters.sent, counters.lost, counters.burstLost, counters.duplicated,
                    counters.reordered);
    }
};

// "--name=A" or "--name=A:B"; returns false when the argument is not this flag.
bool flag(const std::string &argument, const char *name, double *first, double *second = nullptr) {
    const std::string prefix = std::string("--") + name + "=";
    if (argument.compare(0, prefix.size(), prefix) != 0)
        return false;
    const std::string value = argument.substr(prefix.size());
    *first = std::atof(value.c_str());
    const size_t colon = value.find(':');
    if (second)
        *second = colon == std::string::npos ? 0 : std::atof(value.c_str() + colon + 1);
    return true;
}

} // namespace

int main(int argc, char **argv) {
    if (argc < 3) {
        std::fprintf(stderr, "usage: %s LISTEN_ADDR:PORT TARGET_ADDR:PORT [delay-ms] [loss-percent] [--flags]\n",
                     argv[0]);
        return 2;
    }
    sockaddr_in listen{};
    sockaddr_in target{};
    if (!parseAddress(argv[1], &listen) || !parseAddress(argv[2], &target)) {
        std::fprintf(stderr, "udpimpairproxy: addresses must be IPv4 ADDR:PORT\n");
        return 2;
    }
    Impairment imp;
    double durationS = 0;
    unsigned seed = 12345;
    int positional = 0;
    for (int i = 3; i < argc; ++i) {
        const std::string argument(argv[i]);
        double a = 0;
        double b = 0;
        if (argument.compare(0, 2, "--") != 0) {
            if (positional == 0)
                imp.delay = std::chrono::milliseconds(std::atoi(argv[i]));
            else if (positional == 1)
                imp.loss = std::atof(argv[i]) / 100.0;
            ++positional;
        } else if (flag(argument, "jitter", &a)) {
            imp.jitterMs = static_cast<int>(a);
        } else if (flag(argument, "burst", &a, &b)) {
            imp.burstChance = a / 100.0;
            imp.burstLength = static_cast<int>(b);
        } else if (flag(argument, "reorder", &a, &b)) {
            imp.reorderChance = a / 100.0;
            imp.reorderHold = std::chrono::milliseconds(static_cast<int>(b));
        } else if (flag(argument, "duplicate", &a)) {
            imp.duplicateChance = a / 100.0;
        } else if (flag(argument, "duration", &a)) {
            durationS = a;
        } else if (flag(argument, "seed", &a)) {
            seed = static_cast<unsigned>(a);
        } else {
            std::fprintf(stderr, "udpimpairproxy: unknown option %s\n", argv[i]);
            return 2;
        }
    }

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

    std::mt19937 random(seed);
    std::vector<char> buffer(65536);
    pollfd fds[2] = {{front, POLLIN, 0}, {back, POLLIN, 0}};
    const Clock::time_point end = durationS > 0
                                      ? Clock::now() + std::chrono::milliseconds(static_cast<long>(durationS * 1000))
                                      : Clock::time_point::max();

    while (running && Clock::now() < end) {
        const Clock::time_point now = Clock::now();
        toTarget.flush(now);
        toPeer.flush(now);
        Clock::time_point next = now + std::chrono::milliseconds(100);
        for (const Direction *d : {&toTarget, &toPeer})
            if (!d->queue.empty() && d->queue.begin()->first < next)
                next = d->queue.begin()->first;
        // Round up, or a datagram due within the next millisecond makes poll spin with a zero timeout.
        const auto waitMs = std::chrono::duration_cast<std::chrono::microseconds>(next - now).count() / 1000 + 1;
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
            if (i == 0) {
                toPeer.to = from;
                toPeer.haveDestination = true;
            }
            (i == 0 ? toTarget : toPeer).take(buffer.data(), static_cast<size_t>(size), imp, random);
        }
    }
    toTarget.print("forward");
    toPeer.print("backward");
    std::fflush(stdout);
    close(front);
    close(back);
    return 0;
}
