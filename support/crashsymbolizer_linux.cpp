#include "crashsymbolizer.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QMap>
#include <QProcess>
#include <QRegularExpression>
#include <QSaveFile>
#include <QStandardPaths>
#include <QVector>

namespace {

constexpr char backtraceHeading[] = "backtrace of the crashing thread:";
constexpr char mapsHeading[] = "memory map:";
// backtrace() runs in the handler: frame 0 is the handler, frame 1 the kernel's signal return trampoline and
// frame 2 the instruction that faulted. Every other frame holds a return address, one past its call.
constexpr int faultingFrame = 2;
constexpr int killWaitMs = 1000;

struct Mapping {
    quint64 start = 0;
    quint64 end = 0;
    quint64 offset = 0;
    QString path;
};

struct Frame {
    QString text;        // the handler's line: "module(symbol+0x1f) [0x55d0c0ffee]"
    quint64 address = 0; // absolute
    QString module;      // file the address lies in, from the memory map
    quint64 fileAddress = 0;
    QString readable; // what addr2line made of it
};

QVector<Mapping> parseMaps(const QStringList &lines) {
    QVector<Mapping> maps;
    static const QRegularExpression line(
        QStringLiteral("^([0-9a-f]+)-([0-9a-f]+)\\s+\\S+\\s+([0-9a-f]+)\\s+\\S+\\s+\\d+\\s+(/.*)$"));
    for (const QString &text : lines) {
        const QRegularExpressionMatch m = line.match(text);
        if (!m.hasMatch())
            continue;
        Mapping map;
        map.start = m.captured(1).toULongLong(nullptr, 16);
        map.end = m.captured(2).toULongLong(nullptr, 16);
        map.offset = m.captured(3).toULongLong(nullptr, 16);
        map.path = m.captured(4).trimmed();
        maps << map;
    }
    return maps;
}

// Runs a program to its end within the deadline; its standard output, or nothing on failure.
QString run(const QString &program, const QStringList &arguments, const QDeadlineTimer &deadline) {
    QProcess process;
    process.start(program, arguments, QIODevice::ReadOnly);
    if (!process.waitForStarted(int(qMax<qint64>(1, deadline.remainingTime()))))
        return QString();
    if (!process.waitForFinished(int(qMax<qint64>(1, deadline.remainingTime())))) {
        process.kill();
        process.waitForFinished(killWaitMs);
        return QString();
    }
    if (process.exitStatus() != QProcess::NormalExit || process.exitCode() != 0)
        return QString();
    return QString::fromLocal8Bit(process.readAllStandardOutput());
}

// "module(_Z3fooi+0x1f) [0x..]" → "foo(int)+0x1f in module", with one c++filt run for all frames.
void demangleHandlerNames(QVector<Frame> &frames, const QString &cxxfilt, const QDeadlineTimer &deadline) {
    static const QRegularExpression symbol(QStringLiteral("^(.*)\\(([^+()]+)(\\+0x[0-9a-f]+)?\\)"));
    QStringList names;
    for (const Frame &frame : frames) {
        const QRegularExpressionMatch m = symbol.match(frame.text);
        if (m.hasMatch())
            names << m.captured(2);
    }
    QStringList demangled;
    if (!names.isEmpty() && !cxxfilt.isEmpty())
        demangled = run(cxxfilt, names, deadline).split(QLatin1Char('\n'));
    if (demangled.size() < names.size())
        demangled = names;
    int next = 0;
    for (Frame &frame : frames) {
        if (!frame.readable.isEmpty())
            continue;
        const QRegularExpressionMatch m = symbol.match(frame.text);
        if (m.hasMatch())
            frame.readable = demangled.at(next) + m.captured(3) + QStringLiteral(" in ") + m.captured(1);
        if (m.hasMatch())
            ++next;
        else
            frame.readable = frame.text;
    }
}

} // namespace

