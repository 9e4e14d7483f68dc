// Throughput and CPU cost of the SRT relay, compared in the same run with srt-live-transmit doing the same job.
//
//   ours:   writer --TCP--> RESender --SRT--> srt-live-transmit (listener) --stdout--> counter
//   theirs: writer --UDP--> srt-live-transmit (udp -> srt caller) --SRT--> srt-live-transmit (listener) --> counter
//// The forwarder's SRT caller gets the options our connection uses (MSS 1052, peer latency 120 ms), so that both
// put the same packets on the wire. "STALLED" marks a transfer after which nothing arrived for a few seconds (an
// overloaded live-mode receiver can stop taking data); its figures cover what arrived until then.
//
// Each is run at full speed, paced at 400 Mbit/s (the rate the relay must sustain) and paced at 20 Mbit/s. Then our
// relay runs paced again with a backup server (a second listener and counter), against itself without one: the
// CPU per GB of stream it costs to send every message twice (the goal is at most 1.9 times).
// Usage: bench_srtrelay [megabytes=500] [paced-seconds=10]
#include "resender.h"

#include <QCoreApplication>
#include <QDebug>
#include <QFile>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QUdpSocket>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

extern char **environ;

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kChunk = RESender::kChunkSize;
constexpr double kPacedBitsPerSecond = 20e6;
constexpr double kSustainedBitsPerSecond = 400e6;
// Paced writers hand over about 32 KB at a time, as an encoder writing through FFmpeg's I/O buffer does; at
// full speed the writer pushes larger slices.
constexpr int kPacedSliceChunks = 25;
constexpr int kFullSpeedSliceChunks = 64;
// A transfer is over when nothing more arrives for this long after the writer is done.
constexpr auto kStallLimit = std::chrono::seconds(3);
constexpr qint64 kOutputSlack = 64 * 1024;
constexpr int kReceiverPackets = 65536;
constexpr auto kSettle = std::chrono::milliseconds(500);

std::atomic<int> failedSends{0};

void quietHandler(QtMsgType type, const QMessageLogContext &, const QString &message) {
    if (message.contains(QLatin1String("error send")))
        ++failedSends;
    if (type >= QtWarningMsg)
        std::fprintf(stderr, "%s\n", qPrintable(message));
}

double threadCpuSeconds() {
    timespec ts;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return ts.tv_sec + ts.tv_nsec / 1e9;
}

double processCpuSeconds() {
    rusage usage;
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_utime.tv_sec + usage.ru_utime.tv_usec / 1e6 + usage.ru_stime.tv_sec + usage.ru_stime.tv_usec / 1e6;
}

// utime + stime of another process, from /proc.
double childCpuSeconds(pid_t pid) {
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string line;
    std::getline(stat, line);
    const size_t close = line.rfind(')');
    if (close == std::string::npos)
        return 0;
    std::vector<std::string> fields;
    size_t position = close + 2;
    while (position < line.size()) {
        const size_t next = line.find(' ', position);
        fields.push_back(line.substr(position, next - position));
        if (next == std::string::npos)
            break;
        position = next + 1;
    }
    // Fields after the command start at "state" (field 3); utime and stime are fields 14 and 15.
    if (fields.size() < 13)
        return 0;
    return (std::stod(fields[11]) + std::stod(fields[12])) / sysconf(_SC_CLK_TCK);
}

struct Child {
    pid_t pid = -1;
    int output = -1; // read end of its standard output, when captured

