// The program as systemd runs it from tidewell@.service (Type=notify, WatchdogSec): the test is the service
// manager, with a datagram socket of its own named by NOTIFY_SOCKET, and reads what the program tells it.
#include "headlessapp.h"
#include "srttestlistener.h"
#include "testkit.h"

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace {

// Pings come at half of it.
constexpr int kWatchdogMs = 400;

class NotifySocket {
public:
    ~NotifySocket() {
        if (fd >= 0)
            ::close(fd);
    }
    bool bind(const QString &path) {
        fd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        const QByteArray name = path.toLocal8Bit();
        if (fd < 0 || size_t(name.size()) >= sizeof(address.sun_path))
            return false;
        qstrcpy(address.sun_path, name.constData());
        return ::bind(fd, reinterpret_cast<sockaddr *>(&address), sizeof(address)) == 0;
    }
    // Every message so far, one entry per datagram.
    QStringList messages() {
        char buffer[4096];
        ssize_t got = 0;
        while ((got = ::recv(fd, buffer, sizeof(buffer), 0)) > 0)
            received << QString::fromUtf8(buffer, int(got));
        return received;
    }
    int count(const QString &message) { return int(messages().count(message)); }

private:
    int fd = -1;
    QStringList received;
};

} // namespace

class TestService : public QObject {
    Q_OBJECT

private slots:
    void tellsTheServiceManager();
};

void TestService::tellsTheServiceManager() {
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    NotifySocket manager;
    QVERIFY(manager.bind(dir.filePath(QStringLiteral("notify"))));
    SrtTestListener server;
    QVERIFY2(server.start(), qPrintable(server.errorText()));
    const QString stats = dir.filePath(QStringLiteral("stats.jsonl"));
    HeadlessApp app(TIDEWELL_EXECUTABLE, dir,
                    HeadlessApp::config(dir, {{"URL", QStringLiteral("srt://127.0.0.1:%1").arg(server.port())}}),
                    {QStringLiteral("--stats"), stats},
                    {{QStringLiteral("NOTIFY_SOCKET"), dir.filePath(QStringLiteral("notify"))},
                     {QStringLiteral("WATCHDOG_USEC"), QString::number(kWatchdogMs * 1000)}});
    QVERIFY(app.started());
    const auto report = [&] {
        return app.log().toUtf8() + "\nnotified: " + manager.messages().join(QStringLiteral(" | ")).toUtf8();
    };

    // Ready once the window and the stream are set up, with the stream's state; then the state as it changes.
    QVERIFY2(testkit::waitUntil([&] { return manager.count(QStringLiteral("STATUS=sending")) > 0; }, 30000, 50),
             report().constData());
    const QStringList early = manager.messages();
    const int ready = int(
        std::find_if(early.cbegin(), early.cend(), [](const QString &m) { return m.startsWith("READY=1\nSTATUS="); }) -
        early.cbegin());
    QVERIFY2(ready < early.size(), report().constData());
    QVERIFY(ready < early.indexOf(QStringLiteral("STATUS=sending")) || early.at(ready).endsWith("sending"));
    QVERIFY(testkit::waitUntil([&] { return server.bytesReceived() > 0; }, 5000));
    // The GUI thread's event loop keeps the watchdog fed.
    const int pings = manager.count(QStringLiteral("WATCHDOG=1"));
    QTest::qWait(5 * kWatchdogMs);
    QVERIFY2(manager.count(QStringLiteral("WATCHDOG=1")) >= pings + 5, report().constData());

    QVERIFY2(app.terminate(), report().constData());
    QCOMPARE(app.exitCode(), 0);
    const QStringList all = manager.messages();
    QVERIFY2(all.contains(QStringLiteral("STOPPING=1")), report().constData());
    QCOMPARE(all.last(), QStringLiteral("STATUS=not streaming"));

    // The statistics file carries the same state.
    QStringList states;
    for (const QByteArray &line : testkit::readFile(stats).split('\n')) {
        const QJsonObject record = QJsonDocument::fromJson(line).object();
        if (!record.isEmpty())
            states << record.value(QStringLiteral("state")).toString();
    }
    QVERIFY2(states.contains(QStringLiteral("sending")) && states.last() == QStringLiteral("idle"),
             qPrintable(states.join(' ')));
}

QTEST_GUILESS_MAIN(TestService)
#include "tst_service.moc"
