#include "crashsymbolizer.h"
#include "testkit.h"

#include <QtTest>

#include <memory>
#include <vector>

namespace {
constexpr int kSymbolizeMs = 30000;
} // namespace

// Behaviour that needs separate processes: the instance counter across running copies, and crash reports.
class TestProcesses : public QObject {
    Q_OBJECT

    QString key = QUuid::createUuid().toString(QUuid::Id128);

    std::unique_ptr<QProcess> startCopy() {
        auto process = std::make_unique<QProcess>();
        process->start(QStringLiteral(SUPPORT_HELPER), {QStringLiteral("instance"), key});
        return process;
    }

    static QString readAnswer(QProcess &process) {
        if (!testkit::waitUntil([&] { return process.canReadLine(); }, 10000))
            return QString();
        return QString::fromLatin1(process.readLine()).trimmed();
    }

    static void finish(QProcess &process) {
        process.closeWriteChannel();
        if (!process.waitForFinished(10000))
            process.kill();
    }

private slots:
    void copiesGetIndicesInStartOrder() {
        auto first = startCopy();
        QCOMPARE(readAnswer(*first), QStringLiteral("0 A"));
        auto second = startCopy();
        QCOMPARE(readAnswer(*second), QStringLiteral("1 B"));

        // Indices are not given back: with B still running, the next copy is C.
        finish(*first);
        auto third = startCopy();
        QCOMPARE(readAnswer(*third), QStringLiteral("2 C"));
        finish(*second);
        finish(*third);

        // Once every copy has gone the segment goes too, and counting starts again.
        auto again = startCopy();
        QCOMPARE(readAnswer(*again), QStringLiteral("0 A"));
        finish(*again);
    }

    void killedCopiesDoNotKeepTheCount() {
        auto first = startCopy();
        QCOMPARE(readAnswer(*first), QStringLiteral("0 A"));
        auto second = startCopy();
        QCOMPARE(readAnswer(*second), QStringLiteral("1 B"));
        // Killed copies never detach from the segment.
        for (QProcess *process : {first.get(), second.get()}) {
            process->kill();
            QVERIFY(process->waitForFinished(10000));
        }
        auto next = startCopy();
        QCOMPARE(readAnswer(*next), QStringLiteral("0 A"));
        finish(*next);
    }

    void copiesStartingTogetherGetDistinctIndices() {
        constexpr int copies = 5;
        std::vector<std::unique_ptr<QProcess>> running;
        for (int i = 0; i < copies; ++i)
            running.push_back(startCopy());
        QStringList indices;
        for (auto &process : running)
            indices << readAnswer(*process).section(QLatin1Char(' '), 0, 0);
        for (auto &process : running)
            finish(*process);
        indices.sort();
        QCOMPARE(indices, QStringList({"0", "1", "2", "3", "4"}));
    }

    void crashLeavesReport_data() {
        QTest::addColumn<QString>("kind");
        QTest::addColumn<QString>("version");
        QTest::addColumn<QString>("signalText");
        testkit::row("segv", "segv", "1.2.3", "signal: 11 (SIGSEGV)");
        // The program hands over its version text as it shows it.
        testkit::row("abort, version text", "abort", "ver 1.2.3", "signal: 6 (SIGABRT)");
        testkit::row("fpe", "fpe", "1.2.3", "signal: 8 (SIGFPE)");
    }
    void crashLeavesReport() {
        QFETCH(QString, kind);
        QFETCH(QString, version);
        QFETCH(QString, signalText);
        QTemporaryDir home;
        QVERIFY(home.isValid());
        QProcess child;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("XDG_DATA_HOME"), home.path());
        // In the sanitizer build AddressSanitizer would take these signals itself and exit normally.
        env.insert(QStringLiteral("ASAN_OPTIONS"),
                   QStringLiteral("detect_leaks=0:handle_segv=0:handle_sigfpe=0:handle_sigbus=0:handle_sigill=0:"
                                  "handle_abort=0:allow_user_segv_handler=1"));
        child.setProcessEnvironment(env);
        child.start(QStringLiteral(SUPPORT_HELPER), {QStringLiteral("crash"), kind, version});
        QVERIFY(child.waitForFinished(20000));
        // The handler hands the signal back to its default action, so the process still dies of it.
        QCOMPARE(child.exitStatus(), QProcess::CrashExit);

        QDir folder(home.path() + QStringLiteral("/CrashRpt/UnsentCrashReports"));
        const QStringList reports = folder.entryList(QDir::Files);
        QCOMPARE(reports.size(), 1);
        const QString report = QString::fromUtf8(testkit::readFile(folder.filePath(reports.first())));
        QVERIFY2(report.contains(QLatin1String("crash report\nver 1.2.3\n")), qPrintable(report));
        QVERIFY2(report.contains(signalText), qPrintable(report));
        QVERIFY2(report.contains(QRegularExpression("time: \\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d UTC")),
                 qPrintable(report));
        // The backtrace is the crashing worker thread's, with names.
        QVERIFY2(report.contains(QLatin1String("tidewellCrashInWorker")), qPrintable(report));

        // Read afterwards (outside the handler), the frame gets its demangled name and source line, once.
        if (QStandardPaths::findExecutable(QStringLiteral("addr2line")).isEmpty())
            QSKIP("addr2line (binutils) is not installed");
        QCOMPARE(symbolizeCrashReports(folder.path(), QDeadlineTimer(kSymbolizeMs)), 1);
        QCOMPARE(symbolizeCrashReports(folder.path(), QDeadlineTimer(kSymbolizeMs)), 0);
        const QString readable = QString::fromUtf8(testkit::readFile(folder.filePath(reports.first())));
        QVERIFY2(readable.startsWith(report.left(report.indexOf(QLatin1String("memory map:")))), qPrintable(readable));
        const QRegularExpression frame(
            "#\\d+ tidewellCrashInWorker\\(char const\\*\\) at \\S*supporthelper\\.cpp:\\d+");
        QVERIFY2(readable.contains(frame), qPrintable(readable));
    }
};

QTEST_GUILESS_MAIN(TestProcesses)
#include "tst_processes.moc"
