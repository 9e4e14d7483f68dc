// Child process for the tests that need a program of their own:
//   supporthelper instance <key>   prints "<index> <letter>" and stays until its standard input closes
//   supporthelper crash <kind> [version]   installs the crash handler (version 1.2.3 unless given) and crashes
//                                          in a worker thread
#include "crashhandler.h"
#include "instancecounter.h"

#include <QCoreApplication>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>
#include <unistd.h>

// Kept out of line and exported so that the report's backtrace can be checked for it.
// The sanitizer build would report the deliberate faults and exit instead of letting them crash.
__attribute__((noinline, no_sanitize("undefined"))) void tidewellCrashInWorker(const char *kind);
__attribute__((noinline, no_sanitize("undefined"))) void tidewellCrashInWorker(const char *kind) {
    // The calls go through volatile data so that the compiler keeps this frame (no tail call, no code dropped
    // after a call it knows does not return) and the backtrace shows it.
    static volatile int sink = 0;
    if (std::strcmp(kind, "segv") == 0) {
        volatile int *nowhere = nullptr;
        *nowhere = 1;
    } else if (std::strcmp(kind, "abort") == 0) {
        void (*volatile doAbort)() = std::abort;
        doAbort();
    } else if (std::strcmp(kind, "fpe") == 0) {
        volatile int zero = 0;
        volatile int one = 1;
        sink = one / zero;
    }
    sink = sink + 1;
}

int main(int argc, char **argv) {
    // Never outlive a test that lost track of us.
    alarm(60);
    QCoreApplication app(argc, argv);
    if (argc >= 3 && std::strcmp(argv[1], "instance") == 0) {
        InstanceCounter counter(QString::fromLocal8Bit(argv[2]), nullptr);
        const int index = counter.instanceIndex();
        std::printf("%d %c\n", index, InstanceCounter::instanceLetter(index).toLatin1());
        std::fflush(stdout);
        char line[16];
        while (std::fgets(line, sizeof line, stdin)) {
        }
        return 0;
    }
    if (argc >= 3 && std::strcmp(argv[1], "crash") == 0) {
        installCrashHandler(QStringLiteral("Tidewell"),
                            argc >= 4 ? QString::fromLocal8Bit(argv[3]) : QStringLiteral("1.2.3"));
        const char *kind = argv[2];
        std::thread worker([kind] { tidewellCrashInWorker(kind); });
        worker.join();
        return 0;
    }
    return 2;
}
