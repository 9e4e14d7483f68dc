// CPU seconds per encoded frame and peak memory: our pipeline (lavfi testsrc2 frames → MFWriter with libx264 or
// libx265 at quality 1 → MPEG-TS → loopback TCP) against the ffmpeg command line doing the same work.
// Each side runs as a child process so that both are measured the same way (wait4 resource usage);
// this process only drains the TCP connection.
// Usage: bench_writer [codec id, e.g. x265sw]
#include "mfresult.h"
#include "mfwriter.h"
#include "tst_writersource.h"

#include <QCoreApplication>
#include <QString>
#include <QStringList>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <thread>
#include <vector>

extern char **environ;

namespace {

struct Case {
    const char *codec; // our codec id
    int width;
    int height;
    int rate;
    int frames;
};

struct Usage {
    bool ok = false;
    double cpuSeconds = 0;
    long peakKiB = 0;
};

const char *const videoKbps = "4000";

// Listens on 127.0.0.1, accepts one connection and counts its bytes until it ends.
class Drain {
public:
    Drain() {
        listener = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ::bind(listener, reinterpret_cast<sockaddr *>(&address), sizeof address);
        ::listen(listener, 1);
        socklen_t length = sizeof address;
        getsockname(listener, reinterpret_cast<sockaddr *>(&address), &length);
        port = ntohs(address.sin_port);
        worker = std::thread([this] {
            const int connection = ::accept(listener, nullptr, nullptr);
            if (connection < 0)
                return;
            // Bounded: the sender's end closes the connection, or the receive timeout ends the wait.
            timeval timeout{30, 0};
            setsockopt(connection, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
            char buffer[65536];
            ssize_t n;
            while ((n = ::recv(connection, buffer, sizeof buffer, 0)) > 0)
                bytes += n;
            ::close(connection);
        });
    }
    ~Drain() {
        ::shutdown(listener, SHUT_RDWR);
        if (worker.joinable())
            worker.join();
        ::close(listener);
    }
    int port = 0;
    qint64 bytes = 0;

private:
    int listener = -1;
    std::thread worker;
};

Usage runChild(const QStringList &arguments) {
    std::vector<QByteArray> storage;
    std::vector<char *> argv;
    for (const QString &argument : arguments)
        storage.push_back(argument.toLocal8Bit());
    for (QByteArray &argument : storage)
        argv.push_back(argument.data());
    argv.push_back(nullptr);
    Usage usage;
    pid_t pid = 0;
    if (posix_spawnp(&pid, argv[0], nullptr, nullptr, argv.data(), environ) != 0)
        return usage;
    int status = 0;
    rusage resources{};
    if (wait4(pid, &status, 0, &resources) != pid)
        return usage;
    usage.ok = WIFEXITED(status) && WEXITSTATUS(status) == 0;
    usage.cpuSeconds = resources.ru_utime.tv_sec + resources.ru_utime.tv_usec / 1e6 + resources.ru_stime.tv_sec +
                       resources.ru_stime.tv_usec / 1e6;
    usage.peakKiB = resources.ru_maxrss;
    return usage;
}

Usage measure(const QStringList &arguments) {
    Drain drain;
    QStringList withPort = arguments;
    withPort.replaceInStrings("@PORT@", QString::number(drain.port));
    return runChild(withPort);
}

// The child's side of "ours": encode the frames into the given port.
int runOurs(const QString &codec, int width, int height, int rate, int frames, int port) {
    WriterTestSource source(width, height, rate, 3, 48000, 2, QStringLiteral("yuv420p"), false);
    if (!source.isValid())
        return 2;
    MFWriter writer;
    const QString options =
        QStringLiteral("format='mpegts' play_while_rec='false'  video::codec='%3'  video::profile='Main'  "
                       "video::g='%1'  video::b='%2K' video::maxrate='%2K'  video::rc_type='vbr' video::quality='1' "
                       " audio::codec='aac'  audio::b='128K'  audio::minrate='128K' audio::maxrate='128K'  "
                       "audio::ar='48000' ")
            .arg(rate)
            .arg(QLatin1String(videoKbps), codec);
    if (writer.WriterSet(QStringLiteral("tcp://127.0.0.1:%1").arg(port), 1, options) != MF_OK)
        return 3;
    for (int i = 0; i < frames; ++i) {
        const MFFramePtr frame = source.next();
        if (!frame || writer.ReceiverFramePut(frame, -1, QString()) != MF_OK)
            return 4;
    }
    return writer.WriterClose() == MF_OK ? 0 : 5;
}

// The encoder part of the command line: what the codec table makes of "vbr", quality 1.
QStringList videoArguments(const Case &c) {
    const QString rate = QString::number(c.rate);
    const QString kbps = QStringLiteral("%1k").arg(QLatin1String(videoKbps));
    if (QLatin1String(c.codec) == QLatin1String("x265sw")) {
        // The wrapper hands x265 the context's thread count as frame threads; ours is 1, the command line's "auto".
        const QString average = QStringLiteral("%1k").arg(int(QByteArray(videoKbps).toInt() * 0.95));
        return {"-c:v",         "libx265",
                "-preset",      "ultrafast",
                "-tune",        "zerolatency",
                "-profile:v",   "main",
                "-threads",     "1",
                "-g",           rate,
                "-keyint_min",  rate,
                "-bf",          "0",
                "-flags",       "+cgop",
                "-b:v",         average,
                "-maxrate",     kbps,
                "-bufsize",     kbps,
                "-x265-params", "scenecut=0:log-level=error:vbv-init=0.5"};
    }
    return {"-c:v", "libx264", "-preset",     "ultrafast", "-tune",    "zerolatency", "-profile:v",   "main",
            "-g",   rate,      "-keyint_min", rate,        "-bf",      "0",           "-x264-params", "scenecut=0",
            "-b:v", kbps,      "-maxrate",    kbps,        "-bufsize", kbps};
}

QStringList ffmpegArguments(const Case &c) {
    const QString seconds = QString::number(double(c.frames) / c.rate, 'f', 3);
    return QStringList{"ffmpeg",
                       "-hide_banner",
                       "-loglevel",
                       "error",
                       "-nostdin",
                       "-f",
                       "lavfi",
                       "-i",
                       QStringLiteral("testsrc2=size=%1x%2:rate=%3:duration=%4")
                           .arg(c.width)
                           .arg(c.height)
                           .arg(c.rate)
                           .arg(seconds),
                       "-f",
                       "lavfi",
                       "-i",
                       QStringLiteral("sine=frequency=1000:sample_rate=48000:duration=%1").arg(seconds),
                       "-frames:v",
                       QString::number(c.frames),
                       "-pix_fmt",
                       "yuv420p"} +
           videoArguments(c) +
           QStringList{"-c:a",
                       "aac",
                       "-b:a",
                       "128k",
                       "-ar",
                       "48000",
                       "-ac",
                       "2",
                       "-f",
                       "mpegts",
                       "-pes_payload_size",
                       "0",
                       "-flush_packets",
                       "1",
                       "tcp://127.0.0.1:@PORT@"};
}

} // namespace

int main(int argc, char **argv) {
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments();
    if (args.size() == 8 && args.at(1) == QLatin1String("--ours"))
        return runOurs(args.at(2), args.at(3).toInt(), args.at(4).toInt(), args.at(5).toInt(), args.at(6).toInt(),
                       args.at(7).toInt());

    const Case cases[] = {
        {"q264sw", 1280, 720, 25, 250}, {"q264sw", 1920, 1080, 30, 300}, {"x265sw", 1280, 720, 25, 250}};
    std::printf("%-8s %-12s %8s %14s %14s %7s %12s %12s\n", "codec", "size@rate", "frames", "ours s/frame",
                "ffmpeg s/frame", "ratio", "ours MiB", "ffmpeg MiB");
    int failures = 0;
    // bench_writer [codec id]: only that codec's rows.
    const QString only = args.size() > 1 ? args.at(1) : QString();
    for (const Case &c : cases) {
        if (!only.isEmpty() && only != QLatin1String(c.codec))
            continue;
        const QStringList ours = {app.applicationFilePath(), "--ours",
                                  QLatin1String(c.codec),    QString::number(c.width),
                                  QString::number(c.height), QString::number(c.rate),
                                  QString::number(c.frames), "@PORT@"};
        const Usage a = measure(ours);
        const Usage b = measure(ffmpegArguments(c));
        const QString label = QStringLiteral("%1x%2@%3").arg(c.width).arg(c.height).arg(c.rate);
        if (!a.ok || !b.ok) {
            std::printf("%-8s %-12s failed (ours %s, ffmpeg %s)\n", c.codec, qPrintable(label), a.ok ? "ok" : "failed",
                        b.ok ? "ok" : "failed");
            ++failures;
            continue;
        }
        std::printf("%-8s %-12s %8d %14.5f %14.5f %7.2f %12.1f %12.1f\n", c.codec, qPrintable(label), c.frames,
                    a.cpuSeconds / c.frames, b.cpuSeconds / c.frames, a.cpuSeconds / b.cpuSeconds, a.peakKiB / 1024.0,
                    b.peakKiB / 1024.0);
    }
    return failures ? 1 : 0;
}
