#include "testkit.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QMutex>
#include <QPlainTextEdit>
#include <QProcess>
#include <QSettings>
#include <QStandardPaths>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QThread>
#include <QUdpSocket>

#include <csignal>
#include <fcntl.h>
#include <linux/fs.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

namespace testkit {

quint16 freePort(bool udp) {
    if (udp) {
        QUdpSocket socket;
        if (!socket.bind(QHostAddress(QHostAddress::LocalHost), 0))
            return 0;
        return socket.localPort();
    }
    QTcpServer server;
    if (!server.listen(QHostAddress::LocalHost, 0))
        return 0;
    return server.serverPort();
}

bool waitUntil(const std::function<bool()> &pred, int timeoutMs, int stepMs) {
    QElapsedTimer timer;
    timer.start();
    while (!pred()) {
        if (timer.elapsed() >= timeoutMs)
            return pred();
        QCoreApplication::processEvents(QEventLoop::AllEvents, stepMs);
        QThread::msleep(stepMs);
    }
    return true;
}

bool settles(const std::function<qint64()> &value, int steadyMs, int timeoutMs) {
    QElapsedTimer steady;
    steady.start();
    qint64 last = value();
    return waitUntil(
        [&] {
            const qint64 now = value();
            if (now != last) {
                last = now;
                steady.restart();
            }
            return steady.elapsed() >= steadyMs;
        },
        timeoutMs);
}

bool haveProgram(const QString &name) {
    return !QStandardPaths::findExecutable(name).isEmpty();
}

int runProgram(const QString &program, const QStringList &arguments, int timeoutMs, QByteArray *output) {
    QProcess process;
    process.setProcessChannelMode(QProcess::MergedChannels);
    process.start(program, arguments);
    if (!process.waitForStarted(5000))
        return -1;
    if (!process.waitForFinished(timeoutMs)) {
        process.kill();
        process.waitForFinished(3000);
        if (output)
            *output = process.readAll();
        return -1;
    }
    if (output)
        *output = process.readAll();
    return process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
}

bool runCommands(const QStringList &commands, QString *error, int timeoutMs) {
    for (const QString &command : commands) {
        QByteArray output;
        if (runProgram(QStringLiteral("sh"), {QStringLiteral("-c"), command}, timeoutMs, &output) != 0) {
            if (error)
                *error = QStringLiteral("%1 failed: %2").arg(command, QString::fromLocal8Bit(output).trimmed());
            return false;
        }
    }
    return true;
}

bool enterNetworkNamespace(const QString &name) {
    const int fd =
        ::open(QFile::encodeName(QStringLiteral("/var/run/netns/") + name).constData(), O_RDONLY | O_CLOEXEC);
    const bool entered = fd >= 0 && ::setns(fd, CLONE_NEWNET) == 0;
    if (fd >= 0)
        ::close(fd);
    return entered;
}

bool makeTransportStream(const QString &path, double seconds, const QString &size, int videoKbps) {
    const QStringList arguments =
        QStringLiteral("-hide_banner -loglevel error -y -f lavfi -i testsrc2=size=%1:rate=25:duration=%2 "
                       "-f lavfi -i sine=frequency=1000:sample_rate=48000:duration=%2 "
                       "-c:v libx264 -preset ultrafast -b:v %3k -c:a aac -b:a 128k -f mpegts")
            .arg(size, QString::number(seconds), QString::number(videoKbps))
            .split(QLatin1Char(' '));
    return runProgram("ffmpeg", arguments + QStringList{path}, 120000) == 0;
}

QJsonObject ffprobe(const QString &path, const QStringList &extraArguments) {
    QStringList arguments = {"-v", "error", "-print_format", "json", "-show_streams", "-show_format"};
    arguments += extraArguments;
    arguments << path;
    QByteArray output;
    if (runProgram("ffprobe", arguments, 60000, &output) != 0)
        return {};
    return QJsonDocument::fromJson(output).object();
}

QJsonObject probeStream(const QJsonObject &probe, const QString &codecType) {
    for (const QJsonValue &stream : probe.value("streams").toArray()) {
        if (stream.toObject().value("codec_type").toString() == codecType)
            return stream.toObject();
    }
    return {};
}

QString streamSummary(const QJsonObject &probe) {
    const QString picture = streamSummary(probe, QStringLiteral("video"));
    const QJsonObject audio = probeStream(probe, QStringLiteral("audio"));
    const QString sound = audio.isEmpty() ? QStringLiteral("no audio")
                                          : QStringLiteral("%1 Hz %2 ch")
                                                .arg(streamSummary(probe, QStringLiteral("audio")))
                                                .arg(audio.value("channels").toInt());
    return (picture.isEmpty() ? QStringLiteral("no video") : picture) + QStringLiteral(", ") + sound;
}

QByteArray readFile(const QString &path) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    return file.readAll();
}

