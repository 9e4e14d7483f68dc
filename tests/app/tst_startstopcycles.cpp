// Quick Start/Stop cycles of the main window against a real srt-live-transmit listener: afterwards no worker
// thread runs and the process holds no more threads or descriptors than after the first cycles, and (in the
// sanitizer build) no memory a run allocated is left unreachable.
#include "allocatortuning.h"
#include "appmessages.h"
#include "capturestreamer.h"
#include "mainwindow.h"
#include "peerprocess.h"
#include "resender.h"
#include "testkit.h"
#include "windowtestmain.h"

#if defined(__SANITIZE_ADDRESS__)
#define TIDEWELL_LEAK_CHECK 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define TIDEWELL_LEAK_CHECK 1
#endif
#endif
#ifdef TIDEWELL_LEAK_CHECK
#include <sanitizer/lsan_interface.h>
#endif

namespace {
constexpr int kCycles = 20;
const char kPassphrase[] = "cycle-secret-0123";

int entries(const QString &folder) {
    return QDir(folder).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::System).size();
}

qint64 residentKb() {
    const QByteArray status = testkit::readFile(QStringLiteral("/proc/self/status"));
    for (const QByteArray &line : status.split('\n')) {
        if (line.startsWith("VmRSS:"))
            return line.mid(6).trimmed().split(' ').value(0).toLongLong();
    }
    return -1;
}

} // namespace

class TestStartStopCycles : public QObject {
    Q_OBJECT

private slots:
    // Also checks that the passphrase of an encrypted stream appears in no diagnostic line.
    void cyclesLeaveNothingBehind();
};

void TestStartStopCycles::cyclesLeaveNothingBehind() {
    if (!testkit::haveProgram(QStringLiteral("srt-live-transmit")))
        QSKIP("srt-live-transmit is needed");
    MainWindow window;
    auto *start = windowtest::control<QPushButton>(window, "cmdStart");
    if (!windowtest::chooseTestPatternH264(window))
        QSKIP("the Test Pattern and the OpenH264 encoder are needed");

    const quint16 port = testkit::freePort(true);
    // What it receives goes on as UDP to a loopback port nobody reads. srt-live-transmit sometimes ends when a
    // caller leaves during its handshake; it is then started again, so that every cycle meets a listener.
    const quint16 output = testkit::freePort(true);
    std::unique_ptr<PeerProcess> listener;
    auto ensureListener = [&]() -> bool {
        if (listener && listener->isRunning())
            return true;
        listener = std::make_unique<PeerProcess>();
        return startSrtServer(*listener, port, QStringLiteral("udp://127.0.0.1:%1").arg(output),
                              QStringLiteral("&passphrase=") + kPassphrase);
    };
    QVERIFY(ensureListener());
    // A failure report must not restart a stream behind the cycles' back.
    QVERIFY(windowtest::fill(window, {"spbReconnect=0", QStringLiteral("txtURL=127.0.0.1:%1").arg(port),
                                      QStringLiteral("txtPassphrase=") + kPassphrase}));
    // Every diagnostic line of the test, to prove that the passphrase reaches none of them.
    const testkit::MessageCapture diagnostics;

    auto cycle = [&](int index) -> bool {
        if (!ensureListener())
            return false;
        start->click();
        if (!window.streaming())
            return false;
        // Half of the cycles stop at once, the others once the encoder has written frames and the relay has
        // reached the listener (a Stop ends a connect still under way).
        if (index % 2)
            testkit::waitUntil(
                [&] {
                    return window.captureThread()->framesWritten.load() > 0 &&
                           windowtest::logText().contains(QLatin1String("CONNECT: SUCCESS"));
                },
                5000);
        start->click();
        return !window.streaming() && start->text() == QLatin1String("START");
    };
    // The first runs load the libraries and their own threads; the baseline is taken after them.
    for (int i = 0; i < 2; ++i)
        QVERIFY(cycle(i));
    QVERIFY(window.waitForWorkers(10000));
    const QString fds = QStringLiteral("/proc/self/fd");
    const QString tasks = QStringLiteral("/proc/self/task");
    const int fdsBefore = entries(fds);
    const int threadsBefore = entries(tasks);
    const qint64 memoryBefore = residentKb();

    for (int i = 0; i < kCycles; ++i)
        QVERIFY2(cycle(i), qPrintable(QStringLiteral("cycle %1: %2").arg(i).arg(AppMessages::history().join('\n'))));
    QVERIFY(AppMessages::history().isEmpty());
    QVERIFY(window.waitForWorkers(10000));
    QVERIFY(!window.captureThread()->isRunning());
    QVERIFY(!window.srtRelay()->isRunning());
    // Threads the libraries end on their own (libsrt's receive queue) get a moment.
    testkit::waitUntil([&] { return entries(tasks) <= threadsBefore && entries(fds) <= fdsBefore; }, 5000, 50);
    // The baseline may still hold a socket that libsrt closes later, so only growth is a fault.
    QVERIFY2(entries(fds) <= fdsBefore, qPrintable(QStringLiteral("%1 -> %2").arg(fdsBefore).arg(entries(fds))));
    QVERIFY2(entries(tasks) <= threadsBefore,
             qPrintable(QStringLiteral("%1 -> %2").arg(threadsBefore).arg(entries(tasks))));
    qInfo("after %d cycles: %d -> %d descriptors, %d -> %d threads, %lld -> %lld kB", kCycles, fdsBefore, entries(fds),
          threadsBefore, entries(tasks), memoryBefore, residentKb());
#ifdef TIDEWELL_LEAK_CHECK
    // While the window is alive everything it keeps is reachable, so whatever the checker finds was lost by a run.
    QVERIFY2(__lsan_do_recoverable_leak_check() == 0, "the cycles leaked memory: see the leak checker's report");
#endif
    // Resident memory is only reported: allocator caches and the sanitizer's quarantine move it by far more
    // than a per-run leak would, so a bound here would judge the allocator, not the program.
    // The log window holds what the operator reads; the runs did reach the listener through the encryption.
    QCoreApplication::processEvents();
    const QString logText = windowtest::logText();
    QVERIFY2(logText.contains(QLatin1String("CONNECT: SUCCESS")), qPrintable(logText));
    QVERIFY(!logText.contains(QLatin1String(kPassphrase)));
    const QStringList seen = diagnostics.messages();
    QVERIFY(!seen.isEmpty());
    QCOMPARE(seen.filter(QLatin1String(kPassphrase)), QStringList());
}

int main(int argc, char *argv[]) {
    // The allocator as the program sets it up, so that the reported memory is the program's.
    return windowtest::run<TestStartStopCycles>(argc, argv, [] { tuneAllocator(); });
}

#include "tst_startstopcycles.moc"
