#include "crashhandler.h"

#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QStandardPaths>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <ctime>
#include <execinfo.h>
#include <fcntl.h>
#include <unistd.h>

// Everything the handler uses is prepared at install time: inside a signal handler only async-signal-safe calls
// are allowed, so no allocation, no Qt, no stdio.
namespace {

constexpr int maxFrames = 128;
constexpr size_t headerCapacity = 512;
constexpr size_t altStackSize = 64 * 1024;
constexpr int fatalSignals[] = {SIGSEGV, SIGABRT, SIGBUS, SIGFPE, SIGILL};

int reportDirFd = -1;
char header[headerCapacity]; // "<app> crash report\nver <version>\n", fixed at install
size_t headerLength = 0;
std::atomic<bool> handling{false};

// Small writer into a fixed buffer; silently truncates.
struct Line {
    char text[256];
    size_t length = 0;
    void add(const char *s) {
        while (*s && length < sizeof text)
            text[length++] = *s++;
    }
    void addHex(unsigned long long value) {
        char digits[17];
        int n = 0;
        do {
            digits[n++] = "0123456789abcdef"[value & 0xf];
            value >>= 4;
        } while (value > 0 && n < 16);
        while (n > 0 && length < sizeof text)
            text[length++] = digits[--n];
    }
    void addNumber(unsigned long long value, int minDigits = 1) {
        char digits[24];
        int n = 0;
        do {
            digits[n++] = char('0' + value % 10);
            value /= 10;
        } while (value > 0 && n < int(sizeof digits));
        while (n < minDigits && n < int(sizeof digits))
            digits[n++] = '0';
        while (n > 0 && length < sizeof text)
            text[length++] = digits[--n];
    }
};

void writeAll(int fd, const char *data, size_t length) {
    while (length > 0) {
        const ssize_t written = ::write(fd, data, length);
        if (written < 0 && errno == EINTR)
            continue;
        if (written <= 0)
            return;
        data += written;
        length -= size_t(written);
    }
}

constexpr char mapsHeading[] = "memory map:\n";

// open, read and write only: all three are async-signal-safe.
void copyFile(const char *path, int to) {
    const int from = open(path, O_RDONLY | O_CLOEXEC);
    if (from < 0)
        return;
    char chunk[4096];
    for (;;) {
        const ssize_t got = ::read(from, chunk, sizeof chunk);
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0)
            break;
        writeAll(to, chunk, size_t(got));
    }
    close(from);
}

const char *signalName(int sig) {
    switch (sig) {
    case SIGSEGV:
        return "SIGSEGV";
    case SIGABRT:
        return "SIGABRT";
    case SIGBUS:
        return "SIGBUS";
    case SIGFPE:
        return "SIGFPE";
    case SIGILL:
        return "SIGILL";
    default:
        return "signal";
    }
}

// UTC calendar date from seconds since the epoch (days-from-civil inverse), since gmtime_r is not
// async-signal-safe.
void addUtcTime(Line &line, long long seconds) {
    long long days = seconds / 86400;
    long long rest = seconds % 86400;
    if (rest < 0) {
        rest += 86400;
        --days;
    }
    days += 719468;
    const long long era = (days >= 0 ? days : days - 146096) / 146097;
    const long long dayOfEra = days - era * 146097;
    const long long yearOfEra = (dayOfEra - dayOfEra / 1460 + dayOfEra / 36524 - dayOfEra / 146096) / 365;
    const long long dayOfYear = dayOfEra - (365 * yearOfEra + yearOfEra / 4 - yearOfEra / 100);
    const long long mp = (5 * dayOfYear + 2) / 153;
    const long long day = dayOfYear - (153 * mp + 2) / 5 + 1;
    const long long month = mp < 10 ? mp + 3 : mp - 9;
    const long long year = yearOfEra + era * 400 + (month <= 2 ? 1 : 0);
    line.addNumber((unsigned long long)year, 4);
    line.add("-");
    line.addNumber((unsigned long long)month, 2);
    line.add("-");
    line.addNumber((unsigned long long)day, 2);
    line.add(" ");
    line.addNumber((unsigned long long)(rest / 3600), 2);
    line.add(":");
    line.addNumber((unsigned long long)(rest / 60 % 60), 2);
    line.add(":");
    line.addNumber((unsigned long long)(rest % 60), 2);
    line.add(" UTC");
}

