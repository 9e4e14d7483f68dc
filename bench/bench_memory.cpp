// Resident memory of the application while it streams: the main window (offscreen) streams the Test Pattern at
// 1920x1080, 30 fps through an H.264 encoder and the SRT relay to a local srt-live-transmit listener.
//
//   cycles: resident memory after 1, 10, 50 and 100 Start/Stop cycles (each cycle streams until the encoder has
//           written some frames). Target: under 200 MB, growth from 10 to 100 cycles under 5 %.
//   soak:   one long stream with a Stop and Start every few minutes; a line per minute (minutes, resident MB,
//           frames per second written, process CPU) and the growth from the first minute on. Target: under 200 MB,
//           growth under 5 %.
//
// Usage: bench_memory [cycles [count=100]]
//        bench_memory soak [minutes=60] [reconnect-minutes=5]
// TIDEWELL_SOAK_MINUTES and TIDEWELL_SOAK_RECONNECT_MINUTES override the soak's figures, TIDEWELL_BENCH_CODEC the
// encoder ("q264sw" for libx264, the default, or "libopenh264"); TIDEWELL_BENCH_DEFAULT_ALLOCATOR leaves the C
// library's allocator as it comes, to compare with the program's settings.
#include "allocatortuning.h"
#include "appmessages.h"
#include "capturestreamer.h"
#include "mainwindow.h"

#include <QApplication>
#include <QComboBox>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QLineEdit>
#include <QProcess>
#include <QPushButton>
#include <QSettings>
#include <QSpinBox>
#include <QTemporaryDir>
#include <QTimer>
#include <QUdpSocket>

#include <sys/resource.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <vector>

namespace {

constexpr int kWidth = 1920;
constexpr int kHeight = 1080;
constexpr int kVideoKbps = 6000;
constexpr int kDefaultCycles = 100;
constexpr int kReportedCycles[] = {1, 10, 50, 100};
// One second of pictures per cycle: the encoder has opened, filled its look-ahead and written to the relay.
constexpr uint64_t kFramesPerCycle = 30;
constexpr int kCycleFrameWaitMs = 15000;
constexpr int kWorkerWaitMs = 10000;
constexpr double kDefaultSoakMinutes = 60.0;
constexpr double kDefaultReconnectMinutes = 5.0;
constexpr int kSampleMs = 60000;
constexpr int kListenerWaitMs = 5000;
constexpr double kTargetMb = 200.0;
constexpr double kTargetGrowthPercent = 5.0;
const char kDefaultCodec[] = "q264sw";

void quietHandler(QtMsgType type, const QMessageLogContext &, const QString &message) {
    if (type >= QtCriticalMsg)
        std::fprintf(stderr, "%s\n", qPrintable(message));
}

double residentMb() {
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly))
        return -1.0;
    for (const QByteArray &line : status.readAll().split('\n')) {
        if (line.startsWith("VmRSS:"))
            return line.mid(6).trimmed().split(' ').value(0).toDouble() / 1024.0;
    }
    return -1.0;
}

double processCpuSeconds() {
    rusage usage;
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_utime.tv_sec + usage.ru_utime.tv_usec / 1e6 + usage.ru_stime.tv_sec + usage.ru_stime.tv_usec / 1e6;
}

quint16 freeUdpPort() {
    QUdpSocket socket;
    socket.bind(QHostAddress(QHostAddress::LocalHost), 0);
    return socket.localPort();
}

bool udpPortBound(quint16 port) {
    QUdpSocket probe;
    return !probe.bind(QHostAddress(QHostAddress::LocalHost), port);
}

// Runs the event loop for this long, as the application would between an operator's clicks.
void spin(int ms) {
    QEventLoop loop;
    QTimer::singleShot(ms, &loop, &QEventLoop::quit);
    loop.exec();
}

