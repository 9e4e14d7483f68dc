#pragma once

#include <QCoreApplication>
#include <QString>

#include <cstddef>
#include <cstdint>

namespace fuzzkit {

// Some of the code under test (settings, URLs) expects an application object; its warnings would only slow
// the runs down.
inline void initialize(int *argc, char ***argv) {
    qInstallMessageHandler([](QtMsgType, const QMessageLogContext &, const QString &) {});
    static QCoreApplication app(*argc, *argv);
}

inline QString text(const uint8_t *data, size_t size) {
    return QString::fromUtf8(reinterpret_cast<const char *>(data), int(size));
}

// Stops the run the way a crash does when a parser breaks a promise its callers rely on.
inline void require(bool condition) {
    if (!condition)
        __builtin_trap();
}

} // namespace fuzzkit