void onFatalSignal(int sig, siginfo_t *info, void *) {
    // A second fault while reporting (or in another thread at the same time) goes straight to the default action.
    if (!handling.exchange(true) && reportDirFd >= 0) {
        timespec now{};
        clock_gettime(CLOCK_REALTIME, &now);

        Line name;
        name.add("crash-");
        name.addNumber((unsigned long long)now.tv_sec);
        name.add("-");
        name.addNumber((unsigned long long)getpid());
        name.add(".txt");
        name.text[name.length < sizeof name.text ? name.length : sizeof name.text - 1] = '\0';

        const int fd = openat(reportDirFd, name.text, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
        if (fd >= 0) {
            writeAll(fd, header, headerLength);
            Line line;
            line.add("time: ");
            addUtcTime(line, now.tv_sec);
            line.add("\nsignal: ");
            line.addNumber((unsigned long long)sig);
            line.add(" (");
            line.add(signalName(sig));
            line.add(")");
            if (info && (sig == SIGSEGV || sig == SIGBUS)) {
                line.add(" at address 0x");
                line.addHex((unsigned long long)(uintptr_t)info->si_addr);
            }
            line.add("\npid: ");
            line.addNumber((unsigned long long)getpid());
            line.add("\nbacktrace of the crashing thread:\n");
            writeAll(fd, line.text, line.length);

            void *frames[maxFrames];
            const int count = backtrace(frames, maxFrames);
            backtrace_symbols_fd(frames, count, fd);
            // The raw addresses mean something only with the map of what was loaded where; names and lines are
            // looked up later, outside the handler (crashsymbolizer).
            writeAll(fd, mapsHeading, sizeof mapsHeading - 1);
            copyFile("/proc/self/maps", fd);
            fsync(fd);
            close(fd);
        }
    }
    signal(sig, SIG_DFL);
    raise(sig);
}

} // namespace

QString crashReportsFolder() {
    return QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation) +
           QStringLiteral("/CrashRpt/UnsentCrashReports");
}

void installCrashHandler(const QString &appName, const QString &version) {
    const QString folder = crashReportsFolder();
    QDir().mkpath(folder);
    if (reportDirFd >= 0)
        close(reportDirFd);
    reportDirFd = open(QFile::encodeName(folder).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);

    // The application's version text may already read "ver 1.2.3".
    const QByteArray versionText = version.toUtf8();
    const QByteArray text = appName.toUtf8() + " crash report\n" +
                            (versionText.startsWith("ver ") ? versionText : "ver " + versionText) + "\n";
    headerLength = std::min(size_t(text.size()), headerCapacity);
    std::memcpy(header, text.constData(), headerLength);

    // backtrace() loads its unwinder on first use, which allocates: do that now rather than in the handler.
    void *warmUp[2];
    backtrace(warmUp, 2);

    // A stack overflow leaves no stack for the handler, so it runs on its own (for the installing thread, which
    // is the GUI thread, where deep recursion is likeliest).
    static char *altStack = new char[altStackSize];
    stack_t stack{};
    stack.ss_sp = altStack;
    stack.ss_size = altStackSize;
    sigaltstack(&stack, nullptr);

    struct sigaction action {};
    action.sa_sigaction = onFatalSignal;
    action.sa_flags = SA_SIGINFO | SA_ONSTACK;
    sigemptyset(&action.sa_mask);
    for (int sig : fatalSignals)
        sigaction(sig, &action, nullptr);
}
