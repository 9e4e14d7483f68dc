#include "resolvehost.h"
#include "testkit.h"

#include <QtTest>

class TestResolveHost : public QObject {
    Q_OBJECT

private slots:
    void resolve_data() {
        QTest::addColumn<QString>("host");
        QTest::addColumn<QString>("expected");
        testkit::row("ipv4", "127.0.0.1", "127.0.0.1");
        testkit::row("ipv6 loopback", "::1", "::1");
        testkit::row("ipv6 long form", "0:0:0:0:0:0:0:1", "::1");
        testkit::row("ipv6 upper case", "FE80:0:0:0:0:0:0:ABCD", "fe80::abcd");
        testkit::row("localhost", "localhost", "127.0.0.1");
        testkit::row("unresolvable", "no-such-host.invalid", "");
        testkit::row("empty", "", "");
    }
    void resolve() {
        QFETCH(QString, host);
        QFETCH(QString, expected);
        QCOMPARE(resolveHost(host), expected);
    }
};

QTEST_GUILESS_MAIN(TestResolveHost)
#include "tst_resolvehost.moc"
