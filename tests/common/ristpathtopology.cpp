#include "ristpathtopology.h"

#include "testkit.h"

#include <QByteArray>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QStringList>

#include <csignal>
#include <fcntl.h>
#include <sched.h>
#include <unistd.h>

namespace ristpaths {
namespace {

const char kPrefix[] = "tw-rp-";
QString senderNs;
QString receiverNs;
// The namespace the first enterSender left, for leaveSender.
int originalNs = -1;

bool run(const QString &command) {
    return testkit::runCommands({command});
}

void removeStaleNamespaces() {
    QProcess list;
    list.start(QStringLiteral("ip"), {QStringLiteral("netns"), QStringLiteral("list")});
    list.waitForFinished(5000);
    for (const QString &line : QString::fromLocal8Bit(list.readAll()).split('\n')) {
        const QString name = line.section(' ', 0, 0);
        if (!name.startsWith(QLatin1String(kPrefix)))
            continue;
        const pid_t owner = pid_t(name.section('-', -1).toLong());
        if (owner > 0 && ::kill(owner, 0) != 0)
            run(QStringLiteral("ip netns del %1").arg(name));
    }
}

// Path p: sender side 10.201.<p+1>.1, receiver side .2, the sender's route to the receiver at metric 10(p+1).
QStringList pathCommands(int path) {
    const QString s = senderNs;
    const QString r = receiverNs;
    const QString dev = pathDevice(path);
    const QString net = QStringLiteral("10.201.%1").arg(path + 1);
    return {
        QStringLiteral("ip link add %1 netns %2 type veth peer name %1r netns %3").arg(dev, s, r),
        QStringLiteral("ip -n %1 addr add %2.1/24 dev %3").arg(s, net, dev),
        QStringLiteral("ip -n %1 addr add %2.2/24 dev %3r").arg(r, net, dev),
        QStringLiteral("ip -n %1 link set %2 up").arg(s, dev),
        QStringLiteral("ip -n %1 link set %2r up").arg(r, dev),
        QStringLiteral("ip -n %1 route replace %2.0/24 dev %3r src %4")
            .arg(r, net, dev, QLatin1String(kReceiverAddress)),
        QStringLiteral("ip -n %1 route add %2/32 via %3.2 dev %4 metric %5")
            .arg(s, QLatin1String(kReceiverAddress), net, dev)
            .arg(10 * (path + 1)),
        // Replies reach the sender over the path they belong to, which the routing table may not prefer.
        QStringLiteral("for n in %1 %2; do for d in all default %3 %3r; do ip netns exec $n sysctl -qw "
                       "net.ipv4.conf.$d.rp_filter=0 2>/dev/null; done; done; true")
            .arg(s, r, dev),
    };
}

} // namespace

QString pathAddress(int path) {
    return QStringLiteral("10.201.%1.1").arg(path + 1);
}

QString pathDevice(int path) {
    return path == 0 ? QStringLiteral("vA") : QStringLiteral("vB");
}

QString senderNamespace() {
    return senderNs;
}

QString receiverNamespace() {
    return receiverNs;
}

bool build(QString *error) {
    if (::geteuid() != 0) {
        *error = QStringLiteral("network namespaces need root");
        return false;
    }
    removeStaleNamespaces();
    senderNs = QStringLiteral("%1s-%2").arg(QLatin1String(kPrefix)).arg(::getpid());
    receiverNs = QStringLiteral("%1r-%2").arg(QLatin1String(kPrefix)).arg(::getpid());
    const QStringList base{
        QStringLiteral("ip netns add %1").arg(senderNs),
        QStringLiteral("ip netns add %1").arg(receiverNs),
        QStringLiteral("ip -n %1 link set lo up").arg(senderNs),
        QStringLiteral("ip -n %1 link set lo up").arg(receiverNs),
        QStringLiteral("ip -n %1 addr add %2/32 dev lo").arg(receiverNs, QLatin1String(kReceiverAddress)),
    };
    if (testkit::runCommands(base + pathCommands(0) + pathCommands(1), error))
        return true;
    *error = QStringLiteral("network namespaces are not possible here: ") + *error;
    return false;
}

void remove() {
    if (senderNs.isEmpty())
        return;
    run(QStringLiteral("ip netns del %1").arg(senderNs));
    run(QStringLiteral("ip netns del %1").arg(receiverNs));
}

bool enterSender(QString *error) {
    if (originalNs < 0)
        originalNs = ::open("/proc/thread-self/ns/net", O_RDONLY | O_CLOEXEC);
    if (testkit::enterNetworkNamespace(senderNs))
        return true;
    *error = QStringLiteral("cannot enter the sender's network namespace");
    return false;
}

void leaveSender() {
    if (originalNs >= 0)
        ::setns(originalNs, CLONE_NEWNET);
}

bool dropPath(int path) {
    return run(QStringLiteral("ip -n %1 link del %2").arg(senderNs, pathDevice(path)));
}

bool restorePath(int path) {
    return testkit::runCommands(pathCommands(path));
}

qint64 sentPackets(int path) {
    QProcess show;
    show.start(QStringLiteral("ip"),
               {QStringLiteral("-n"), senderNs, QStringLiteral("-s"), QStringLiteral("-j"), QStringLiteral("link"),
                QStringLiteral("show"), QStringLiteral("dev"), pathDevice(path)});
    show.waitForFinished(5000);
    const QJsonObject link = QJsonDocument::fromJson(show.readAllStandardOutput()).array().at(0).toObject();
    return qint64(link.value("stats64").toObject().value("tx").toObject().value("packets").toDouble(-1));
}

bool setSenderLoopback(bool up) {
    return run(QStringLiteral("ip -n %1 link set lo %2").arg(senderNs, QLatin1String(up ? "up" : "down")));
}

} // namespace ristpaths