bool udpPortBound(quint16 port, const QString &netns) {
    const QByteArray needle = QStringLiteral(":%1 ").arg(port, 4, 16, QLatin1Char('0')).toUpper().toLatin1();
    QByteArray table;
    if (netns.isEmpty())
        table = readFile(QStringLiteral("/proc/net/udp"));
    else
        runProgram(QStringLiteral("ip"), {"netns", "exec", netns, "cat", "/proc/net/udp"}, 5000, &table);
    return table.contains(needle);
}

void writeStreamConfig(const QString &path, const QVariantMap &values) {
    QSettings ini(path, QSettings::IniFormat);
    ini.setValue(QStringLiteral("VSOURCE"), QStringLiteral("Test Pattern"));
    ini.setValue(QStringLiteral("ASOURCE"), QStringLiteral("original"));
    ini.setValue(QStringLiteral("ENCSV"), QStringLiteral("Open h264 (Software)"));
    ini.setValue(QStringLiteral("FRAME"), QStringLiteral("640x360"));
    for (auto it = values.cbegin(); it != values.cend(); ++it)
        ini.setValue(it.key(), it.value());
}

QProcessEnvironment headlessEnvironment(const QString &home, const QMap<QString, QString> &environment) {
    const QDir dir(home);
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("HOME"), home);
    env.insert(QStringLiteral("XDG_CONFIG_HOME"), dir.filePath(QStringLiteral("config")));
    env.insert(QStringLiteral("XDG_DATA_HOME"), dir.filePath(QStringLiteral("data")));
    env.insert(QStringLiteral("XDG_STATE_HOME"), dir.filePath(QStringLiteral("state")));
    env.remove(QStringLiteral("DISPLAY"));
    for (auto it = environment.cbegin(); it != environment.cend(); ++it)
        env.insert(it.key(), it.value());
    return env;
}

void startHeadless(QProcess &app, const QString &program, const QTemporaryDir &home, const QString &config,
                   const QStringList &options, const QMap<QString, QString> &environment) {
    app.setProcessEnvironment(headlessEnvironment(home.path(), environment));
    app.setProcessChannelMode(QProcess::MergedChannels);
    app.setStandardOutputFile(home.filePath(QStringLiteral("app.log")));
    app.start(program,
              QStringList{QStringLiteral("-platform"), QStringLiteral("offscreen")} + options + QStringList{config});
}

QString logText(const QObject &logWindow) {
    QCoreApplication::processEvents();
    const auto *view = logWindow.findChild<QPlainTextEdit *>();
    return view ? view->toPlainText() : QString();
}

bool logShows(const QObject &logWindow, const QString &line, int timeoutMs) {
    return waitUntil([&] { return logText(logWindow).contains(line); }, timeoutMs);
}

bool connectEncoder(QTcpSocket &encoder, int port, int timeoutMs) {
    encoder.connectToHost(QHostAddress(QHostAddress::LocalHost), quint16(port));
    return encoder.waitForConnected(timeoutMs);
}