QString readableCrashBacktrace(const QString &report, const QDateTime &crashTime, const QDeadlineTimer &deadline) {
    const QString addr2line = QStandardPaths::findExecutable(QStringLiteral("addr2line"));
    const QStringList lines = report.split(QLatin1Char('\n'));
    const int traceAt = lines.indexOf(QLatin1String(backtraceHeading));
    const int mapsAt = lines.indexOf(QLatin1String(mapsHeading));
    if (addr2line.isEmpty() || traceAt < 0 || mapsAt < traceAt)
        return QString();
    const QVector<Mapping> maps = parseMaps(lines.mid(mapsAt + 1));

    static const QRegularExpression address(QStringLiteral("\\[0x([0-9a-f]+)\\]\\s*$"));
    QVector<Frame> frames;
    QMap<QString, QVector<int>> byModule; // frames to look up, per binary
    for (const QString &text : lines.mid(traceAt + 1, mapsAt - traceAt - 1)) {
        const QRegularExpressionMatch m = address.match(text);
        if (!m.hasMatch())
            continue;
        Frame frame;
        frame.text = text.trimmed();
        frame.address = m.captured(1).toULongLong(nullptr, 16);
        for (const Mapping &map : maps) {
            if (frame.address >= map.start && frame.address < map.end) {
                frame.module = map.path;
                // Shared objects and position-independent executables are linked at address 0 with their
                // code where the file has it, so the offset in the file is the address addr2line wants.
                frame.fileAddress = frame.address - map.start + map.offset;
                if (frames.size() != faultingFrame && frame.fileAddress > 0)
                    --frame.fileAddress;
                break;
            }
        }
        const QFileInfo module(frame.module);
        if (!frame.module.isEmpty() && module.exists() && (!crashTime.isValid() || module.lastModified() <= crashTime))
            byModule[frame.module] << frames.size();
        frames << frame;
    }

    for (auto it = byModule.cbegin(); it != byModule.cend() && !deadline.hasExpired(); ++it) {
        QStringList arguments{QStringLiteral("-e"), it.key(),
                              QStringLiteral("-f"), QStringLiteral("-C"),
                              QStringLiteral("-i"), QStringLiteral("-p")};
        for (int index : it.value())
            arguments << QStringLiteral("0x") + QString::number(frames.at(index).fileAddress, 16);
        // One entry per address; the functions inlined into it follow on lines of their own.
        QStringList entries;
        for (const QString &line : run(addr2line, arguments, deadline).split(QLatin1Char('\n'))) {
            if (line.startsWith(QLatin1String(" (inlined by)")) && !entries.isEmpty())
                entries.last() += QStringLiteral("\n    ") + line.trimmed();
            else if (!line.isEmpty())
                entries << line;
        }
        if (entries.size() != it.value().size())
            continue;
        for (int i = 0; i < entries.size(); ++i) {
            // "?? ??:0": the binary knows nothing of the address; the handler's own text is better.
            if (!entries.at(i).startsWith(QLatin1String("??")))
                frames[it.value().at(i)].readable = entries.at(i) + QStringLiteral(" in ") + it.key();
        }
    }
    demangleHandlerNames(frames, QStandardPaths::findExecutable(QStringLiteral("c++filt")), deadline);

    QString text;
    for (int i = 0; i < frames.size(); ++i)
        text += QStringLiteral("#%1 %2\n").arg(i).arg(frames.at(i).readable);
    return text;
}

int symbolizeCrashReports(const QString &folder, const QDeadlineTimer &deadline) {
    int done = 0;
    const QDir dir(folder);
    for (const QFileInfo &info : dir.entryInfoList({QStringLiteral("crash-*.txt")}, QDir::Files, QDir::Name)) {
        if (deadline.hasExpired())
            break;
        QFile file(info.filePath());
        if (!file.open(QIODevice::ReadOnly))
            continue;
        const QString report = QString::fromUtf8(file.readAll());
        file.close();
        if (report.contains(QLatin1String(kReadableBacktraceHeading)))
            continue;
        const QString readable = readableCrashBacktrace(report, info.lastModified(), deadline);
        if (readable.isEmpty())
            continue;
        QSaveFile out(info.filePath());
        if (!out.open(QIODevice::WriteOnly))
            continue;
        // Before the memory map, which is long and only the lookup needed.
        const int mapsAt = report.indexOf(QLatin1String("\n") + QLatin1String(mapsHeading) + QLatin1Char('\n'));
        out.write(report.left(mapsAt + 1).toUtf8());
        out.write(QByteArray(kReadableBacktraceHeading) + "\n" + readable.toUtf8());
        out.write(report.mid(mapsAt + 1).toUtf8());
        if (out.commit())
            ++done;
    }
    return done;
}
