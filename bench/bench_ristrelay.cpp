// CPU cost of the RIST relay per gigabyte, compared in the same run with ristsender doing the same job.
//
//   ours:   writer --TCP--> RESenderRist --RIST--> ristreceiver --UDP--> counter
//   theirs: writer --UDP--> ristsender   --RIST--> ristreceiver --UDP--> counter
//
// Both send the same bytes, paced at 50 and 200 Mbit/s, over one path and over two (two peers with weight 1 to
// the same receiver on loopback). Our CPU is the process's minus the writer's and the counter's threads.
// Usage: bench_ristrelay [seconds-per-run=8]
#include "resenderrist.h"

#include <QCoreApplication>
#include <QProcess>
#include <QThread>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>

namespace {

using Clock = std::chrono::steady_clock;
constexpr int kChunk = RESenderRist::kChunkSize;
// About 32 KB per write, as an encoder writing through FFmpeg's I/O buffer does.
constexpr int kSliceChunks = 25;

double threadCpu() {
    timespec ts;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return ts.tv_sec + ts.tv_nsec / 1e9;
}

double processCpu() {
    rusage usage;
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_utime.tv_sec + usage.ru_utime.tv_usec / 1e6 + usage.ru_stime.tv_sec + usage.ru_stime.tv_usec / 1e6;
}

// utime + stime of another process (fields 14 and 15 of /proc/<pid>/stat).
double otherProcessCpu(qint64 pid) {
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
    const size_t close = text.rfind(')');
    if (close == std::string::npos)
        return 0;
    std::istringstream fields(text.substr(close + 2));
    std::string field;
    unsigned long ticks = 0;
    for (int i = 3; i <= 15 && fields >> field; ++i) {
        if (i >= 14)
            ticks += std::stoul(field);
    }
    return double(ticks) / double(sysconf(_SC_CLK_TCK));
}

sockaddr_in loopback(quint16 port) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return address;
}

// A UDP socket on a free loopback port that counts what arrives, on its own thread.
class Counter {
public:
    Counter() {
        fd = socket(AF_INET, SOCK_DGRAM, 0);
        sockaddr_in address = loopback(0);
        bind(fd, reinterpret_cast<sockaddr *>(&address), sizeof(address));
        int size = 8 << 20;
        setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &size, sizeof(size));
        socklen_t length = sizeof(address);
        getsockname(fd, reinterpret_cast<sockaddr *>(&address), &length);
        port = ntohs(address.sin_port);
        timeval timeout{0, 100000};
        setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof(timeout));
        worker = std::thread([this] {
            char buffer[2048];
            while (!done) {
                const ssize_t got = recv(fd, buffer, sizeof(buffer), 0);
                if (got > 0)
                    bytes += got;
            }
            cpu = threadCpu();
        });
    }
    ~Counter() {
        done = true;
        worker.join();
        close(fd);
    }
    double stop() {
        done = true;
        worker.join();
        worker = std::thread([] {});
        return cpu;
    }
    int fd;
    quint16 port = 0;
    std::atomic<qint64> bytes{0};
    std::atomic<bool> done{false};
    double cpu = 0;
    std::thread worker;
};

// Sends seconds × rate worth of chunks paced, through a connected socket; returns the writer thread's CPU.
double writePaced(int fd, double bitsPerSecond, double seconds, qint64 *sent) {
    const QByteArray slice(kSliceChunks * kChunk, char(0x47));
    const double sliceSeconds = slice.size() * 8.0 / bitsPerSecond;
    const auto start = Clock::now();
    const qint64 total = qint64(bitsPerSecond / 8 * seconds);
    qint64 done = 0;
    for (long i = 0; done < total; ++i) {
        std::this_thread::sleep_until(start + std::chrono::duration<double>(i * sliceSeconds));
        done += write(fd, slice.constData(), size_t(slice.size()));
    }
    *sent = done;
    return threadCpu();
}

bool startReceiver(QProcess &receiver, quint16 ristPort, quint16 outPort) {
    receiver.start(QStringLiteral("ristreceiver"),
                   {QStringLiteral("-i"), QStringLiteral("rist://@127.0.0.1:%1").arg(ristPort), QStringLiteral("-o"),
                    QStringLiteral("udp://127.0.0.1:%1").arg(outPort), QStringLiteral("-S"), QStringLiteral("0"),
                    QStringLiteral("-v"), QStringLiteral("3")});
    receiver.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    return receiver.waitForStarted(5000);
}

quint16 freeUdpPort() {
    const int fd = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in address = loopback(0);
    bind(fd, reinterpret_cast<sockaddr *>(&address), sizeof(address));
    socklen_t length = sizeof(address);
    getsockname(fd, reinterpret_cast<sockaddr *>(&address), &length);
    close(fd);
    return ntohs(address.sin_port);
}

struct Result {
    double cpuPerGb = 0;
    double delivered = 0;
};

