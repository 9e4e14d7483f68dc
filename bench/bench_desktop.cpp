// Desktop capture at 1920x1080, 30 frames per second, into libx264 quality 1 (MPEG-TS file): frames
// written per second of wall time and CPU seconds per frame, our pipeline (X11 screen device → live
// source → MFWriter) against `ffmpeg -f x11grab` with the same encoder settings, in one run.
//
// The benchmark starts its own Xvfb at 1920x1080 and a painter process that keeps the picture moving
// (an unchanging desktop would make the encoder's work trivial). Both sides run as child processes and are
// measured the same way (wait4 resource usage); the X server's own work is outside both measurements.
//
//   bench_desktop [seconds]      default 10 s per side
#include "imfdevice.h"
#include "mformats.h"
#include "mfresult.h"
#include "mfwriter.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QStandardPaths>
#include <QTemporaryDir>

#include <X11/Xlib.h>

#include <csignal>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <vector>

extern char **environ;

namespace {

constexpr int WIDTH = 1920;
constexpr int HEIGHT = 1080;
constexpr int RATE = 30;
const char *const VIDEO_KBPS = "6000";

struct Usage {
    bool ok = false;
    double cpuSeconds = 0.0;
    double wallSeconds = 0.0;
    int exitCode = -1;
};

// Children are started with posix_spawn, not QProcess: QProcess reaps children in its SIGCHLD handler, which
// would take wait4's resource usage away. stdoutFd >= 0 becomes the child's standard output.
pid_t spawn(const QStringList &arguments, int stdoutFd = -1) {
    std::vector<QByteArray> storage;
    std::vector<char *> argv;
    for (const QString &argument : arguments)
        storage.push_back(argument.toLocal8Bit());
    for (QByteArray &argument : storage)
        argv.push_back(argument.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    if (stdoutFd >= 0)
        posix_spawn_file_actions_adddup2(&actions, stdoutFd, STDOUT_FILENO);
    pid_t child = 0;
    const int result = posix_spawnp(&child, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    return result == 0 ? child : -1;
}

void end(pid_t child) {
    if (child <= 0)
        return;
    kill(child, SIGTERM);
    int status = 0;
    waitpid(child, &status, 0);
}

Usage runChild(const QStringList &arguments) {
    Usage usage;
    QElapsedTimer clock;
    clock.start();
    const pid_t child = spawn(arguments);
    if (child <= 0)
        return usage;
    int status = 0;
    rusage resources{};
    if (wait4(child, &status, 0, &resources) != child)
        return usage;
    usage.wallSeconds = clock.elapsed() / 1000.0;
    usage.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    usage.ok = usage.exitCode == 0;
    usage.cpuSeconds = resources.ru_utime.tv_sec + resources.ru_utime.tv_usec / 1e6 + resources.ru_stime.tv_sec +
                       resources.ru_stime.tv_usec / 1e6;
    return usage;
}

// The number of video packets in a transport stream file, by ffprobe.
int countFrames(const QString &path) {
    QFile result(path + QStringLiteral(".count"));
    if (!result.open(QIODevice::ReadWrite | QIODevice::Truncate))
        return -1;
    const pid_t probe = spawn(
        {QStringLiteral("ffprobe"), QStringLiteral("-v"), QStringLiteral("error"), QStringLiteral("-select_streams"),
         QStringLiteral("v:0"), QStringLiteral("-count_packets"), QStringLiteral("-show_entries"),
         QStringLiteral("stream=nb_read_packets"), QStringLiteral("-of"), QStringLiteral("csv=p=0"), path},
        result.handle());
    int status = 0;
    if (probe <= 0 || waitpid(probe, &status, 0) != probe)
        return -1;
    result.close();
    bool ok = false;
    QFile written(path + QStringLiteral(".count"));
    const int frames = written.open(QIODevice::ReadOnly) ? written.readLine().trimmed().toInt(&ok) : -1;
    return ok ? frames : -1;
}

// Child: keeps the picture of the display moving (a bouncing block over a changing background band).
int runPainter(double seconds) {
    Display *display = XOpenDisplay(nullptr);
    if (!display)
        return 2;
    const int screen = DefaultScreen(display);
    const Window root = RootWindow(display, screen);
    GC gc = XCreateGC(display, root, 0, nullptr);
    QElapsedTimer clock;
    clock.start();
    for (int step = 0; clock.elapsed() < seconds * 1000.0; ++step) {
        XSetForeground(display, gc, 0x204060u + uint(step * 2654435761u) % 0x303030u);
        XFillRectangle(display, root, gc, 0, (step * 7) % HEIGHT, WIDTH, 120);
        XSetForeground(display, gc, 0xffffffu ^ uint(step * 40503u));
        XFillRectangle(display, root, gc, (step * 13) % (WIDTH - 300), (step * 11) % (HEIGHT - 300), 300, 300);
        XSync(display, False);
        usleep(1000000 / (2 * RATE));
    }
    XFreeGC(display, gc);
    XCloseDisplay(display);
    return 0;
}

// Child: our pipeline for the given time.
int runOurs(double seconds, const QString &output) {
    auto source = MFormats::create();
    int count = 0;
    if (!source || MF_FAILED(source->DeviceGetCount(eMFDT_Video, &count)))
        return 2;
    int desktop = -1;
    for (int i = 0; i < count && desktop < 0; ++i) {
        QString name;
        source->DeviceGetByIndex(eMFDT_Video, i, &name);
        if (name == QLatin1String("X11 Screen Capture"))
            desktop = i;
    }
    if (desktop < 0 || MF_FAILED(source->DeviceSet(eMFDT_Video, desktop, QString())))
        return 3;
    source->PropsSet(QStringLiteral("capture.highlight_mouse"), QStringLiteral("hide"));
    source->PropsSet(QStringLiteral("capture.screen_index"), QStringLiteral("0"));

    MFWriter writer;
    const QString options =
        QStringLiteral("format='mpegts' play_while_rec='false'  video::codec='q264sw'  video::profile='Main'  "
                       "video::g='%1'  video::b='%2K' video::maxrate='%2K'  video::rc_type='vbr' video::quality='1' ")
            .arg(RATE)
            .arg(QLatin1String(VIDEO_KBPS));
    if (MF_FAILED(writer.WriterSet(output, 1, options)))
        return 4;
    MFFormat format;
    format.width = WIDTH;
    format.height = HEIGHT;
    format.frameRate = RATE;
    QElapsedTimer clock;
    clock.start();
    while (clock.elapsed() < seconds * 1000.0) {
        MFFramePtr frame;
        if (MF_FAILED(source->SourceFrameConvertedGetByFormat(format, &frame, -1, QString())) || !frame)
            continue;
        if (MF_FAILED(writer.ReceiverFramePut(frame, -1, QString())))
            return 5;
    }
    source->DeviceClose();
    return MF_SUCCEEDED(writer.WriterClose()) ? 0 : 6;
}

QStringList ffmpegArguments(const QString &display, double seconds, const QString &output) {
    const QString kbps = QStringLiteral("%1k").arg(QLatin1String(VIDEO_KBPS));
    return {"ffmpeg",       "-hide_banner",
            "-loglevel",    "error",
            "-nostdin",     "-y",
            "-f",           "x11grab",
            "-framerate",   QString::number(RATE),
            "-video_size",  QStringLiteral("%1x%2").arg(WIDTH).arg(HEIGHT),
            "-draw_mouse",  "0",
            "-i",           display + QStringLiteral(".0+0,0"),
            "-t",           QString::number(seconds),
            "-pix_fmt",     "yuv420p",
            "-c:v",         "libx264",
            "-preset",      "ultrafast",
            "-tune",        "zerolatency",
            "-profile:v",   "main",
            "-g",           QString::number(RATE),
            "-keyint_min",  QString::number(RATE),
            "-bf",          "0",
            "-x264-params", "scenecut=0",
            "-b:v",         kbps,
            "-maxrate",     kbps,
            "-bufsize",     kbps,
            "-f",           "mpegts",
            output};
}

void report(const char *name, const Usage &usage, int frames) {
    if (!usage.ok || frames <= 0) {
        std::printf("%-8s failed (exit %d, %d frames)\n", name, usage.exitCode, frames);
        return;
    }
    std::printf("%-8s %6d frames in %6.2f s wall: %6.2f frames/s, %7.2f ms CPU per frame\n", name, frames,
                usage.wallSeconds, frames / usage.wallSeconds, 1000.0 * usage.cpuSeconds / frames);
}

} // namespace

int main(int argc, char **argv) {
    if (argc >= 3 && std::strcmp(argv[1], "--paint") == 0)
        return runPainter(std::atof(argv[2]));
    if (argc >= 4 && std::strcmp(argv[1], "--ours") == 0) {
        QCoreApplication app(argc, argv);
        return runOurs(std::atof(argv[2]), QString::fromLocal8Bit(argv[3]));
    }
    QCoreApplication app(argc, argv);
    const double seconds = argc >= 2 ? std::max(2.0, std::atof(argv[1])) : 10.0;
    for (const char *program : {"Xvfb", "ffmpeg", "ffprobe"}) {
        if (QStandardPaths::findExecutable(QString::fromLatin1(program)).isEmpty()) {
            std::printf("bench_desktop: %s is not installed, nothing measured\n", program);
            return 0;
        }
    }

    int displayPipe[2];
    if (pipe(displayPipe) != 0)
        return 1;
    const pid_t server =
        spawn({QStringLiteral("Xvfb"), QStringLiteral("-displayfd"), QStringLiteral("1"), QStringLiteral("-noreset"),
               QStringLiteral("-nolisten"), QStringLiteral("tcp"), QStringLiteral("-screen"), QStringLiteral("0"),
               QStringLiteral("%1x%2x24").arg(WIDTH).arg(HEIGHT)},
              displayPipe[1]);
    close(displayPipe[1]);
    // Xvfb writes its display number once it accepts connections.
    QByteArray number;
    char chunk[32];
    ssize_t got = 0;
    while (!number.contains('\n') && (got = read(displayPipe[0], chunk, sizeof chunk)) > 0)
        number.append(chunk, int(got));
    close(displayPipe[0]);
    if (server <= 0 || !number.contains('\n')) {
        std::printf("bench_desktop: Xvfb did not start\n");
        end(server);
        return 1;
    }
    const QString display = QStringLiteral(":") + QString::fromLatin1(number.trimmed());
    qputenv("DISPLAY", display.toLocal8Bit());
    qputenv("QT_LOGGING_RULES", "*.debug=false");
    const pid_t painter =
        spawn({QCoreApplication::applicationFilePath(), QStringLiteral("--paint"), QString::number(2 * seconds + 30)});

    QTemporaryDir dir;
    const QString oursFile = dir.filePath(QStringLiteral("ours.ts"));
    const QString ffmpegFile = dir.filePath(QStringLiteral("ffmpeg.ts"));
    std::printf("Desktop %dx%d@%d into libx264 quality 1 (ultrafast, zerolatency, %s kbit/s), %.0f s each, "
                "2 CPU cores shared with the X server and the painter\n",
                WIDTH, HEIGHT, RATE, VIDEO_KBPS, seconds);
    const Usage ours = runChild(
        {QCoreApplication::applicationFilePath(), QStringLiteral("--ours"), QString::number(seconds), oursFile});
    const int oursFrames = countFrames(oursFile);
    const Usage ffmpeg = runChild(ffmpegArguments(display, seconds, ffmpegFile));
    const int ffmpegFrames = countFrames(ffmpegFile);

    report("ours", ours, oursFrames);
    report("ffmpeg", ffmpeg, ffmpegFrames);
    if (ours.ok && ffmpeg.ok && oursFrames > 0 && ffmpegFrames > 0) {
        const double oursCpu = ours.cpuSeconds / oursFrames;
        const double ffmpegCpu = ffmpeg.cpuSeconds / ffmpegFrames;
        std::printf("ratio ours/ffmpeg: CPU per frame %.2f, frames per second %.2f\n", oursCpu / ffmpegCpu,
                    (oursFrames / ours.wallSeconds) / (ffmpegFrames / ffmpeg.wallSeconds));
    }

    end(painter);
    end(server);
    return 0;
}
