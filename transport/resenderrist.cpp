#include "resenderrist.h"

#include "logsdlg.h"
#include "pathsocketbinder.h"

#include <QDateTime>
#include <QDebug>
#include <QTimer>

#include <librist/librist.h>

#include <algorithm>
#include <cstring>
#include <ctime>
#include <mutex>

namespace {

constexpr int kTsPacketSize = 188;
// Null chunks ahead of the stream; at 20 % loss all five are lost once in 3000 runs.
constexpr int kLeadingNullChunks = 5;
// librist reports a peer's bandwidth in bits per second.
constexpr double kBitsPerMegabit = 1e6;

rist_logging_settings *loggingSettings = nullptr;

int logCallback(void *, enum rist_log_level level, const char *message) {
    // librist may quote a peer URL in its messages; its secrets stay out of the diagnostic stream.
    const QString text = ristrules::maskSecrets(QString::fromLocal8Bit(message).trimmed());
    if (level <= RIST_LOG_ERROR)
        qDebug().noquote() << "[sender] ERROR: " + text;
    else
        qDebug().noquote() << "[sender] " + text;
    return 0;
}

// One settings object for the process: librist also keeps it as its global logging settings. No stream is
// given, so messages reach the diagnostic stream once, through the callback.
void setUpLogging() {
    static std::once_flag done;
    std::call_once(done, [] {
        if (rist_logging_set(&loggingSettings, RIST_LOG_ERROR, logCallback, nullptr, nullptr, nullptr) != 0)
            qDebug() << "Failed to setup logging";
    });
}

// Copies a raw value into one of librist's fixed-size configuration fields; false when it does not fit.
bool setField(char *field, size_t capacity, const QString &value) {
    const QByteArray bytes = value.toUtf8();
    if (size_t(bytes.size()) >= capacity)
        return false;
    std::memcpy(field, bytes.constData(), size_t(bytes.size()) + 1);
    return true;
}

// Host and port of a peer URL: the query may carry the secret.
QString destinationOf(const QString &url) {
    QString text = url.section(QLatin1Char('?'), 0, 0);
    text.remove(QStringLiteral("rist://"));
    return text;
}

} // namespace

struct RistCallbacks {
    static void status(void *arg, rist_peer *peer, enum rist_connection_status status) {
        static_cast<RESenderRist *>(arg)->peerStatus(peer, int(status));
    }
    static int statistics(void *arg, const rist_stats *stats) {
        if (stats->stats_type == RIST_STATS_SENDER_PEER)
            static_cast<RESenderRist *>(arg)->peerStatistics(stats->stats.sender_peer);
        rist_stats_free(stats);
        return 0;
    }
};

RESenderRist::RESenderRist(LogsDlg *logWindow, QObject *parent)
    : RelayThread(QStringLiteral("RESenderRist"), QStringLiteral("RIST"), LogEcho::AlsoDiagnostics, logWindow, parent) {
    setUpLogging();
}

RESenderRist::~RESenderRist() {
    // The run uses this object's members (the context, the peers), which go before the base destructor runs.
    // Qualified: RESenderRist does not extend requestEnd, and a destructor makes no virtual call.
    if (isRunning()) {
        RelayThread::requestEnd();
        wait(2 * kPreviousRunWaitMs);
    }
}

void RESenderRist::setRistParams(int rttMax, int maxRetries, int retriesBuffer, int reorderBuffer) {
    nextParams = {rttMax, maxRetries, retriesBuffer, reorderBuffer};
}

void RESenderRist::setBondings(const QString &paths) {
    nextBondings = ristrules::parseBondings(paths);
}

bool RESenderRist::startRetransmit(const QString &servers, const QString &interfaceAddress, const QString &cname,
                                   const QString &secret, QDeadlineTimer previousRunDeadline) {
    // The previous run reads its values while it sets up its peers, so the new ones wait until it has ended.
    if (!endPreviousRun(previousRunDeadline))
        return true;
    params = nextParams;
    bondings = nextBondings;
    this->servers = servers;
    this->interfaceAddress = interfaceAddress;
    this->cname = cname;
    this->secret = secret;
    qDebug() << "startRetransmit";
    beginRun();
    return true;
}

