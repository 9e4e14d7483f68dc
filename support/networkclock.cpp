#include "networkclock.h"

#include "logsdlg.h"
#include "ntpclient.h"
#include "resolvehost.h"

#include <QDebug>
#include <QMutex>

#include <chrono>
#include <limits>

namespace {

// The clock is one number: network UTC minus the steady clock, in nanoseconds. A synchronisation replaces it
// with one store, so a reader on the capture thread never sees a new base with an old timer.
constexpr int64_t kUnsynchronised = std::numeric_limits<int64_t>::min();
std::atomic<int64_t> clockOffsetNs{kUnsynchronised};
std::atomic<bool> unsynchronisedReported{false};
std::atomic<LogsDlg *> clockLog{nullptr};

QMutex serverLock; // guards serverText
QString serverText;

int64_t steadyNowNs() {
    using namespace std::chrono;
    return duration_cast<nanoseconds>(steady_clock::now().time_since_epoch()).count();
}

void logLine(const QString &text) {
    qDebug().noquote() << text;
    if (LogsDlg *window = clockLog.load())
        window->addMessage(text);
}

// Splits "host[:port]"; false when the port part is not a valid port number.
bool splitServer(const QString &text, QString *host, int *port) {
    const QString trimmed = text.trimmed();
    const int colon = trimmed.lastIndexOf(QLatin1Char(':'));
    *host = trimmed;
    *port = NTP_client::Client::kDefaultPort;
    if (colon >= 0) {
        bool ok = false;
        *port = trimmed.mid(colon + 1).toInt(&ok);
        if (!ok || *port < 1 || *port > 65535)
            return false;
        *host = trimmed.left(colon);
    }
    return !host->isEmpty();
}

} // namespace

bool setNtpServer(const QString &server) {
    QString host;
    int port = 0;
    if (!splitServer(server, &host, &port))
        return false;
    QMutexLocker locker(&serverLock);
    serverText = server.trimmed();
    return true;
}

QString ntpServerText() {
    QMutexLocker locker(&serverLock);
    return serverText;
}

uint16_t syncNetworkClock(int timeoutMs, const std::atomic<bool> *cancel) {
    QString host;
    int port = 0;
    const QString server = ntpServerText();
    uint16_t status = NTP_client::TX_MESSAGE_ERR;
    if (splitServer(server, &host, &port)) {
        const QString address = resolveHost(host);
        NTP_client::Client client(timeoutMs, cancel);
        std::unique_ptr<NTP_client::Result> result;
        status = client.query(QStringLiteral("%1:%2").arg(address).arg(port).toLatin1().constData(), result);
        if (status == NTP_client::OK) {
            clockOffsetNs.store(result->time - steadyNowNs());
            logLine(QStringLiteral("Network clock synchronised with %1: offset %2 ms, delay %3 ms")
                        .arg(server)
                        .arg(result->offset / 1e6, 0, 'f', 1)
                        .arg(result->delay / 1e6, 0, 'f', 1));
            return status;
        }
    }
    logLine(QStringLiteral("Network clock synchronisation with %1 failed: %2")
                .arg(server, QLatin1String(NTP_client::statusText(status))));
    return status;
}

QDateTime networkClockNow() {
    const int64_t offset = clockOffsetNs.load();
    if (offset == kUnsynchronised) {
        if (!unsynchronisedReported.exchange(true))
            logLine(QStringLiteral("Network clock is not synchronised: the timecode uses the system clock"));
        return QDateTime::currentDateTimeUtc();
    }
    const int64_t nowNs = steadyNowNs() + offset;
    return QDateTime::fromMSecsSinceEpoch(nowNs / 1000000, Qt::UTC);
}

bool networkClockSynchronised() {
    return clockOffsetNs.load() != kUnsynchronised;
}

void setNetworkClockLog(LogsDlg *window) {
    clockLog.store(window);
}
