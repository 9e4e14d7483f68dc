#include "servicenotifier.h"

#include <QDebug>

#include <systemd/sd-daemon.h>

#include <algorithm>
#include <cstdlib>

namespace {
// systemd's advice: ping at half the watchdog interval, so that one late ping does not count as a hang.
constexpr int kPingsPerInterval = 2;
constexpr quint64 kMicrosecondsPerMs = 1000;
} // namespace

ServiceNotifier::ServiceNotifier(QObject *parent) : QObject(parent) {
    const char *socket = std::getenv("NOTIFY_SOCKET");
    active = socket && *socket;
    uint64_t intervalUs = 0;
    // The variables stay set: a program this one starts (ffmpeg, a crash symbolizer) ignores them.
    if (active && sd_watchdog_enabled(0, &intervalUs) > 0)
        pingMs = std::max(1, int(intervalUs / kMicrosecondsPerMs / kPingsPerInterval));
    pings.setInterval(pingMs);
    connect(&pings, &QTimer::timeout, this, [this] { send(QStringLiteral("WATCHDOG=1")); });
}

void ServiceNotifier::ready(const QString &status) {
    send(QStringLiteral("READY=1\nSTATUS=") + status);
    // The pings come from this thread's event loop: a window that stops handling events stops them.
    if (active && pingMs > 0)
        pings.start();
}

void ServiceNotifier::setStatus(const QString &status) {
    send(QStringLiteral("STATUS=") + status);
}

void ServiceNotifier::stopping() {
    send(QStringLiteral("STOPPING=1"));
}

void ServiceNotifier::send(const QString &state) {
    if (!active)
        return;
    if (sd_notify(0, state.toUtf8().constData()) < 0)
        qDebug() << "service manager: cannot notify" << state;
}