    bool spawn(const std::vector<std::string> &arguments, bool captureOutput) {
        std::vector<char *> argv;
        for (const std::string &argument : arguments)
            argv.push_back(const_cast<char *>(argument.c_str()));
        argv.push_back(nullptr);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        int pipeFds[2] = {-1, -1};
        if (captureOutput) {
            if (pipe(pipeFds) != 0)
                return false;
            posix_spawn_file_actions_adddup2(&actions, pipeFds[1], STDOUT_FILENO);
            posix_spawn_file_actions_addclose(&actions, pipeFds[0]);
            posix_spawn_file_actions_addclose(&actions, pipeFds[1]);
        }
        const int result = posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ);
        posix_spawn_file_actions_destroy(&actions);
        if (captureOutput) {
            close(pipeFds[1]);
            output = pipeFds[0];
        }
        return result == 0;
    }

    // Waits up to graceMs for the child to end on its own.
    bool reap(int graceMs) {
        for (int waited = 0; pid > 0 && waited < graceMs; waited += 10) {
            if (waitpid(pid, nullptr, WNOHANG) == pid)
                pid = -1;
            else
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return pid <= 0;
    }

    // Ends the child (SIGTERM, then SIGKILL after graceMs) and reaps it.
    void end(int graceMs = 2000) {
        if (pid <= 0)
            return;
        kill(pid, SIGTERM);
        for (int waited = 0; waited < graceMs; waited += 10) {
            if (waitpid(pid, nullptr, WNOHANG) == pid) {
                pid = -1;
                break;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        if (pid > 0) {
            kill(pid, SIGKILL);
            waitpid(pid, nullptr, 0);
            pid = -1;
        }
    }
};

quint16 freeUdpPort() {
    QUdpSocket socket;
    socket.bind(QHostAddress(QHostAddress::LocalHost), 0);
    return socket.localPort();
}

// True once some process has a UDP socket bound to 127.0.0.1:port. Read from /proc rather than probed with a
// bind, which would take the port from under the peer that is about to bind it.
bool udpPortTaken(quint16 port) {
    char wanted[32];
    std::snprintf(wanted, sizeof(wanted), ":%04X ", port);
    std::ifstream table("/proc/net/udp");
    std::string line;
    while (std::getline(table, line)) {
        const size_t local = line.find(':');
        if (local != std::string::npos && line.compare(local + 10, 6, wanted) == 0)
            return true;
    }
    return false;
}

bool waitForUdpPortTaken(quint16 port) {
    for (int i = 0; i < 500; ++i) {
        if (udpPortTaken(port))
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
}

// The receiving srt-live-transmit and a thread counting what it writes out.
struct Receiver {
    Child child;
    quint16 port = 0;
    std::atomic<qint64> bytes{0};
    std::atomic<Clock::rep> lastArrival{0};
    double counterCpu = 0;
    std::thread counter;

    bool start() {
        port = freeUdpPort();
        // A receive buffer that holds the latency window at 400 Mbit/s with two packets per 1316-byte message
        // (MSS 1052); with the default 8192 packets a live receiver overflows and the transfer stalls.
        const std::string uri = "srt://127.0.0.1:" + std::to_string(port) +
                                "?mode=listener&fc=" + std::to_string(kReceiverPackets) +
                                "&rcvbuf=" + std::to_string(kReceiverPackets * 1000);
        if (!child.spawn({"srt-live-transmit", "-q", "-a:no", uri, "file://con"}, true))
            return false;
        counter = std::thread([this] {
            const double begin = threadCpuSeconds();
            std::vector<char> buffer(1 << 20);
            for (;;) {
                const ssize_t got = read(child.output, buffer.data(), buffer.size());
                if (got <= 0)
                    break;
                bytes += got;
                lastArrival = Clock::now().time_since_epoch().count();
            }
            counterCpu = threadCpuSeconds() - begin;
        });
        if (!waitForUdpPortTaken(port)) {
            std::fprintf(stderr, "receiver on port %d not listening\n", port);
            return false;
        }
        return true;
    }

    // Waits until expected bytes arrived or nothing arrived for kStallLimit; true when all arrived.
    bool waitFor(qint64 expected, Clock::time_point since) {
        // srt-live-transmit writes its output in blocks; the last one comes out when it ends.
        while (bytes < expected - kOutputSlack) {
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
            const Clock::time_point last{Clock::duration(lastArrival.load())};
            if (Clock::now() - std::max(last, since) > kStallLimit)
                return false;
        }
        return true;
    }

    ~Receiver() {
        if (counter.joinable())
            finish();
    }

    void finish() {
        // The sender side is gone by now, so the listener ends on the disconnect; otherwise it is told to.
        if (!child.reap(2000))
            child.end();
        // Its standard output is closed with it, which ends the counter.
        if (counter.joinable())
            counter.join();
        close(child.output);
        child.output = -1;
    }
};

// Feeds the stream cyclically into a connected socket (TCP stream or UDP datagrams of one chunk each).
struct Writer {
    const QByteArray *stream = nullptr;
    qint64 total = 0;
    double bitsPerSecond = 0; // 0: as fast as the receiving side takes it
    bool datagrams = false;
    int fd = -1;
    double cpu = 0;
    Clock::time_point start;

    void run() {
        const double begin = threadCpuSeconds();
        start = Clock::now();
        const bool paced = bitsPerSecond > 0;
        const auto tick =
            std::chrono::duration<double>(kPacedSliceChunks * kChunk * 8.0 / std::max(bitsPerSecond, 1.0));
        const int sliceSize = (paced ? kPacedSliceChunks : kFullSpeedSliceChunks) * kChunk;
        qint64 written = 0;
        qint64 ticks = 0;
        while (written < total) {
            const qint64 offset = written % stream->size();
            const int slice = int(std::min<qint64>({qint64(sliceSize), total - written, stream->size() - offset}));
            const char *data = stream->constData() + offset;
            if (datagrams) {
                for (int sent = 0; sent < slice; sent += kChunk)
                    if (send(fd, data + sent, std::min(kChunk, slice - sent), 0) < 0 && errno == EPIPE)
                        return;
            } else {
                for (int sent = 0; sent < slice;) {
                    const ssize_t result = send(fd, data + sent, slice - sent, MSG_NOSIGNAL);
                    if (result <= 0) {
                        total = written + sent;
                        break;
                    }
                    sent += int(result);
                }
            }
            written += slice;
            if (paced)
                std::this_thread::sleep_until(start + std::chrono::duration_cast<Clock::duration>(tick * ++ticks));
        }
        cpu = threadCpuSeconds() - begin;
    }
};

int connectedSocket(int type, quint16 port) {
    const int fd = socket(AF_INET, type, 0);
    sockaddr_in address;
    std::memset(&address, 0, sizeof(address));
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(fd, reinterpret_cast<sockaddr *>(&address), sizeof(address)) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

struct Result {
    qint64 delivered = 0;
    double seconds = 0;
    double cpu = 0;
    int failed = 0;
    bool ok = false;
    bool stalled = false;
};

Result runOurs(RESender &sender, const QByteArray &stream, qint64 total, double bitsPerSecond,
               bool withBackup = false) {
    Result result;
    Receiver receiver;
    Receiver backup;
    if (!receiver.start() || (withBackup && !backup.start())) {
        std::fprintf(stderr, "receiver did not start\n");
        return result;
    }
    failedSends = 0;
    sender.setBackupServer("127.0.0.1", QString(), withBackup ? backup.port : 0);
    sender.setEncoderWaitMs(10000);
    sender.startRetransmit("127.0.0.1", QString(), receiver.port, "bench", 120, QString(), 16, false);
    for (int i = 0; i < 500 && sender.listenPort == 0; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    Writer writer;
    writer.stream = &stream;
    writer.total = total;
    writer.bitsPerSecond = bitsPerSecond;
    writer.fd = sender.listenPort > 0 ? connectedSocket(SOCK_STREAM, quint16(sender.listenPort.load())) : -1;
    if (writer.fd == -1) {
        std::fprintf(stderr, "relay listener not reachable\n");
        sender.stopRetransmit();
        sender.wait(10000);
        receiver.finish();
        return result;
    }
    // Let the relay finish its SRT connect before the clock starts.
    std::this_thread::sleep_for(std::chrono::milliseconds(300));

    const double mainBegin = threadCpuSeconds();
    const double processBegin = processCpuSeconds();
    const Clock::time_point begin = Clock::now();
    std::thread writing([&] { writer.run(); });
    result.stalled = !receiver.waitFor(total, begin);
    const Clock::time_point last{Clock::duration(receiver.lastArrival.load())};
    // What is still within the SRT latency window arrives before the sender is closed.
    if (!result.stalled)
        std::this_thread::sleep_for(kSettle);
    // A stalled transfer leaves the writer blocked in send(); shutting the socket down releases it.
    shutdown(writer.fd, SHUT_RDWR);
    writing.join();
    if (withBackup && backup.bytes < receiver.bytes - kOutputSlack)
        std::fprintf(stderr, "the backup received %lld of %lld bytes\n", static_cast<long long>(backup.bytes.load()),
                     static_cast<long long>(receiver.bytes.load()));
    const double processCpu = processCpuSeconds() - processBegin;
    const double mainCpu = threadCpuSeconds() - mainBegin;

    close(writer.fd);
    sender.stopRetransmit();
    sender.wait(10000);
    receiver.finish();
    if (withBackup)
        backup.finish();

    result.delivered = receiver.bytes;
    result.seconds = std::chrono::duration<double>(last - writer.start).count();
    // The relay's share: the whole process less the writer, the counters and this waiting thread.
    result.cpu = processCpu - writer.cpu - receiver.counterCpu - backup.counterCpu - mainCpu;
    result.failed = failedSends;
    result.ok = result.delivered > 0;
    return result;
}

Result runTheirs(const QByteArray &stream, qint64 total, double bitsPerSecond) {
    Result result;
    Receiver receiver;
    if (!receiver.start()) {
        std::fprintf(stderr, "receiver did not start\n");
        return result;
    }
    const quint16 udpPort = freeUdpPort();
    Child forwarder;
    const std::string input = "udp://127.0.0.1:" + std::to_string(udpPort);
    const std::string output = "srt://127.0.0.1:" + std::to_string(receiver.port) + "?mode=caller&latency=120&mss=1052";
    if (!forwarder.spawn({"srt-live-transmit", "-q", "-a:no", "-c:1316", input, output}, false) ||
        !waitForUdpPortTaken(udpPort)) {
        std::fprintf(stderr, "forwarder did not start\n");
        forwarder.end();
        receiver.finish();
        return result;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    const double forwarderBegin = childCpuSeconds(forwarder.pid);

    Writer writer;
    writer.stream = &stream;
    writer.total = total;
    writer.bitsPerSecond = bitsPerSecond;
    writer.datagrams = true;
    writer.fd = connectedSocket(SOCK_DGRAM, udpPort);
    const Clock::time_point begin = Clock::now();
    std::thread writing([&] { writer.run(); });
    result.stalled = !receiver.waitFor(total, begin);
    const Clock::time_point last{Clock::duration(receiver.lastArrival.load())};
    // What is still within the SRT latency window arrives before the sender is closed.
    if (!result.stalled)
        std::this_thread::sleep_for(kSettle);
    // A stalled transfer leaves the writer blocked in send(); shutting the socket down releases it.
    shutdown(writer.fd, SHUT_RDWR);
    writing.join();
    result.cpu = childCpuSeconds(forwarder.pid) - forwarderBegin;

    close(writer.fd);
    forwarder.end();
    receiver.finish();

    result.delivered = receiver.bytes;
    result.seconds = std::chrono::duration<double>(last - writer.start).count();
    result.ok = result.delivered > 0;
    return result;
}

void print(const char *name, const Result &result, qint64 total) {
    if (!result.ok) {
        std::printf("  %-8s no data arrived\n", name);
        return;
    }
    const double megabytes = result.delivered / 1e6;
    const double gigabytes = result.delivered / 1e9;
    std::printf("  %-8s %8.1f MB delivered of %.1f (%5.1f%%)  %8.1f MB/s  %7.1f Mbit/s  %6.3f CPU s/GB", name,
                megabytes, total / 1e6, 100.0 * result.delivered / total, megabytes / result.seconds,
                8 * megabytes / result.seconds, result.cpu / gigabytes);
    if (std::strcmp(name, "theirs") != 0)
        std::printf("  failed sends %d", result.failed);
    if (result.stalled)
        std::printf("  STALLED");
    std::printf("\n");
}

void compare(const char *title, const Result &ours, const Result &theirs, qint64 total) {
    std::printf("%s\n", title);
    print("ours", ours, total);
    print("theirs", theirs, total);
    if (ours.ok && theirs.ok && theirs.cpu > 0) {
        const double oursPerGb = ours.cpu / (ours.delivered / 1e9);
        const double theirsPerGb = theirs.cpu / (theirs.delivered / 1e9);
        std::printf("  ratio ours/theirs (CPU s per GB): %.2f\n", oursPerGb / theirsPerGb);
    }
}

QByteArray makeStream(const QString &path) {
    // Ten seconds of a real transport stream, repeated as often as the size asks.
    QProcess ffmpeg;
    ffmpeg.start("ffmpeg", {"-hide_banner", "-loglevel", "error",   "-y",
                            "-f",           "lavfi",     "-i",      "testsrc2=size=1280x720:rate=25:duration=10",
                            "-f",           "lavfi",     "-i",      "sine=frequency=1000:sample_rate=48000:duration=10",
                            "-c:v",         "libx264",   "-preset", "ultrafast",
                            "-b:v",         "8000k",     "-c:a",    "aac",
                            "-f",           "mpegts",    path});
    if (!ffmpeg.waitForFinished(120000) || ffmpeg.exitCode() != 0)
        return QByteArray();
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return QByteArray();
    return file.readAll();
}

} // namespace

int main(int argc, char **argv) {
    QCoreApplication app(argc, argv);
    qInstallMessageHandler(quietHandler);
    signal(SIGPIPE, SIG_IGN);

    const qint64 megabytes = argc > 1 ? std::atoll(argv[1]) : 500;
    const int pacedSeconds = argc > 2 ? std::atoi(argv[2]) : 10;
    if (megabytes <= 0 || pacedSeconds <= 0) {
        std::fprintf(stderr, "usage: %s [megabytes=500] [paced-seconds=10]\n", argv[0]);
        return 2;
    }
    for (const char *program : {"srt-live-transmit", "ffmpeg"}) {
        if (QStandardPaths::findExecutable(program).isEmpty()) {
            std::printf("bench_srtrelay: %s is missing, nothing measured\n", program);
            return 0;
        }
    }
    QTemporaryDir dir;
    const QByteArray stream = makeStream(dir.filePath("bench.ts"));
    if (stream.isEmpty()) {
        std::fprintf(stderr, "could not make the transport stream\n");
        return 1;
    }

    RESender sender(nullptr);
    const qint64 fullTotal = megabytes * 1000 * 1000 / kChunk * kChunk;
    const qint64 pacedTotal = qint64(kPacedBitsPerSecond / 8 * pacedSeconds) / kChunk * kChunk;

    const Result oursFull = runOurs(sender, stream, fullTotal, 0);
    const Result theirsFull = runTheirs(stream, fullTotal, 0);
    compare(qPrintable(QStringLiteral("full speed, %1 MB").arg(fullTotal / 1e6, 0, 'f', 1)), oursFull, theirsFull,
            fullTotal);
    const qint64 sustainedTotal =
        std::min(fullTotal, qint64(kSustainedBitsPerSecond / 8 * pacedSeconds) / kChunk * kChunk);
    const Result oursSustained = runOurs(sender, stream, sustainedTotal, kSustainedBitsPerSecond);
    const Result theirsSustained = runTheirs(stream, sustainedTotal, kSustainedBitsPerSecond);
    compare(qPrintable(QStringLiteral("paced at 400 Mbit/s, %1 MB").arg(sustainedTotal / 1e6, 0, 'f', 1)),
            oursSustained, theirsSustained, sustainedTotal);
    const Result oursPaced = runOurs(sender, stream, pacedTotal, kPacedBitsPerSecond);
    const Result theirsPaced = runTheirs(stream, pacedTotal, kPacedBitsPerSecond);
    compare(qPrintable(QStringLiteral("paced at 20 Mbit/s, %1 s").arg(pacedSeconds)), oursPaced, theirsPaced,
            pacedTotal);

    const auto backupRow = [&](const QString &title, qint64 total, double bitsPerSecond, const Result &alone) {
        const Result both = runOurs(sender, stream, total, bitsPerSecond, true);
        std::printf("%s\n", qPrintable(title));
        print("alone", alone, total);
        print("backup", both, total);
        if (alone.ok && both.ok && alone.cpu > 0)
            std::printf("  ratio with/without backup (CPU s per GB of stream): %.2f\n",
                        (both.cpu / both.delivered) / (alone.cpu / alone.delivered));
    };
    backupRow(QStringLiteral("with a backup server, paced at 400 Mbit/s, %1 MB").arg(sustainedTotal / 1e6, 0, 'f', 1),
              sustainedTotal, kSustainedBitsPerSecond, oursSustained);
    backupRow(QStringLiteral("with a backup server, paced at 20 Mbit/s, %1 s").arg(pacedSeconds), pacedTotal,
              kPacedBitsPerSecond, oursPaced);
    return 0;
}
