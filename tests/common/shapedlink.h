#pragma once

#include <QString>
#include <QStringList>

// Two network namespaces joined by a veth pair, for tests and benchmarks that need a real link with a set rate:
// the sender side's veth is shaped with tc tbf. Names carry a tag and the process id so that runs side by side do
// not meet; addresses exist only inside the namespaces. The destructor always removes both namespaces.
class ShapedLink {
public:
    explicit ShapedLink(const QString &tag);
    ~ShapedLink();
    ShapedLink(const ShapedLink &) = delete;
    ShapedLink &operator=(const ShapedLink &) = delete;

    // Builds the namespaces and the link; false with the reason when namespaces are not available here.
    bool setUp(QString *error);
    // Replaces the sender side's rate limit (megabits per second).
    bool setRate(double mbitPerSecond, QString *error);
    void tearDown();

    QString senderNamespace() const { return senderNs; }
    QString receiverNamespace() const { return receiverNs; }
    static QString senderAddress() { return QStringLiteral("10.210.0.1"); }
    static QString receiverAddress() { return QStringLiteral("10.210.0.2"); }

    // Program and arguments that run a command inside a namespace.
    static QString runner() { return QStringLiteral("ip"); }
    static QStringList inNamespace(const QString &ns, const QString &program, const QStringList &arguments);

private:
    QString senderNs;
    QString receiverNs;
    QString senderVeth;
    QString receiverVeth;
    bool built = false;
};