void RESenderRist::stopRetransmit() {
    qDebug() << "click stop = call stopRetransmit()";
    requestEnd();
    qDebug() << "RESenderRist STOP";
}

QStringList RESenderRist::peerUrls() const {
    QMutexLocker locker(&peersMutex);
    QStringList urls;
    for (const PeerEntry &entry : peers)
        urls.append(entry.url);
    return urls;
}

void RESenderRist::addSource(const QString &entry, const QString &id) {
    QString url;
    QString error;
    if (!ristrules::sourceUrl(entry, id, secret, params, &url, &error)) {
        log(QStringLiteral("RIST SERVER REFUSED: \"") + ristrules::maskSecrets(entry.trimmed()) +
            QStringLiteral("\" (") + error + QStringLiteral(")"));
        return;
    }
    log(QStringLiteral("Connect to RIST: ") + ristrules::maskSecrets(url));
    QMutexLocker locker(&peersMutex);
    sources.append(url);
}

bool RESenderRist::createSender(int profile) {
    srand(unsigned(time(nullptr)));
    const uint32_t flowId = rist_flow_id_create();
    qDebug() << " flow_id: " << flowId;

    rist_ctx *created = nullptr;
    if (rist_sender_create(&created, rist_profile(profile), flowId, loggingSettings) != 0) {
        qDebug() << "Rist Error 1: Could not create rist sender context";
        return false;
    }
    {
        QMutexLocker locker(&contextMutex);
        context = created;
    }
    if (rist_connection_status_callback_set(created, RistCallbacks::status, this) == -1)
        return false;
    {
        QMutexLocker locker(&peersMutex);
        allSilent = false;
        lastRistId = 0;
        reportCount = 0;
        lastReportUtcMs = 0;
        runClock.start();
    }
    if (rist_stats_callback_set(created, kStatsIntervalMs, RistCallbacks::statistics, this) != 0)
        qDebug() << "Rist: no peer statistics; a lost receiver is noticed only by librist's own report";

    QStringList urls;
    {
        QMutexLocker locker(&peersMutex);
        urls = sources;
    }
    qDebug() << "sources:" << urls.size() << " bondings:" << bondings.size();
    for (const ristrules::BondingPath &path : bondings) {
        for (const QString &url : urls)
            createPeer(url, path.address, path.weight);
    }
    if (rist_start(created) == -1) {
        qDebug() << "Rist Error 4: Could not start rist sender";
        return false;
    }
    // With a weight of 1 or more, librist 0.2.7 loses the very first packet of a flow (the receiver never
    // learns it existed, so no retransmission brings it back). Chunks of MPEG-TS null packets take that place;
    // receivers drop null packets anyway. One is not enough on a lossy link: when it is lost on the way, the
    // receiver's first packet is the encoder's first chunk, and that one goes instead. With several, all of them
    // would have to be lost.
    static const QByteArray nullPackets = [] {
        QByteArray packet(kTsPacketSize, char(0xff));
        packet[0] = char(0x47);
        packet[1] = char(0x1f);
        packet[2] = char(0xff);
        packet[3] = char(0x10);
        return packet.repeated(kChunkSize / kTsPacketSize);
    }();
    for (int i = 0; i < kLeadingNullChunks; ++i)
        writeChunk(nullPackets.constData(), nullPackets.size());
    return true;
}

bool RESenderRist::createPeer(const QString &url, const QString &interfaceAddress, int weight) {
    if (!url.isEmpty())
        return createOnePeer(url, interfaceAddress, weight);
    QStringList urls;
    {
        QMutexLocker locker(&peersMutex);
        urls = sources;
    }
    bool any = false;
    for (const QString &source : urls)
        any = createOnePeer(source, interfaceAddress, weight) || any;
    return any;
}