template <typename Condition> bool spinUntil(Condition condition, int ms) {
    QElapsedTimer elapsed;
    elapsed.start();
    while (!condition()) {
        if (elapsed.elapsed() > ms)
            return false;
        spin(20);
    }
    return true;
}

double numberArgument(const QStringList &arguments, int index, const char *variable, double fallback) {
    bool ok = false;
    double value = variable ? qEnvironmentVariable(variable).toDouble(&ok) : 0.0;
    if (ok && value > 0)
        return value;
    value = arguments.value(index).toDouble(&ok);
    return ok && value > 0 ? value : fallback;
}

// srt-live-transmit as the server; it sometimes ends when a caller leaves during its handshake, so it is
// started again whenever it is found gone.
class Listener {
public:
    Listener() : port(freeUdpPort()), output(freeUdpPort()) {}
    ~Listener() {
        if (process && process->state() != QProcess::NotRunning) {
            process->kill();
            process->waitForFinished(kListenerWaitMs);
        }
    }
    bool ensure() {
        if (process && process->state() == QProcess::Running)
            return true;
        process = std::make_unique<QProcess>();
        // Its complaints about callers that leave are no news here.
        process->setStandardOutputFile(QProcess::nullDevice());
        process->setStandardErrorFile(QProcess::nullDevice());
        process->start(QStringLiteral("srt-live-transmit"),
                       {QStringLiteral("-q"), QStringLiteral("srt://127.0.0.1:%1?mode=listener").arg(port),
                        QStringLiteral("udp://127.0.0.1:%1").arg(output)});
        if (!process->waitForStarted(kListenerWaitMs))
            return false;
        return spinUntil([this] { return udpPortBound(port); }, kListenerWaitMs);
    }
    const quint16 port;

private:
    const quint16 output;
    std::unique_ptr<QProcess> process;
};

class Session {
public:
    explicit Session(const QString &codec) {
        start = window.findChild<QPushButton *>(QStringLiteral("cmdStart"));
        auto *videoSources = window.findChild<QComboBox *>(QStringLiteral("cmbVideoSources"));
        auto *encoders = window.findChild<QComboBox *>(QStringLiteral("cmbEncs"));
        auto *sizes = window.findChild<QComboBox *>(QStringLiteral("cmbFrames"));
        auto *rates = window.findChild<QComboBox *>(QStringLiteral("cmbFPS"));
        auto *bitrate = window.findChild<QSpinBox *>(QStringLiteral("spbVBR"));
        auto *server = window.findChild<QLineEdit *>(QStringLiteral("txtURL"));
        if (!start || !videoSources || !encoders || !sizes || !rates || !bitrate || !server)
            return;
        const int pattern = videoSources->findText(QStringLiteral("Test Pattern"));
        const int encoder = encoders->findData(codec);
        if (pattern < 0 || encoder < 0) {
            std::fprintf(stderr, "the Test Pattern and the encoder %s are needed\n", qPrintable(codec));
            return;
        }
        videoSources->setCurrentIndex(pattern);
        encoders->setCurrentIndex(encoder);
        sizes->setCurrentText(QStringLiteral("%1x%2").arg(kWidth).arg(kHeight));
        rates->setCurrentText(QStringLiteral("30 fps"));
        bitrate->setValue(kVideoKbps);
        server->setText(QStringLiteral("127.0.0.1:%1").arg(listener.port));
        // A failure report must not restart the stream behind the benchmark's back.
        window.findChild<QSpinBox *>(QStringLiteral("spbReconnect"))->setValue(0);
        ready = listener.ensure();
        if (!ready)
            std::fprintf(stderr, "srt-live-transmit did not start\n");
    }

    bool startStream() {
        if (!listener.ensure())
            return false;
        start->click();
        return window.streaming();
    }

    bool stopStream() {
        start->click();
        return !window.streaming() && window.waitForWorkers(kWorkerWaitMs);
    }

    uint64_t framesWritten() const { return window.captureThread()->framesWritten.load(); }
    bool streaming() const { return window.streaming(); }

