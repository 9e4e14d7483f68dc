#pragma once

#include <QDateTime>
#include <QDeadlineTimer>
#include <QString>

// The crash handler may only write raw addresses and the process's memory map (nothing else is safe inside a
// signal handler). This turns them into a backtrace an operator or developer can read: demangled function
// names with source file and line, looked up by addr2line (binutils) where a binary has debug information,
// else the name the handler wrote, demangled by c++filt.

// The readable backtrace of one report's text; empty when the report has no memory map or addr2line is not
// installed. A binary changed after crashTime is not looked up: its lines would be those of another build.
QString readableCrashBacktrace(const QString &report, const QDateTime &crashTime, const QDeadlineTimer &deadline);

// Appends the readable backtrace to every report in the folder that has none yet; returns how many it
// completed. Stops when the deadline is reached (the caller may be the GUI thread).
int symbolizeCrashReports(const QString &folder, const QDeadlineTimer &deadline);

// The heading of the appended section.
inline constexpr char kReadableBacktraceHeading[] = "backtrace with names and lines:";