bool RESenderRist::createOnePeer(const QString &source, const QString &pathAddress, int weight) {
    QMutexLocker contextLocker(&contextMutex);
    if (!context) {
        qDebug() << "@@@Error_create_peer: no running sender";
        return false;
    }
    const QString url = ristrules::peerUrl(source, pathAddress, weight);
    qDebug().noquote() << " create peer: " + ristrules::maskSecrets(url) << url.size();

    QString device;
    if (!pathAddress.isEmpty()) {
        device = PathSocketBinder::deviceOf(pathAddress);
        if (device.isEmpty()) {
            log(QStringLiteral("RIST PATH REFUSED: no local interface holds ") + pathAddress);
            return false;
        }
    }

    rist_peer_config *config = nullptr;
    if (rist_parse_address2(url.toUtf8().constData(), &config) != 0 || !config) {
        qDebug() << "@@@Error_create_peer: Could not parse peer options for sender";
        rist_peer_config_free2(&config);
        return false;
    }
    // librist reads query values literally (no percent-decoding), so the raw cname and secret go straight into
    // the parsed configuration; the URL only carries their encoded form.
    if (!setField(config->cname, sizeof(config->cname), runCname) ||
        (!secret.isEmpty() && !setField(config->secret, sizeof(config->secret), secret))) {
        log(QStringLiteral("RIST PEER REFUSED: the stream id or the secret is too long"));
        rist_peer_config_free2(&config);
        return false;
    }
    qDebug() << "=>  MIN:" << config->min_retries << " MAX:" << config->max_retries
             << " rtt-max:" << config->recovery_rtt_max << " weight:" << config->weight;

    const PathSocketBinder binder;
    rist_peer *peer = nullptr;
    if (rist_peer_create(context, &peer, config) == -1) {
        qDebug() << "@@@Error_create_peer: Could not add peer connector to sender";
        rist_peer_config_free2(&config);
        return false;
    }
    QString error;
    if (!device.isEmpty() && !binder.bindNewSocket(device, &error)) {
        {
            QMutexLocker locker(&peersMutex);
            ++lastRistId;
        }
        // Without the binding the peer would leave by the default route: a "path" that is not one.
        log(QStringLiteral("RIST PATH REFUSED: ") + pathAddress + QStringLiteral(" (") + error + QStringLiteral(")"));
        rist_peer_destroy(context, peer);
        rist_peer_config_free2(&config);
        return false;
    }
    if (config->srp_username[0] != '\0' && config->srp_password[0] != '\0') {
        const int result = rist_enable_eap_srp(peer, config->srp_username, config->srp_password, nullptr, nullptr);
        if (result != 0)
            qDebug() << "@@@Error_create_peer: trying to enable SRP for peer: " << result;
    }
    {
        QMutexLocker locker(&peersMutex);
        // Counted for every peer librist made, also one destroyed below for its path: librist counted it too.
        PeerEntry entry{pathAddress, url, peer, ++lastRistId, false, 0, runClock.elapsed(), {}, 0};
        peers.append(entry);
    }
    qDebug() << "dest " << config->address << " port:" << config->physical_port << " device:" << device;
    rist_peer_config_free2(&config);
    return true;
}

void RESenderRist::destroyPeers(const QString &pathAddress) {
    QMutexLocker contextLocker(&contextMutex);
    QList<PeerEntry> removed;
    {
        QMutexLocker locker(&peersMutex);
        qDebug() << " [NEED UNCHECKED] " << pathAddress << peers.size();
        for (int i = peers.size() - 1; i >= 0; --i) {
            if (peers.at(i).interfaceAddress == pathAddress)
                removed.prepend(peers.takeAt(i));
        }
        qDebug() << " after all:" << peers.size();
    }
    for (const PeerEntry &entry : removed) {
        qDebug().noquote() << "self rist_peer_destroy " + ristrules::maskSecrets(entry.url);
        if (context)
            rist_peer_destroy(context, entry.peer);
    }
    bool noneLeft = false;
    {
        QMutexLocker locker(&peersMutex);
        noneLeft = peers.isEmpty();
    }
    // A sender without a peer takes the stream and sends it nowhere, which nothing else would notice: no peer is
    // left to fall silent.
    const bool pathless = context && noneLeft && !removed.isEmpty() && !endRequested.load();
    contextLocker.unlock();
    if (pathless) {
        reportPhase(Phase::NoPath);
        failRun(QStringLiteral("*** RIST NO PATH LEFT.  STOP."));
    }
}