    bool ready = false;

private:
    Listener listener;
    MainWindow window;
    QPushButton *start = nullptr;
};

int runCycles(Session &session, int count) {
    std::printf("Start/Stop cycles, %dx%d 30 fps, each until %llu frames are written\n", kWidth, kHeight,
                static_cast<unsigned long long>(kFramesPerCycle));
    std::printf("%8s %12s\n", "cycles", "RSS MB");
    std::printf("%8d %12.1f\n", 0, residentMb());
    std::vector<std::pair<int, double>> reported;
    QElapsedTimer elapsed;
    elapsed.start();
    for (int cycle = 1; cycle <= count; ++cycle) {
        if (!session.startStream()) {
            std::printf("cycle %d: the stream did not start\n", cycle);
            return 1;
        }
        if (!spinUntil([&] { return session.framesWritten() >= kFramesPerCycle; }, kCycleFrameWaitMs))
            std::printf("cycle %d: only %llu frames written\n", cycle,
                        static_cast<unsigned long long>(session.framesWritten()));
        if (!session.stopStream()) {
            std::printf("cycle %d: the workers did not end\n", cycle);
            return 1;
        }
        spin(100);
        const bool report =
            std::find(std::begin(kReportedCycles), std::end(kReportedCycles), cycle) != std::end(kReportedCycles);
        if (report || cycle == count) {
            reported.emplace_back(cycle, residentMb());
            std::printf("%8d %12.1f\n", cycle, reported.back().second);
            std::fflush(stdout);
        }
    }
    std::printf("%d cycles in %.0f s\n", count, elapsed.elapsed() / 1000.0);
    double peak = 0.0;
    for (const auto &entry : reported)
        peak = std::max(peak, entry.second);
    // Growth is taken from cycle 10 on: the first runs load libraries and fill the allocator's arenas.
    const auto base = std::find_if(reported.begin(), reported.end(), [](const auto &e) { return e.first >= 10; });
    if (base != reported.end() && base->first < reported.back().first) {
        const double growth = 100.0 * (reported.back().second - base->second) / base->second;
        std::printf("growth from cycle %d to %d: %+.1f MB (%+.1f %%, target < %.0f %%); peak %.1f MB (target < "
                    "%.0f MB)\n",
                    base->first, reported.back().first, reported.back().second - base->second, growth,
                    kTargetGrowthPercent, peak, kTargetMb);
    }
    return 0;
}

