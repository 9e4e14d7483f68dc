#pragma once

#include <QString>

// Installs handlers for the fatal signals (SIGSEGV, SIGABRT, SIGBUS, SIGFPE, SIGILL). On such a signal a report
// with the time, "ver <version>" (the version given with or without its "ver "), the signal, a backtrace of
// the crashing thread with raw addresses and the process's memory map is written into crashReportsFolder(),
// then the signal is raised again with its default action. crashsymbolizer.h makes the backtrace readable
// later. Call once at start-up, after the application object exists.
void installCrashHandler(const QString &appName, const QString &version);

// <generic data location>/CrashRpt/UnsentCrashReports
QString crashReportsFolder();