Result runOurs(double bitsPerSecond, int paths, double seconds) {
    Counter counter;
    QProcess receiver;
    const quint16 ristPort = freeUdpPort();
    startReceiver(receiver, ristPort, counter.port);
    QThread::msleep(500);
    RESenderRist relay(nullptr);
    relay.setRistParams(500, 10, 0, 25);
    relay.setBondings(paths == 1 ? QStringLiteral("127.0.0.1(1)") : QStringLiteral("127.0.0.1(1),127.0.0.1(1)"));
    relay.startRetransmit(QStringLiteral("127.0.0.1:%1").arg(ristPort), QString(), QStringLiteral("bench"), QString());
    while (relay.listenPort.load() == 0)
        QThread::msleep(5);
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address = loopback(quint16(relay.listenPort.load()));
    ::connect(fd, reinterpret_cast<sockaddr *>(&address), sizeof(address));
    QThread::msleep(300);
    const double before = processCpu();
    qint64 sent = 0;
    double writerCpu = 0;
    std::thread writer([&] { writerCpu = writePaced(fd, bitsPerSecond, seconds, &sent); });
    writer.join();
    QThread::msleep(1500);
    const double counterCpu = counter.stop();
    const double cpu = processCpu() - before - writerCpu - counterCpu;
    close(fd);
    relay.stopRetransmit();
    relay.wait(10000);
    receiver.terminate();
    receiver.waitForFinished(3000);
    return {cpu / (double(sent) / 1e9), double(counter.bytes) / double(sent)};
}

Result runTheirs(double bitsPerSecond, int paths, double seconds) {
    Counter counter;
    QProcess receiver;
    const quint16 ristPort = freeUdpPort();
    startReceiver(receiver, ristPort, counter.port);
    const quint16 inPort = freeUdpPort();
    QString outputs = QStringLiteral("rist://127.0.0.1:%1?weight=1").arg(ristPort);
    if (paths == 2)
        outputs += ',' + outputs;
    QProcess sender;
    sender.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    sender.start(QStringLiteral("ristsender"),
                 {QStringLiteral("-i"), QStringLiteral("udp://127.0.0.1:%1").arg(inPort), QStringLiteral("-o"), outputs,
                  QStringLiteral("-S"), QStringLiteral("0"), QStringLiteral("-v"), QStringLiteral("3")});
    sender.waitForStarted(5000);
    QThread::msleep(800);
    const int fd = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in address = loopback(inPort);
    ::connect(fd, reinterpret_cast<sockaddr *>(&address), sizeof(address));
    const double before = otherProcessCpu(sender.processId());
    qint64 sent = 0;
    // Datagrams of one chunk each, as ristsender reads them.
    std::thread writer([&] {
        const QByteArray chunk(kChunk, char(0x47));
        const double chunkSeconds = kChunk * 8.0 / bitsPerSecond;
        const auto start = Clock::now();
        const qint64 total = qint64(bitsPerSecond / 8 * seconds);
        for (long i = 0; sent < total; ++i) {
            if (i % kSliceChunks == 0)
                std::this_thread::sleep_until(start + std::chrono::duration<double>(i * chunkSeconds));
            sent += send(fd, chunk.constData(), size_t(chunk.size()), 0);
        }
    });
    writer.join();
    QThread::msleep(1500);
    const double cpu = otherProcessCpu(sender.processId()) - before;
    counter.stop();
    close(fd);
    sender.terminate();
    sender.waitForFinished(3000);
    receiver.terminate();
    receiver.waitForFinished(3000);
    return {cpu / (double(sent) / 1e9), double(counter.bytes) / double(sent)};
}

void quiet(QtMsgType type, const QMessageLogContext &, const QString &message) {
    if (type >= QtWarningMsg)
        std::fprintf(stderr, "%s\n", qPrintable(message));
}

} // namespace

int main(int argc, char *argv[]) {
    QCoreApplication app(argc, argv);
    qInstallMessageHandler(quiet);
    const double seconds = argc > 1 ? std::atof(argv[1]) : 8.0;
    std::printf("%-10s %-6s %14s %14s %8s %10s %10s\n", "rate", "paths", "ours CPU s/GB", "ristsender", "ratio",
                "ours got", "theirs got");
    for (const double rate : {50e6, 200e6}) {
        for (const int paths : {1, 2}) {
            const Result ours = runOurs(rate, paths, seconds);
            const Result theirs = runTheirs(rate, paths, seconds);
            std::printf("%-10s %-6d %14.2f %14.2f %8.2f %9.1f%% %9.1f%%\n",
                        qPrintable(QStringLiteral("%1 Mbit/s").arg(rate / 1e6)), paths, ours.cpuPerGb, theirs.cpuPerGb,
                        theirs.cpuPerGb > 0 ? ours.cpuPerGb / theirs.cpuPerGb : 0.0, 100 * ours.delivered,
                        100 * theirs.delivered);
            std::fflush(stdout);
        }
    }
    return 0;
}