namespace {
QMutex capturedLock; // guards captured and forwardTo
QStringList captured;
QtMessageHandler forwardTo = nullptr;

void captureMessage(QtMsgType type, const QMessageLogContext &context, const QString &message) {
    QtMessageHandler next = nullptr;
    {
        QMutexLocker locker(&capturedLock);
        captured << message;
        next = forwardTo;
    }
    if (next)
        next(type, context, message);
}
} // namespace

MessageCapture::MessageCapture() {
    QMutexLocker locker(&capturedLock);
    captured.clear();
    forwardTo = previous = qInstallMessageHandler(captureMessage);
}

MessageCapture::~MessageCapture() {
    qInstallMessageHandler(previous);
}

QStringList MessageCapture::messages() const {
    QMutexLocker locker(&capturedLock);
    return captured;
}

ScopedEnv::ScopedEnv(const char *name, const QByteArray &value)
    : name(name), had(qEnvironmentVariableIsSet(name)), old(qgetenv(name)) {
    qputenv(name, value);
}

ScopedEnv::ScopedEnv(const char *name) : name(name), had(qEnvironmentVariableIsSet(name)), old(qgetenv(name)) {
    qunsetenv(name);
}

ScopedEnv::~ScopedEnv() {
    if (had)
        qputenv(name, old);
    else
        qunsetenv(name);
}

namespace {
bool setImmutable(const QString &path, bool on) {
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        return false;
    int flags = 0;
    bool done = ::ioctl(fd, FS_IOC_GETFLAGS, &flags) == 0;
    if (done) {
        flags = on ? flags | FS_IMMUTABLE_FL : flags & ~FS_IMMUTABLE_FL;
        done = ::ioctl(fd, FS_IOC_SETFLAGS, &flags) == 0;
    }
    ::close(fd);
    return done;
}
} // namespace

ReadOnlyFolder::ReadOnlyFolder(const QString &path) : path(path) {
    if (::geteuid() == 0) {
        immutable = made = setImmutable(path, true);
        return;
    }
    made = ::chmod(QFile::encodeName(path).constData(), 0555) == 0;
}

ReadOnlyFolder::~ReadOnlyFolder() {
    // The folder must be removable again by whoever cleans up after the test.
    if (immutable)
        setImmutable(path, false);
    else if (made)
        ::chmod(QFile::encodeName(path).constData(), 0755);
}

FileSizeLimit::FileSizeLimit(qint64 bytes) {
    rlimit limit{};
    if (::getrlimit(RLIMIT_FSIZE, &limit) != 0)
        return;
    previous = limit.rlim_cur;
    limited = true;
    std::signal(SIGXFSZ, SIG_IGN);
    limit.rlim_cur = rlim_t(bytes);
    ::setrlimit(RLIMIT_FSIZE, &limit);
}

FileSizeLimit::~FileSizeLimit() {
    if (!limited)
        return;
    rlimit limit{};
    ::getrlimit(RLIMIT_FSIZE, &limit);
    limit.rlim_cur = rlim_t(previous);
    ::setrlimit(RLIMIT_FSIZE, &limit);
    std::signal(SIGXFSZ, SIG_DFL);
}

QString streamSummary(const QJsonObject &probe, const QString &codecType) {
    const QJsonObject stream = probeStream(probe, codecType);
    if (stream.isEmpty())
        return {};
    const QString codec = stream.value(QStringLiteral("codec_name")).toString();
    if (codecType == QLatin1String("audio"))
        return codec + ' ' + stream.value(QStringLiteral("sample_rate")).toString();
    return QStringLiteral("%1 %2x%3 %4")
        .arg(codec)
        .arg(stream.value(QStringLiteral("width")).toInt())
        .arg(stream.value(QStringLiteral("height")).toInt())
        .arg(stream.value(QStringLiteral("r_frame_rate")).toString());
}

bool writeFile(const QString &path, const QByteArray &bytes) {
    QFile file(path);
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate) && file.write(bytes) == bytes.size();
}

} // namespace testkit
