// The RIST relay's texts: path tokens, the URLs built from server entries, and their masked form.
#include "ristrules.h"
#include "testkit.h"

#include <QtTest>

using namespace ristrules;

class TestRistRules : public QObject {
    Q_OBJECT

private slots:
    void parseBondings_data();
    void parseBondings();
    void sourceUrl_data();
    void sourceUrl();
    void maskSecrets_data();
    void maskSecrets();
};

void TestRistRules::parseBondings_data() {
    QTest::addColumn<QString>("text");
    QTest::addColumn<QStringList>("paths");
    testkit::row("weight and none", "192.168.1.5(3),10.0.0.2", QStringList{"192.168.1.5/3", "10.0.0.2/1"});
    testkit::row("seven", "192.168.1.5(7)", QStringList{"192.168.1.5/7"});
    testkit::row("zero duplicates", "10.0.0.5(0)", QStringList{"10.0.0.5/0"});
    testkit::row("empty parentheses", "10.0.0.5()", QStringList{"10.0.0.5/1"});
    testkit::row("not a number", "10.0.0.5(x2)", QStringList{"10.0.0.5/1"});
    testkit::row("blanks and empty parts", " 10.0.0.5 ( 2 ) ,, ,10.0.1.5(1)", QStringList{"10.0.0.5/2", "10.0.1.5/1"});
    testkit::row("plain address list", "192.168.1.1,172.168.1.1", QStringList{"192.168.1.1/1", "172.168.1.1/1"});
    testkit::row("empty", "", QStringList{});
}

void TestRistRules::parseBondings() {
    QFETCH(QString, text);
    QFETCH(QStringList, paths);
    QStringList got;
    for (const BondingPath &path : ristrules::parseBondings(text))
        got.append(path.address + '/' + QString::number(path.weight));
    QCOMPARE(got, paths);
}

void TestRistRules::sourceUrl_data() {
    QTest::addColumn<QString>("entry");
    QTest::addColumn<QString>("secret");
    QTest::addColumn<QList<int>>("numbers");
    QTest::addColumn<QString>("url");
    QTest::addColumn<QString>("error");
    const QList<int> none{0, 0, 0, 0};
    const QString badPort = QStringLiteral("the port \"%1\" is not a number from 1 to 65535");
    testkit::row("all zero, no secret", "rist://10.0.0.9:5004", "", none, "rist://10.0.0.9:5004?cname=cam1", "");
    testkit::row("every number", "10.0.0.9:5004", "", QList<int>{500, 10, 7, 15},
                 "rist://10.0.0.9:5004?cname=cam1&rtt-max=500&min-retries=1&max-retries=10&reorder-buffer=15", "");
    testkit::row("secret encoded", "10.0.0.9:5004", "a&b=c#d?e%", none,
                 "rist://10.0.0.9:5004?cname=cam1&secret=a%26b%3Dc%23d%3Fe%25&aes-type=128", "");
    testkit::row("no port", "10.0.0.9", "", none, "rist://10.0.0.9?cname=cam1", "");
    testkit::row("own keys follow", " 10.0.0.9:5004?username=u&password=p ", "", QList<int>{500, 0, 0, 0},
                 "rist://10.0.0.9:5004?cname=cam1&rtt-max=500&username=u&password=p", "");
    // The operator's SRP credentials keep their case; scheme and host have none.
    testkit::row("upper-case scheme, mixed-case credentials",
                 "RIST://10.0.0.9:5004?username=Cam&password=Rist://S3cret", "", none,
                 "rist://10.0.0.9:5004?cname=cam1&username=Cam&password=Rist://S3cret", "");
    testkit::row("highest port", "10.0.0.9:65535", "", none, "rist://10.0.0.9:65535?cname=cam1", "");
    testkit::row("port past the highest", "10.0.0.9:65536", "", none, "", badPort.arg("65536"));
    testkit::row("port that would wrap", "10.0.0.9:106954", "", none, "", badPort.arg("106954"));
    testkit::row("port 0", "10.0.0.9:0", "", none, "", badPort.arg("0"));
    testkit::row("port not a number", "10.0.0.9:rist", "", none, "", badPort.arg("rist"));
    testkit::row("empty entry", "", "", none, "", "no host given");
    testkit::row("port only", ":5004", "", none, "", "no host given");
    testkit::row("ipv6 literal", "rist://[::1]:5004", "", none, "", "IPv6 addresses are not supported");
    testkit::row("bare ipv6", "fe80::1", "", none, "", "IPv6 addresses are not supported");
}

void TestRistRules::sourceUrl() {
    QFETCH(QString, entry);
    QFETCH(QString, secret);
    QFETCH(QList<int>, numbers);
    QFETCH(QString, url);
    QFETCH(QString, error);
    const RistParams params{numbers[0], numbers[1], numbers[2], numbers[3]};
    QString built;
    QString reason;
    QCOMPARE(ristrules::sourceUrl(entry, QStringLiteral("cam1"), secret, params, &built, &reason), error.isEmpty());
    QCOMPARE(built, url);
    QCOMPARE(reason, error);
}

void TestRistRules::maskSecrets_data() {
    QTest::addColumn<QString>("url");
    QTest::addColumn<QString>("masked");
    testkit::row("secret", "rist://1.2.3.4:5?cname=a&secret=s%26x&rtt-max=5",
                 "rist://1.2.3.4:5?cname=a&secret=***&rtt-max=5");
    testkit::row("srp at the end", "rist://1.2.3.4:5?cname=a&username=bob&password=pw",
                 "rist://1.2.3.4:5?cname=a&username=***&password=***");
    testkit::row("first key", "rist://1.2.3.4:5?secret=abc", "rist://1.2.3.4:5?secret=***");
    // The entry is logged as typed, no longer lower-cased first.
    testkit::row("keys in capitals", "RIST://1.2.3.4:5?USERNAME=Cam&Password=S3cret",
                 "RIST://1.2.3.4:5?USERNAME=***&Password=***");
    testkit::row("a cname named like a key", "rist://1.2.3.4:5?cname=secret", "rist://1.2.3.4:5?cname=secret");
}

void TestRistRules::maskSecrets() {
    QFETCH(QString, url);
    QFETCH(QString, masked);
    QCOMPARE(ristrules::maskSecrets(url), masked);
}

QTEST_APPLESS_MAIN(TestRistRules)
#include "tst_ristrules.moc"
