#include "shapedlink.h"

#include "testkit.h"

#include <QCoreApplication>

ShapedLink::ShapedLink(const QString &tag) {
    const QString id = tag + QString::number(QCoreApplication::applicationPid());
    senderNs = QStringLiteral("tw-%1-tx").arg(id);
    receiverNs = QStringLiteral("tw-%1-rx").arg(id);
    // Interface names are limited to 15 characters.
    senderVeth = QStringLiteral("%1t").arg(id).right(15);
    receiverVeth = QStringLiteral("%1r").arg(id).right(15);
}

ShapedLink::~ShapedLink() {
    tearDown();
}

QStringList ShapedLink::inNamespace(const QString &ns, const QString &program, const QStringList &arguments) {
    return QStringList{QStringLiteral("netns"), QStringLiteral("exec"), ns, program} + arguments;
}

bool ShapedLink::setUp(QString *error) {
    if (!testkit::haveProgram(QStringLiteral("ip")) || !testkit::haveProgram(QStringLiteral("tc"))) {
        *error = QStringLiteral("ip or tc is not installed");
        return false;
    }
    // From here on the namespaces may exist; removing one that does not is harmless.
    built = true;
    const QString tx = senderNs;
    const QString rx = receiverNs;
    const bool ok = testkit::runCommands(
        {QStringLiteral("ip netns add %1").arg(tx), QStringLiteral("ip netns add %1").arg(rx),
         QStringLiteral("ip -n %1 link add %2 type veth peer name %3 netns %4").arg(tx, senderVeth, receiverVeth, rx),
         QStringLiteral("ip -n %1 addr add %2/24 dev %3").arg(tx, senderAddress(), senderVeth),
         QStringLiteral("ip -n %1 addr add %2/24 dev %3").arg(rx, receiverAddress(), receiverVeth),
         QStringLiteral("ip -n %1 link set %2 up").arg(tx, senderVeth),
         QStringLiteral("ip -n %1 link set %2 up").arg(rx, receiverVeth),
         QStringLiteral("ip -n %1 link set lo up").arg(tx), QStringLiteral("ip -n %1 link set lo up").arg(rx)},
        error);
    if (!ok)
        tearDown();
    return ok;
}

bool ShapedLink::setRate(double mbitPerSecond, QString *error) {
    // A burst of a few full-size packets keeps tbf accurate at these rates; the queue holds 100 ms.
    return testkit::runCommands({QStringLiteral("ip netns exec %1 tc qdisc replace dev %2 root tbf rate %3kbit "
                                                "burst 16kb latency 100ms")
                                     .arg(senderNs, senderVeth)
                                     .arg(qRound(mbitPerSecond * 1000))},
                                error);
}

void ShapedLink::tearDown() {
    if (!built)
        return;
    // Removing a namespace removes the veth end inside it and with it the peer end.
    testkit::runCommands({QStringLiteral("ip netns del %1").arg(senderNs)});
    testkit::runCommands({QStringLiteral("ip netns del %1").arg(receiverNs)});
    built = false;
}