void RESenderRist::destroySender() {
    rist_ctx *old = nullptr;
    {
        QMutexLocker contextLocker(&contextMutex);
        old = context;
        context = nullptr;
        QMutexLocker locker(&peersMutex);
        peers.clear();
        sources.clear();
    }
    // Outside both locks: rist_destroy joins librist's threads, and one of them may be in the status callback.
    if (old)
        rist_destroy(old);
}

void RESenderRist::peerStatus(rist_peer *peer, int status) {
    qDebug() << "----- rist STATUS " << status << " peer:" << static_cast<void *>(peer);
    if (status != RIST_CONNECTION_TIMED_OUT && status != RIST_CONNECTION_ESTABLISHED)
        return;
    bool lastGone = false;
    {
        QMutexLocker locker(&peersMutex);
        auto entry = std::find_if(peers.begin(), peers.end(), [peer](const PeerEntry &e) { return e.peer == peer; });
        if (entry == peers.end())
            return;
        if (status == RIST_CONNECTION_ESTABLISHED) {
            entry->timedOut = false;
            entry->silentIntervals = 0;
            entry->lastReportMs = runClock.elapsed();
            allSilent = false;
            return;
        }
        entry->silentIntervals = kSilentIntervals;
        lastGone = markSilentPeers(runClock.elapsed());
    }
    if (lastGone && !endRequested.load())
        reportAllSilent();
}

void RESenderRist::peerStatistics(const rist_stats_sender_peer &report) {
    const quint32 peerId = report.peer_id;
    const quint64 received = report.received;
    bool lastGone = false;
    {
        QMutexLocker locker(&peersMutex);
        auto entry =
            std::find_if(peers.begin(), peers.end(), [peerId](const PeerEntry &e) { return e.ristId == peerId; });
        if (entry == peers.end())
            return;
        entry->lastReportMs = runClock.elapsed();
        // librist counts sent and retransmitted packets per report interval and starts again after each report.
        LinkPathStats &path = entry->stats;
        path.rttMs = report.rtt;
        path.quality = report.quality;
        path.sentInterval = report.sent;
        path.retransmittedInterval = report.retransmitted;
        path.retransmittedTotal += report.retransmitted;
        path.bandwidthMbps = double(report.bandwidth) / kBitsPerMegabit;
        entry->sentTotal += report.sent;
        ++reportCount;
        lastReportUtcMs = QDateTime::currentMSecsSinceEpoch();
        if (received > 0) {
            if (entry->timedOut)
                qDebug().noquote() << "----- rist peer back: " + ristrules::maskSecrets(entry->url);
            entry->timedOut = false;
            entry->silentIntervals = 0;
            allSilent = false;
            return;
        }
        ++entry->silentIntervals;
        lastGone = markSilentPeers(entry->lastReportMs);
    }
    if (lastGone && !endRequested.load())
        reportAllSilent();
}

LinkStats RESenderRist::linkStats() const {
    LinkStats link;
    link.transport = QStringLiteral("RIST");
    QMutexLocker locker(&peersMutex);
    link.sequence = reportCount;
    link.utcMs = lastReportUtcMs;
    for (const PeerEntry &entry : peers) {
        LinkPathStats path = entry.stats;
        path.interfaceAddress = entry.interfaceAddress;
        path.destination = destinationOf(entry.url);
        path.alive = !entry.timedOut;
        link.paths.append(path);
        link.sentTotal += entry.sentTotal;
        link.retransmittedTotal += path.retransmittedTotal;
        if (!path.alive)
            continue;
        link.sendRateMbps += path.bandwidthMbps;
        link.rttMs = std::max(link.rttMs, path.rttMs);
        link.sentInterval += path.sentInterval;
        link.retransmittedInterval += path.retransmittedInterval;
    }
    // A RIST sender learns of a lost packet only through the receiver's request to send it again.
    link.lostInterval = link.retransmittedInterval;
    link.lostTotal = link.retransmittedTotal;
    return link;
}

