#include "logsdlg.h"
#include "testkit.h"

#include <QPlainTextEdit>
#include <QPushButton>
#include <QRegularExpression>
#include <QThread>
#include <QtTest>

#include <memory>
#include <vector>

class TestLogsDlg : public QObject {
    Q_OBJECT

    static QStringList paragraphs(LogsDlg &dlg) {
        return dlg.findChild<QPlainTextEdit *>(QStringLiteral("plainTextEdit"))->toPlainText().split(QLatin1Char('\n'));
    }

private slots:
    void messagesStandAfterAnEmptyLine() {
        LogsDlg dlg;
        dlg.addMessage(QStringLiteral("first"));
        dlg.addMessage(QString());
        dlg.addMessage(QStringLiteral("third"));
        QCOMPARE(paragraphs(dlg), QStringList({"", "first", "", "", "", "third"}));
        QVERIFY(!dlg.isVisible());
        dlg.showInfo();
        QVERIFY(dlg.isVisible());
        const QStringList shown = paragraphs(dlg);
        QCOMPARE(shown.mid(0, 7), QStringList({"", "first", "", "", "", "third", "--- System Info ---"}));
        QCOMPARE(shown.value(7), QStringLiteral("Codecs and containers:"));
    }

    void reportAddedAtFirstShowOnly() {
        LogsDlg dlg;
        // Queued from another thread before the first show: it stands above the report.
        std::unique_ptr<QThread> writer(QThread::create([&dlg] { dlg.addMessage(QStringLiteral("from a worker")); }));
        writer->start();
        QVERIFY(writer->wait(5000));
        dlg.showInfo();
        dlg.hide();
        dlg.addMessage(QStringLiteral("after"));
        dlg.showInfo();
        const QStringList lines = paragraphs(dlg);
        QCOMPARE(lines.mid(0, 3), QStringList({"", "from a worker", "--- System Info ---"}));
        QCOMPARE(lines.count(QStringLiteral("--- System Info ---")), 1);
        QCOMPARE(lines.filter(QRegularExpression(QStringLiteral("^Number of screens: \\d+$"))).size(), 1);
        QCOMPARE(lines.mid(lines.size() - 2), QStringList({"", "after"}));
    }

    void concurrentWritersKeepEachThreadsOrder() {
        constexpr int threadCount = 4;
        constexpr int perThread = 1000;
        // A long payload makes a torn or merged message visible as a line that does not match the pattern.
        const QString payload(200, QLatin1Char('x'));
        LogsDlg dlg;
        std::vector<std::unique_ptr<QThread>> threads;
        for (int t = 0; t < threadCount; ++t) {
            threads.emplace_back(QThread::create([&dlg, t, payload] {
                for (int i = 0; i < perThread; ++i)
                    dlg.addMessage(QStringLiteral("w%1 #%2 %3").arg(t).arg(i).arg(payload));
            }));
        }
        for (auto &thread : threads)
            thread->start();
        // The GUI thread writes too, interleaved with the workers.
        for (int i = 0; i < 100; ++i)
            dlg.addMessage(QStringLiteral("gui #%1").arg(i));
        for (auto &thread : threads)
            QVERIFY(thread->wait(30000));

        const int expected = threadCount * perThread + 100;
        QVERIFY(testkit::waitUntil([&] { return paragraphs(dlg).size() >= 2 * expected; }, 10000));

        const QStringList lines = paragraphs(dlg);
        QCOMPARE(lines.size(), 2 * expected);
        const QRegularExpression pattern(QStringLiteral("^w(\\d) #(\\d+) x{200}$"));
        std::vector<int> next(threadCount, 0);
        int nextGui = 0;
        for (int i = 0; i < lines.size(); i += 2) {
            QVERIFY2(lines.at(i).isEmpty(), qPrintable(lines.at(i)));
            const QString &line = lines.at(i + 1);
            if (line.startsWith(QLatin1String("gui"))) {
                QCOMPARE(line, QStringLiteral("gui #%1").arg(nextGui++));
                continue;
            }
            const QRegularExpressionMatch match = pattern.match(line);
            QVERIFY2(match.hasMatch(), qPrintable(line.left(60)));
            const int t = match.captured(1).toInt();
            QVERIFY(t < threadCount);
            QCOMPARE(match.captured(2).toInt(), next[t]++);
        }
        for (int t = 0; t < threadCount; ++t)
            QCOMPARE(next[t], perThread);
        QCOMPARE(nextGui, 100);
    }

    void closeButtonOnlyHides() {
        LogsDlg dlg;
        dlg.showInfo();
        dlg.addMessage(QStringLiteral("kept"));
        QTest::mouseClick(dlg.findChild<QPushButton *>(QStringLiteral("pushButton")), Qt::LeftButton);
        QVERIFY(!dlg.isVisible());
        dlg.showInfo();
        const QStringList lines = paragraphs(dlg);
        QCOMPARE(lines.mid(lines.size() - 2), QStringList({"", "kept"}));
        QCOMPARE(lines.count(QStringLiteral("--- System Info ---")), 1);
    }
};

QTEST_MAIN(TestLogsDlg)
#include "tst_logsdlg.moc"
