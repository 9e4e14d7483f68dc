#include "shapedlink.h"

#include "testkit.h"

#include <QCoreApplication>

namespace {
constexpr int kCommandTimeoutMs = 10000;
}

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

bool ShapedLink::ip(const QStringList &arguments, QString *error) {
    QByteArray output;
    if (testkit::runProgram(QStringLiteral("ip"), arguments, kCommandTimeoutMs, &output) == 0)
        return true;
    if (error)
        *error = QStringLiteral("ip %1: %2").arg(arguments.join(QLatin1Char(' ')), QString::fromLocal8Bit(output));
    return false;
}

bool ShapedLink::setUp(QString *error) {
    if (!testkit::haveProgram(QStringLiteral("ip")) || !testkit::haveProgram(QStringLiteral("tc"))) {
        *error = QStringLiteral("ip or tc is not installed");
        return false;
    }
    if (!ip({QStringLiteral("netns"), QStringLiteral("add"), senderNs}, error))
        return false;
    built = true;
    const QString tx = senderNs;
    const QString rx = receiverNs;
    const QString prefix = QStringLiteral("/24");
    const bool ok =
        ip({"netns", "add", rx}, error) &&
        ip({"-n", tx, "link", "add", senderVeth, "type", "veth", "peer", "name", receiverVeth, "netns", rx}, error) &&
        ip({"-n", tx, "addr", "add", senderAddress() + prefix, "dev", senderVeth}, error) &&
        ip({"-n", rx, "addr", "add", receiverAddress() + prefix, "dev", receiverVeth}, error) &&
        ip({"-n", tx, "link", "set", senderVeth, "up"}, error) &&
        ip({"-n", rx, "link", "set", receiverVeth, "up"}, error) && ip({"-n", tx, "link", "set", "lo", "up"}, error) &&
        ip({"-n", rx, "link", "set", "lo", "up"}, error);
    if (!ok)
        tearDown();
    return ok;
}

bool ShapedLink::setRate(double mbitPerSecond, QString *error) {
    // A burst of a few full-size packets keeps tbf accurate at these rates; the queue holds 100 ms.
    const QStringList tc{QStringLiteral("qdisc"),   QStringLiteral("replace"),
                         QStringLiteral("dev"),     senderVeth,
                         QStringLiteral("root"),    QStringLiteral("tbf"),
                         QStringLiteral("rate"),    QStringLiteral("%1kbit").arg(qRound(mbitPerSecond * 1000)),
                         QStringLiteral("burst"),   QStringLiteral("16kb"),
                         QStringLiteral("latency"), QStringLiteral("100ms")};
    QByteArray output;
    if (testkit::runProgram(QStringLiteral("ip"), inNamespace(senderNs, QStringLiteral("tc"), tc), kCommandTimeoutMs,
                            &output) == 0)
        return true;
    if (error)
        *error = QStringLiteral("tc: %1").arg(QString::fromLocal8Bit(output));
    return false;
}

void ShapedLink::tearDown() {
    if (!built)
        return;
    // Removing a namespace removes the veth end inside it and with it the peer end.
    testkit::runProgram(QStringLiteral("ip"), {QStringLiteral("netns"), QStringLiteral("del"), senderNs},
                        kCommandTimeoutMs);
    testkit::runProgram(QStringLiteral("ip"), {QStringLiteral("netns"), QStringLiteral("del"), receiverNs},
                        kCommandTimeoutMs);
    built = false;
}
