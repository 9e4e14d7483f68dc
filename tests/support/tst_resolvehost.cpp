#include "resolvehost.h"

#include <QtTest>

class TestResolveHost : public QObject {
    Q_OBJECT

private slots:
    void resolve_data() {
        QTest::addColumn<QString>("host");
        QTest::addColumn<QString>("expected");
        QTest::newRow("ipv4") << "127.0.0.1"
                              << "127.0.0.1";
        QTest::newRow("ipv6 loopback") << "::1"
                                       << "::1";
        QTest::newRow("ipv6 long form") << "0:0:0:0:0:0:0:1"
                                        << "::1";
        QTest::newRow("ipv6 upper case") << "FE80:0:0:0:0:0:0:ABCD"
                                         << "fe80::abcd";
        QTest::newRow("localhost") << "localhost"
                                   << "127.0.0.1";
        QTest::newRow("unresolvable") << "no-such-host.invalid"
                                      << "";
        QTest::newRow("empty") << ""
                               << "";
    }
    void resolve() {
        QFETCH(QString, host);
        QFETCH(QString, expected);
        QCOMPARE(resolveHost(host), expected);
    }
};

QTEST_GUILESS_MAIN(TestResolveHost)
#include "tst_resolvehost.moc"
