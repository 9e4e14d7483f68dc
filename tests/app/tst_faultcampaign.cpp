// The fault campaign (tests/common/faultcampaign.h) once: the program headless from a configuration file against
// real peers while its card, its encoder's connection, its server and its network paths fail in turn. After each
// fault the server gets the stream again within 5 s of the fault's end, and a fault that ends the run is said.
#include "faultcampaign.h"

namespace {

constexpr double kBackWithinSeconds = 5.0;

QString campaignError;
QList<faultcampaign::Outcome> outcomes;

} // namespace

class TestFaultCampaign : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void eachFaultIsOvercome_data();
    void eachFaultIsOvercome();
};

void TestFaultCampaign::initTestCase() {
    if (!campaignError.isEmpty())
        QSKIP(qPrintable(campaignError));
    faultcampaign::Options options;
    options.program = QStringLiteral(TIDEWELL_EXECUTABLE);
    options.cardDriver = QStringLiteral(FAKE_SLD_DRIVER);
    // As short as each fault allows: a second of stream between two.
    options.settleMs = 1000;
    options.onePathDownMs = 2000;
    outcomes = faultcampaign::run(options, [](const QString &step) { qInfo("%s", qPrintable(step)); });
}

void TestFaultCampaign::eachFaultIsOvercome_data() {
    QTest::addColumn<QString>("fault");
    // States besides "sending" the program must have said while the fault lasted; none needed where the stream
    // goes on over what is left, or the source comes back before the run would fail. A dead SRT server is named
    // before the library gives its connection up.
    QTest::addColumn<QStringList>("said");
    QTest::newRow("card") << QString("capture card failing for 3 s") << QStringList{"source_lost"};
    QTest::newRow("SRT listener") << QString("SRT listener killed and restarted")
                                  << QStringList{"server_not_answering", "reconnecting"};
    QTest::newRow("encoder") << QString("encoder failing to connect once") << QStringList{"reconnecting"};
    QTest::newRow("RIST receiver") << QString("RIST receiver killed and restarted") << QStringList{"reconnecting"};
    QTest::newRow("both paths") << QString("both RIST paths deleted and re-created") << QStringList{"no_network_path"};
    QTest::newRow("one path") << QString("one RIST path deleted and re-created") << QStringList();
}

void TestFaultCampaign::eachFaultIsOvercome() {
    QFETCH(QString, fault);
    QFETCH(QStringList, said);
    const auto outcome = std::find_if(outcomes.cbegin(), outcomes.cend(),
                                      [&fault](const faultcampaign::Outcome &o) { return o.fault == fault; });
    QVERIFY(outcome != outcomes.cend());
    const QString summary = QStringLiteral("%1: back after %2 s, %3 s sending without data, states %4 %5")
                                .arg(fault)
                                .arg(outcome->backSeconds)
                                .arg(outcome->blindSeconds)
                                .arg(outcome->states.join(QLatin1String(" > ")), outcome->problem);
    qInfo("%s", qPrintable(summary));
    QVERIFY2(outcome->provoked && outcome->problem.isEmpty(), qPrintable(summary));
    QVERIFY2(outcome->backSeconds >= 0 && outcome->backSeconds <= kBackWithinSeconds, qPrintable(summary));
    for (const QString &state : said)
        QVERIFY2(outcome->states.contains(state), qPrintable(summary));
}

int main(int argc, char *argv[]) {
    // Before any thread exists, so that all of them, and the programs started, live in the sender's namespace.
    campaignError = faultcampaign::prepare();
    int result = 0;
    {
        QCoreApplication app(argc, argv);
        TestFaultCampaign test;
        result = QTest::qExec(&test, argc, argv);
    }
    faultcampaign::cleanUp();
    return result;
}

#include "tst_faultcampaign.moc"
