#pragma once

#include <QJsonObject>
#include <QMap>
#include <QProcessEnvironment>
#include <QString>
#include <QStringList>
#include <QTest>
#include <QVariantMap>

#include <functional>

// Small helpers shared by every test area. Every wait here is bounded.
class QProcess;
class QTcpSocket;
class QTemporaryDir;

namespace testkit {

// One row of a data table, QTest::newRow(name) << values..., in one call: the values stand on one line even where
// strings follow each other.
template <typename... Values> void row(const char *name, const Values &...values) {
    (QTest::newRow(name) << ... << values);
}

// A port the OS handed out just now on 127.0.0.1 (TCP or UDP), for peers that need a fixed port number.
quint16 freePort(bool udp = false);

// Runs the event loop until pred() holds or timeoutMs passes; returns pred()'s last value.
bool waitUntil(const std::function<bool()> &pred, int timeoutMs, int stepMs = 10);

// Runs the event loop until value() has stayed the same for steadyMs (something that was running has stopped), or
// timeoutMs passes; a busy machine may still finish what was under way when it was told to stop.
bool settles(const std::function<qint64()> &value, int steadyMs, int timeoutMs);

// True when the program is on PATH.
bool haveProgram(const QString &name);

// Runs a program to its end within timeoutMs; returns its exit code, or -1 on start failure or timeout.
int runProgram(const QString &program, const QStringList &arguments, int timeoutMs, QByteArray *output = nullptr);

// Runs each shell command in turn until one fails; false with that command and what it said in *error.
bool runCommands(const QStringList &commands, QString *error = nullptr, int timeoutMs = 10000);

// Moves the calling thread into a network namespace that ip netns add made; false when that is not possible.
bool enterNetworkNamespace(const QString &name);

// Writes an MPEG transport stream made by ffmpeg from lavfi testsrc2 and a sine tone.
bool makeTransportStream(const QString &path, double seconds, const QString &size = QStringLiteral("640x360"),
                         int videoKbps = 2000);

// ffprobe -show_streams -show_format as JSON; an empty object when ffprobe fails.
QJsonObject ffprobe(const QString &path, const QStringList &extraArguments = {});

// The first stream of the given codec_type ("video", "audio") in an ffprobe result.
QJsonObject probeStream(const QJsonObject &probe, const QString &codecType);

// The streams of an ffprobe result in a line, "h264 640x360 25/1, aac 48000 Hz 2 ch" ("no video", "no audio"
// for one that is missing), so that a test compares what it received in one statement.
QString streamSummary(const QJsonObject &probe);

// Reads a whole file; empty when it cannot be read.
QByteArray readFile(const QString &path);

// True once a UDP socket is bound to the IPv4 port (a peer's listener is up) in the named network namespace (empty:
// the test's own).
bool udpPortBound(quint16 port, const QString &netns = QString());

// Writes a configuration file that streams the Test Pattern with its sound through OpenH264 at 640x360; the
// given keys are added or replace those.
void writeStreamConfig(const QString &path, const QVariantMap &values);

// The environment of the program run headless in a home of the test's own: HOME and the XDG folders there, no
// DISPLAY, and these variables added.
QProcessEnvironment headlessEnvironment(const QString &home, const QMap<QString, QString> &environment = {});

// Starts the program (the path of the tidewell binary) headless from a configuration file, with a home of the
// test's own so that the operator's stored settings are never touched, and with these variables added; its
// output goes to app.log in that home.
void startHeadless(QProcess &app, const QString &program, const QTemporaryDir &home, const QString &config,
                   const QStringList &options = {}, const QMap<QString, QString> &environment = {});

// The text of a log window (its one plain-text view), after the lines queued for it have been shown.
QString logText(const QObject &logWindow);

// True once the log window's text holds the line, waiting up to timeoutMs.
bool logShows(const QObject &logWindow, const QString &line, int timeoutMs = 10000);

// Connects the encoder's side of a relay's loopback listener, as the writer does; true once connected.
bool connectEncoder(QTcpSocket &encoder, int port, int timeoutMs = 10000);

// Collects the messages Qt's log functions are given while this lives, from any thread, and passes them on to the
// handler that was there before.
class MessageCapture {
public:
    MessageCapture();
    ~MessageCapture();
    MessageCapture(const MessageCapture &) = delete;
    MessageCapture &operator=(const MessageCapture &) = delete;
    QStringList messages() const;

private:
    QtMessageHandler previous;
};

// Sets an environment variable, or unsets it, while this lives; its old value comes back after.
class ScopedEnv {
public:
    ScopedEnv(const char *name, const QByteArray &value);
    explicit ScopedEnv(const char *name);
    ~ScopedEnv();
    ScopedEnv(const ScopedEnv &) = delete;
    ScopedEnv &operator=(const ScopedEnv &) = delete;

private:
    const char *name;
    bool had;
    QByteArray old;
};

// A folder that refuses new files and renames while this lives: by permissions, or, for root (whom permissions
// do not stop), by the immutable attribute. ok() is false where neither is possible here.
class ReadOnlyFolder {
public:
    explicit ReadOnlyFolder(const QString &path);
    ~ReadOnlyFolder();
    ReadOnlyFolder(const ReadOnlyFolder &) = delete;
    ReadOnlyFolder &operator=(const ReadOnlyFolder &) = delete;
    bool ok() const { return made; }

private:
    QString path;
    bool immutable = false;
    bool made = false;
};

// Lets this process write files no larger than bytes while this lives, as a full disk would: writes beyond fail
// (EFBIG) instead of raising SIGXFSZ. Files on pipes and sockets are not limited.
class FileSizeLimit {
public:
    explicit FileSizeLimit(qint64 bytes);
    ~FileSizeLimit();
    FileSizeLimit(const FileSizeLimit &) = delete;
    FileSizeLimit &operator=(const FileSizeLimit &) = delete;

private:
    unsigned long long previous = 0; // the soft limit before, an rlim_t
    bool limited = false;
};

// The first stream of the codec type in an ffprobe result as one line: "h264 1280x720 30/1" for video, "aac 48000"
// for audio; empty when there is none.
QString streamSummary(const QJsonObject &probe, const QString &codecType);

// Writes bytes to a file afresh; false when it cannot be written.
bool writeFile(const QString &path, const QByteArray &bytes);

} // namespace testkit
