// The fault campaign (tests/common/faultcampaign.h) several times over: the program headless from a configuration
// file against real peers while the capture card fails for 3 s, the SRT listener is killed and restarted, the
// encoder fails to connect once, the RIST receiver is killed and restarted, both RIST paths' veths are deleted and
// re-created, and one path's is. For each fault it prints the seconds from the fault's end until data flowed again,
// and the seconds in which the program's state (--stats) said "sending" while the server got nothing (no byte for
// half a second), from the fault's start until the stream was back; the median and the worst of the rounds.
//
// Needs root for the namespaces. Usage: bench_faultcampaign [rounds, default 4]
#include "faultcampaign.h"

#include <QCoreApplication>
#include <QMap>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <vector>

namespace {

constexpr int kDefaultRounds = 4;
// Between two faults the stream runs as long as an operator would glance at it.
constexpr int kSettleMs = 3000;
constexpr int kOnePathDownMs = 3000;

struct Figures {
    std::vector<double> back;
    std::vector<double> blind;
    std::vector<double> pathCarries;
    int failed = 0;
    bool endedTheRun = false;
};

QByteArray medianAndWorst(std::vector<double> values) {
    if (values.empty())
        return "-";
    std::sort(values.begin(), values.end());
    return QByteArray::number(values[values.size() / 2], 'f', 1) + " / " + QByteArray::number(values.back(), 'f', 1);
}

} // namespace

int main(int argc, char **argv) {
    // Before any thread exists: this process, its threads and the programs it starts live in the sender's
    // namespace.
    const QString error = faultcampaign::prepare();
    QCoreApplication app(argc, argv);
    const int rounds = argc > 1 ? std::max(1, std::atoi(argv[1])) : kDefaultRounds;
    if (!error.isEmpty()) {
        std::printf("bench_faultcampaign: skipped, %s\n", qPrintable(error));
        faultcampaign::cleanUp();
        return 0;
    }
    faultcampaign::Options options;
    options.program = QStringLiteral(TIDEWELL_EXECUTABLE);
    options.cardDriver = QStringLiteral(FAKE_SLD_DRIVER);
    options.settleMs = kSettleMs;
    options.onePathDownMs = kOnePathDownMs;

    QStringList order;
    QMap<QString, Figures> figures;
    for (int round = 1; round <= rounds; ++round) {
        const QList<faultcampaign::Outcome> outcomes = faultcampaign::run(options);
        for (const faultcampaign::Outcome &o : outcomes) {
            if (!order.contains(o.fault))
                order << o.fault;
            Figures &f = figures[o.fault];
            const bool ok = o.provoked && o.problem.isEmpty() && o.backSeconds >= 0;
            std::printf("round %d  %-40s %s back %.2f s, sending without data %.2f s; %s\n", round, qPrintable(o.fault),
                        ok ? "   " : "FAILED", o.backSeconds, o.blindSeconds,
                        qPrintable(o.problem.isEmpty() ? o.states.join(QLatin1String(" > ")) : o.problem));
            if (!ok) {
                ++f.failed;
                continue;
            }
            f.back.push_back(o.backSeconds);
            f.blind.push_back(o.blindSeconds);
            if (o.pathCarriesSeconds >= 0)
                f.pathCarries.push_back(o.pathCarriesSeconds);
            f.endedTheRun = f.endedTheRun || o.states.contains(QLatin1String("reconnecting"));
        }
        std::fflush(stdout);
    }
    faultcampaign::cleanUp();

    std::printf("\n%-40s  %-6s  %-22s  %-28s  %s\n", "fault (median / worst of the rounds)", "ok",
                "data again after, s", "\"sending\" without data, s", "the run");
    bool failed = false;
    for (const QString &fault : qAsConst(order)) {
        const Figures &f = figures.value(fault);
        failed = failed || f.failed > 0;
        QByteArray run = f.endedTheRun ? "failed and restarted" : "went on";
        if (!f.pathCarries.empty())
            run += "; the path carried again after " + medianAndWorst(f.pathCarries) + " s";
        std::printf("%-40s  %d/%-4d  %-22s  %-28s  %s\n", qPrintable(fault), rounds - f.failed, rounds,
                    medianAndWorst(f.back).constData(), medianAndWorst(f.blind).constData(), run.constData());
    }
    return failed ? 1 : 0;
}
