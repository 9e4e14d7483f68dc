#include "resolvehost.h"

#include <QHostAddress>
#include <QHostInfo>

#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <thread>

QString resolveHost(const QString &host, bool ipv6Fallback) {
    QHostAddress address;
    if (address.setAddress(host))
        return address.toString();

    const QHostInfo info = QHostInfo::fromName(host);
    if (info.error() != QHostInfo::NoError)
        return QString();
    const QList<QHostAddress> addresses = info.addresses();
    for (const QHostAddress &candidate : addresses) {
        if (candidate.protocol() == QAbstractSocket::IPv4Protocol)
            return candidate.toString();
    }
    if (ipv6Fallback) {
        for (const QHostAddress &candidate : addresses) {
            if (candidate.protocol() == QAbstractSocket::IPv6Protocol)
                return candidate.toString();
        }
    }
    return QString();
}

QString resolveHost(const QString &host, bool ipv6Fallback, QDeadlineTimer deadline, bool *timedOut) {
    if (timedOut)
        *timedOut = false;
    QHostAddress address;
    if (address.setAddress(host))
        return address.toString();

    // Shared with the look-up thread, which may outlive this call.
    struct Lookup {
        std::mutex lock;
        std::condition_variable done;
        bool finished = false;
        QString result;
    };
    auto lookup = std::make_shared<Lookup>();
    std::thread([lookup, host, ipv6Fallback] {
        const QString result = resolveHost(host, ipv6Fallback);
        const std::lock_guard<std::mutex> locker(lookup->lock);
        lookup->result = result;
        lookup->finished = true;
        lookup->done.notify_all();
    }).detach();
    std::unique_lock<std::mutex> locker(lookup->lock);
    const auto finished = [&lookup] { return lookup->finished; };
    if (deadline.isForever())
        lookup->done.wait(locker, finished);
    else if (!lookup->done.wait_for(locker, std::chrono::milliseconds(deadline.remainingTime()), finished)) {
        if (timedOut)
            *timedOut = true;
        return QString();
    }
    return lookup->result;
}
