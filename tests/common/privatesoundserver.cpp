#include "privatesoundserver.h"

#include "testkit.h"

#include <QDir>
#include <QFile>
#include <QProcessEnvironment>

PrivateSoundServer::PrivateSoundServer(const QList<Sink> &sinks) : sinks(sinks) {}

PrivateSoundServer::~PrivateSoundServer() {
    stop();
    if (!overriding)
        return;
    if (hadServer)
        qputenv("PULSE_SERVER", previousServer);
    else
        qunsetenv("PULSE_SERVER");
}

bool PrivateSoundServer::pactl(const QStringList &arguments, QByteArray *output) const {
    return testkit::runProgram(QStringLiteral("pactl"), arguments, 5000, output) == 0;
}

bool PrivateSoundServer::start(QString *why) {
    for (const char *program : {"pulseaudio", "pactl"}) {
        if (!testkit::haveProgram(QString::fromLatin1(program))) {
            *why = QStringLiteral("%1 is not installed").arg(QString::fromLatin1(program));
            return false;
        }
    }
    if (!home.isValid()) {
        *why = QStringLiteral("no temporary directory");
        return false;
    }
    const QString socket = QDir(home.path()).filePath(QStringLiteral("native"));
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    for (const char *name : {"HOME", "XDG_RUNTIME_DIR", "XDG_CONFIG_HOME", "PULSE_RUNTIME_PATH", "PULSE_STATE_PATH"})
        environment.insert(QString::fromLatin1(name), home.path());
    environment.remove(QStringLiteral("DISPLAY"));
    environment.remove(QStringLiteral("PULSE_SERVER"));
    server.setProcessEnvironment(environment);
    server.setProcessChannelMode(QProcess::MergedChannels);
    // -n: no default script, so that the server has exactly the modules below. --system=false because the
    // tests may run as root, where the server otherwise assumes a system-wide instance.
    QStringList arguments{QStringLiteral("-n"), QStringLiteral("--daemonize=no"), QStringLiteral("--system=false"),
                          QStringLiteral("--exit-idle-time=-1"), QStringLiteral("--disallow-exit")};
    for (const Sink &sink : sinks) {
        QString module =
            QStringLiteral("module-null-sink sink_name=%1 rate=%2 channels=2").arg(sink.name).arg(sink.rate);
        if (!sink.description.isEmpty())
            module += QStringLiteral(" sink_properties=device.description=%1").arg(sink.description);
        arguments << QStringLiteral("-L") << module;
    }
    arguments << QStringLiteral("-L")
              << QStringLiteral("module-native-protocol-unix socket=%1 auth-anonymous=1").arg(socket);
    server.start(QStringLiteral("pulseaudio"), arguments);
    if (!server.waitForStarted(5000)) {
        *why = server.errorString();
        return false;
    }
    if (!overriding) {
        hadServer = qEnvironmentVariableIsSet("PULSE_SERVER");
        previousServer = qgetenv("PULSE_SERVER");
        overriding = true;
    }
    qputenv("PULSE_SERVER", "unix:" + QFile::encodeName(socket));
    const bool up = testkit::waitUntil(
        [&] { return server.state() == QProcess::NotRunning || pactl({QStringLiteral("info")}); }, 10000, 100);
    if (!up || server.state() == QProcess::NotRunning) {
        *why = QString::fromLocal8Bit(server.readAll());
        stop();
        return false;
    }
    return true;
}

void PrivateSoundServer::stop() {
    if (server.state() != QProcess::NotRunning) {
        server.terminate();
        if (!server.waitForFinished(5000)) {
            server.kill();
            server.waitForFinished(5000);
        }
    }
}