int runSoak(Session &session, double minutes, double reconnectMinutes) {
    std::printf("Soak: %dx%d 30 fps for %.1f min, Stop and Start every %.1f min\n", kWidth, kHeight, minutes,
                reconnectMinutes);
    std::printf("%8s %12s %8s %8s\n", "minutes", "RSS MB", "fps", "CPU %");
    if (!session.startStream()) {
        std::printf("the stream did not start\n");
        return 1;
    }
    const qint64 totalMs = static_cast<qint64>(minutes * 60000.0);
    const qint64 reconnectMs = static_cast<qint64>(reconnectMinutes * 60000.0);
    QElapsedTimer elapsed;
    elapsed.start();
    qint64 nextSample = 0;
    qint64 nextReconnect = reconnectMs;
    uint64_t framesBefore = 0;
    double cpuBefore = processCpuSeconds();
    qint64 framesSince = 0;
    uint64_t framesInRun = 0;
    int reconnects = 0;
    int failures = 0;
    std::vector<double> curve;
    for (;;) {
        const qint64 now = elapsed.elapsed();
        if (now >= nextSample) {
            // Frames count per run; a Stop and Start in the minute adds the finished run's frames.
            const uint64_t frames = framesInRun + session.framesWritten();
            const double seconds = (now - framesSince) / 1000.0;
            const double fps = now > 0 && seconds > 0 ? (frames - framesBefore) / seconds : 0.0;
            const double cpu = processCpuSeconds();
            const double cpuPercent = seconds > 0 ? 100.0 * (cpu - cpuBefore) / seconds : 0.0;
            framesBefore = frames;
            framesSince = now;
            cpuBefore = cpu;
            curve.push_back(residentMb());
            std::printf("%8.1f %12.1f %8.1f %8.0f%s\n", now / 60000.0, curve.back(), fps, cpuPercent,
                        session.streaming() ? "" : "  (not streaming)");
            std::fflush(stdout);
            nextSample += kSampleMs;
        }
        if (now >= totalMs)
            break;
        if (now >= nextReconnect) {
            framesInRun += session.framesWritten();
            if (!session.stopStream() || !session.startStream())
                ++failures;
            ++reconnects;
            nextReconnect += reconnectMs;
        }
        // A run that ended on its own (the relay reported a failure) counts, and streaming goes on.
        if (!session.streaming()) {
            ++failures;
            session.startStream();
        }
        spin(static_cast<int>(std::min<qint64>({nextSample, nextReconnect, totalMs}) - now) + 1);
    }
    session.stopStream();
    std::printf("%d reconnects, %d failed starts\n", reconnects, failures);
    // The first sample is taken as the stream starts; the curve is judged from the first minute on.
    if (curve.size() >= 3) {
        const double first = curve[1];
        const double last = curve.back();
        const double peak = *std::max_element(curve.begin() + 1, curve.end());
        std::printf("growth from minute 1 to %.1f: %+.1f MB (%+.1f %%, target < %.0f %%); peak %.1f MB (target < "
                    "%.0f MB)\n",
                    minutes, last - first, 100.0 * (last - first) / first, kTargetGrowthPercent, peak, kTargetMb);
    }
    return failures == 0 ? 0 : 1;
}

} // namespace

int main(int argc, char *argv[]) {
    // As the program does, unless the allocator's defaults are to be measured for comparison.
    if (!qEnvironmentVariableIsSet("TIDEWELL_BENCH_DEFAULT_ALLOCATOR"))
        tuneAllocator();
    // The window reads and writes the user's settings: the benchmark runs in a home of its own, offscreen.
    QTemporaryDir home;
    qputenv("HOME", home.path().toUtf8());
    qputenv("XDG_CONFIG_HOME", home.filePath(QStringLiteral("config")).toUtf8());
    qputenv("XDG_DATA_HOME", home.filePath(QStringLiteral("data")).toUtf8());
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    qInstallMessageHandler(quietHandler);
    QApplication app(argc, argv);
    QSettings::setPath(QSettings::IniFormat, QSettings::UserScope, home.filePath(QStringLiteral("config")));
    QSettings::setDefaultFormat(QSettings::IniFormat);
    AppMessages::setInteractive(false);

    const QStringList arguments = app.arguments();
    const QString mode = arguments.value(1, QStringLiteral("cycles"));
    QString codec = qEnvironmentVariable("TIDEWELL_BENCH_CODEC");
    if (codec.isEmpty())
        codec = QLatin1String(kDefaultCodec);
    Session session(codec);
    if (!session.ready)
        return 1;
    std::printf("encoder %s, %d kbit/s\n", qPrintable(codec), kVideoKbps);
    if (mode == QLatin1String("soak"))
        return runSoak(session, numberArgument(arguments, 2, "TIDEWELL_SOAK_MINUTES", kDefaultSoakMinutes),
                       numberArgument(arguments, 3, "TIDEWELL_SOAK_RECONNECT_MINUTES", kDefaultReconnectMinutes));
    if (mode == QLatin1String("cycles"))
        return runCycles(session, static_cast<int>(numberArgument(arguments, 2, nullptr, kDefaultCycles)));
    // Arguments meant for the other benchmarks of a scripts/bench run: the cycles as they stand.
    return runCycles(session, kDefaultCycles);
}