void RESenderRist::checkPeers() {
    bool lastGone = false;
    {
        QMutexLocker locker(&peersMutex);
        lastGone = markSilentPeers(runClock.elapsed());
    }
    if (lastGone && !endRequested.load())
        reportAllSilent();
}

void RESenderRist::reportAllSilent() {
    reportPhase(Phase::ServerNotAnswering);
    emit srtError();
}

bool RESenderRist::markSilentPeers(qint64 nowMs) {
    constexpr qint64 kUnreportedMs = kSilentIntervals * kStatsIntervalMs + kReportSlackMs;
    int alive = 0;
    for (PeerEntry &entry : peers) {
        if (!entry.timedOut &&
            (entry.silentIntervals >= kSilentIntervals || nowMs - entry.lastReportMs > kUnreportedMs)) {
            entry.timedOut = true;
            qDebug().noquote() << "remove " + ristrules::maskSecrets(entry.url);
        }
        alive += entry.timedOut ? 0 : 1;
    }
    if (alive > 0 || peers.isEmpty()) {
        if (alive > 0 && alive < peers.size())
            qDebug() << "for full disconnect need destroy " << alive << " peers";
        return false;
    }
    if (allSilent)
        return false;
    allSilent = true;
    qDebug() << "NEED DISCONNECT - has not peers";
    return true;
}

bool RESenderRist::prepareRun() {
    runCname = cname;
    if (alpha.load())
        runCname += QStringLiteral("#alpha");
    if (!interfaceAddress.isEmpty())
        log(QStringLiteral("Sender network interface:") + interfaceAddress);

    {
        QMutexLocker locker(&peersMutex);
        sources.clear();
    }
    const QStringList entries = servers.split(QLatin1Char(','));
    for (const QString &entry : entries) {
        if (endRequested.load())
            break;
        addSource(entry, runCname);
    }
    if (!endRequested.load())
        createSender(RIST_PROFILE_MAIN);

    bool anyPeer = false;
    {
        QMutexLocker locker(&peersMutex);
        anyPeer = !peers.isEmpty();
    }
    if (context && anyPeer) {
        log(QStringLiteral("CONNECT: SUCCESS"));
        return true;
    }
    if (!endRequested.load()) {
        // A sender without a single peer would take the stream and send it nowhere; without a context every
        // write fails, so the failure reaches the main window as with an unreachable SRT server.
        log(context ? QStringLiteral("CONNECT FAILED: no RIST peer could be created")
                    : QStringLiteral("CONNECT FAILED"));
        const bool anyPathHere = std::any_of(bondings.cbegin(), bondings.cend(), [](const ristrules::BondingPath &p) {
            return !PathSocketBinder::deviceOf(p.address).isEmpty();
        });
        if (context && !anyPathHere)
            reportPhase(Phase::NoPath);
        destroySender();
    }
    return false;
}

void RESenderRist::encoderWaitSlice() {
    checkPeers();
}

void RESenderRist::startRunTimers(QObject &runScope) {
    auto *peerWatch = new QTimer(&runScope);
    connect(
        peerWatch, &QTimer::timeout, peerWatch, [this] { checkPeers(); }, Qt::DirectConnection);
    peerWatch->start(kStatsIntervalMs);
}

void RESenderRist::finishRun() {
    // The context goes with the run that created it, once nothing on this thread writes to it any more; the
    // server then stops hearing from this sender at once instead of at the next Start.
    destroySender();
}

bool RESenderRist::sendChunk(const char *data, int size) {
    return writeChunk(data, size) >= 0;
}

int RESenderRist::writeChunk(const char *data, int size) {
    if (!context)
        return -1;
    int written = 0;
    while (written < size) {
        rist_data_block block{};
        block.payload = data + written;
        block.payload_len = size_t(size - written);
        const int result = rist_sender_data_write(context, &block);
        if (result <= 0)
            return result < 0 ? result : written;
        written += result;
    }
    return written;
}
