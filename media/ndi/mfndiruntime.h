#pragma once

#include <QString>
#include <QStringList>

#include <functional>
#include <mutex>

struct NDIlib_v5;

// The NDI runtime, looked for the way NDI documents it for Linux and loaded with dlopen once per process:
// the runtime folder named by the variable of each major version (NDI_RUNTIME_DIR_V6, then _V5), then the
// library by name (libndi.so.6, libndi.so.5) on the library path. Without it there is no NDI: no receiver
// among the live source's devices, no NDI renderer. Nothing here is undone before the process ends; the
// runtime's own objects are shared by every user of it.
//
// Threads: instance() may be called from any thread; the first call loads (a few ms). sources() serialises
// the finder's calls.
class MFNdiRuntime {
public:
    struct Candidate {
        QString path;  // what dlopen is given
        QString label; // how the operator is told where Tidewell looked
    };

    static const MFNdiRuntime &instance();

    bool available() const { return table != nullptr; }
    // The function table; nullptr without a runtime.
    const NDIlib_v5 *api() const { return table; }
    QString libraryPath() const { return loadedFrom; }
    // Every place looked at, in order.
    QString searchedText() const;
    // One line for the log window at start-up: the runtime loaded, or where it was looked for.
    QString logLine() const;

    // The names of the NDI sources found on the network so far ("MACHINE (Source)"); empty without a runtime.
    // The finder starts with the first call and keeps looking from then on.
    QStringList sources() const;

    // The places to look, in order, for the environment given (the variable's value or empty).
    static QList<Candidate> candidates(const std::function<QByteArray(const char *)> &environment);

    MFNdiRuntime(const MFNdiRuntime &) = delete;
    MFNdiRuntime &operator=(const MFNdiRuntime &) = delete;

private:
    MFNdiRuntime();

    const NDIlib_v5 *table = nullptr;
    QString loadedFrom;
    QString version;
    QString failure;
    QList<Candidate> looked;

    mutable std::mutex finderLock; // guards finder and the finder's calls
    mutable void *finder = nullptr;
};
