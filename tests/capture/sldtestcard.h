#pragma once

#include "testkit.h"

#include <QDir>
#include <QFile>
#include <QString>

// Points the card source at the fake card driver built with the tests, configured by FAKE_SLD_* variables.
inline bool useFakeCardDriver() {
    qputenv("TIDEWELL_SLD_DRIVER", QByteArray(FAKE_SLD_DRIVER));
    return QFile::exists(QStringLiteral(FAKE_SLD_DRIVER));
}

// OS threads of this process whose name is the card thread's.
inline int cardThreads() {
    int count = 0;
    for (const QString &task : QDir(QStringLiteral("/proc/self/task")).entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
        QFile comm(QStringLiteral("/proc/self/task/%1/comm").arg(task));
        if (comm.open(QIODevice::ReadOnly) && comm.readAll().trimmed() == "SLDCardSource2")
            ++count;
    }
    return count;
}

// True once no card thread is left. A thread that QThread::wait saw finish still needs a moment to leave
// the OS's list, so this waits for it, at most timeoutMs.
inline bool noCardThreadLeft(int timeoutMs = 2000) {
    return testkit::waitUntil([] { return cardThreads() == 0; }, timeoutMs, 5);
}
