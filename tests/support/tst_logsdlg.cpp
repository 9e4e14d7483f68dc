#include "linefilewriter.h"
#include "logsdlg.h"
#include "testkit.h"

#include <QPlainTextEdit>
#include <QPushButton>
#include <QtTest>

#include <memory>
#include <vector>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// The read end of a FIFO, opened without waiting for a writer.
struct FifoReader {
    int fd = -1;
    explicit FifoReader(const QString &path) : fd(::open(QFile::encodeName(path).constData(), O_RDONLY | O_NONBLOCK)) {}
    ~FifoReader() { close(); }
    void close() {
        if (fd >= 0)
            ::close(fd);
        fd = -1;
    }
    // What came, waiting (bounded) until it ends with the given text.
    QByteArray readUntil(const QByteArray &ending, int timeoutMs = 5000) {
        QByteArray data;
        testkit::waitUntil(
            [&] {
                char buffer[4096];
                for (ssize_t n; (n = ::read(fd, buffer, sizeof buffer)) > 0;)
                    data.append(buffer, int(n));
                return data.endsWith(ending);
            },
            timeoutMs);
        return data;
    }
    // Fills the pipe so that the next write finds no room; the reader then never reads.
    void stall(const QString &path) {
        const int writer = ::open(QFile::encodeName(path).constData(), O_WRONLY | O_NONBLOCK);
        const QByteArray filler(4096, 'x');
        while (writer >= 0 && ::write(writer, filler.constData(), size_t(filler.size())) > 0) {
        }
        ::close(writer);
    }
};

} // namespace

class TestLogsDlg : public QObject {
    Q_OBJECT

    static QStringList paragraphs(LogsDlg &dlg) {
        return dlg.findChild<QPlainTextEdit *>(QStringLiteral("plainTextEdit"))->toPlainText().split(QLatin1Char('\n'));
    }

private slots:
    void cleanup() { LogsDlg::setLogFile(nullptr); }

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

    // A source that keeps failing logs the same line many times a second for as long as it fails.
    void repeatsAreCounted() {
        LogsDlg dlg;
        dlg.addMessage(QStringLiteral("CONNECT: SUCCESS"));
        for (int i = 0; i < 1500; ++i)
            dlg.addMessage(QStringLiteral("GetFrame Failed"));
        dlg.addMessage(QStringLiteral("RESender STOP"));
        dlg.addMessage(QStringLiteral("RESender STOP"));
        dlg.addMessage(QStringLiteral("CONNECT: SUCCESS"));
        QStringList shown = paragraphs(dlg);
        shown.removeAll(QString());
        QCOMPARE(shown, QStringList({"CONNECT: SUCCESS", "GetFrame Failed", "last message repeated 1000 times",
                                     "last message repeated 499 times", "RESender STOP",
                                     "last message repeated 1 times", "CONNECT: SUCCESS"}));
    }

    void viewKeepsTheNewestLines() {
        LogsDlg dlg;
        auto *view = dlg.findChild<QPlainTextEdit *>(QStringLiteral("plainTextEdit"));
        const int messages = LogsDlg::kMaxLines; // two lines each
        for (int i = 0; i < messages; ++i)
            dlg.addMessage(QStringLiteral("message %1").arg(i));
        QCOMPARE(view->blockCount(), LogsDlg::kMaxLines);
        const QStringList lines = paragraphs(dlg);
        QCOMPARE(lines.last(), QStringLiteral("message %1").arg(messages - 1));
        QCOMPARE(lines.value(1), QStringLiteral("message %1").arg(messages / 2));
    }

    // Everything the window shows goes to the log file in the state folder too, with its time.
    void logFileHoldsWhatTheWindowShows() {
        QTemporaryDir state;
        QVERIFY(state.isValid());
        qputenv("XDG_STATE_HOME", state.path().toUtf8());
        const QString path = LogsDlg::defaultLogFilePath();
        QCOMPARE(path, state.filePath(QStringLiteral("Tidewell/tidewell.log")));
        {
            LineFileWriter file(path, LogsDlg::logFileOptions());
            LogsDlg::setLogFile(&file);
            LogsDlg dlg;
            std::unique_ptr<QThread> worker(QThread::create(
                [&dlg] { dlg.addMessage(QStringLiteral("Connect to RIST: rist://h:5000?secret=***")); }));
            worker->start();
            QVERIFY(worker->wait(5000));
            dlg.addMessage(QStringLiteral("two\nlines"));
            dlg.addMessage(QStringLiteral("two\nlines"));
            dlg.addMessage(QString());
            dlg.showInfo();
            LogsDlg::setLogFile(nullptr);
        }
        QCOMPARE(QFileInfo(path).permissions() & (QFile::ReadGroup | QFile::ReadOther), QFile::Permissions());
        const QStringList lines = QString::fromUtf8(testkit::readFile(path)).split(QLatin1Char('\n'));
        const QString stamp =
            QStringLiteral("^\\d{4}-\\d\\d-\\d\\dT\\d\\d:\\d\\d:\\d\\d\\.\\d{3}([+-]\\d\\d:\\d\\d|Z) ");
        const QStringList expected = QStringList{"Connect to RIST: rist://h:5000?secret=***", "two", "    lines"} +
                                     QStringList{"last message repeated 1 times", "", "--- System Info ---"};
        for (int i = 0; i < expected.size(); ++i) {
            const QString &line = lines.value(i);
            const bool continued = expected.at(i).startsWith(QLatin1Char(' '));
            const QString text = continued ? line : line.section(QLatin1Char(' '), 1);
            QVERIFY2(continued || QRegularExpression(stamp).match(line).hasMatch(), qPrintable(line));
            QCOMPARE(text, expected.at(i));
        }
        // The report's further lines, indented under its entries.
        QVERIFY(lines.filter(QRegularExpression(QStringLiteral("^    \\S"))).size() > 3);
    }

    // The file is rotated by size; the newest lines are in the file itself, older ones in .1, .2, ...
    void logFileRotates() {
        QTemporaryDir dir;
        QVERIFY(dir.isValid());
        const QString path = dir.filePath(QStringLiteral("state/Tidewell/tidewell.log"));
        LineFileWriter::Options options;
        options.rotateBytes = 1000;
        options.keptFiles = 2;
        options.createFolder = true;
        {
            LineFileWriter writer(path, options);
            for (int i = 0; i < 100; ++i)
                writer.append(QByteArray::number(i).rightJustified(99, '-'));
        }
        QVERIFY(!QFile::exists(path + QStringLiteral(".3")));
        QList<int> numbers;
        for (const QString &file : {path + QStringLiteral(".2"), path + QStringLiteral(".1"), path}) {
            const QByteArray text = testkit::readFile(file);
            QVERIFY2(text.size() > 0 && text.size() <= options.rotateBytes, qPrintable(file));
            for (const QByteArray &line : text.split('\n'))
                if (!line.isEmpty())
                    numbers.append(line.mid(line.lastIndexOf('-') + 1).toInt());
        }
        // Ten lines a file, the newest thirty kept in order.
        QCOMPARE(numbers.size(), 30);
        for (int i = 0; i < numbers.size(); ++i)
            QCOMPARE(numbers.at(i), 70 + i);
    }

    // A FIFO as the file: nobody reads yet, a reader comes and goes, a reader that stops reading. The caller
    // never waits, the lines that arrive are whole, and the writer ends within its bound.
    void fifoNeverHoldsTheCaller() {
        QTemporaryDir dir;
        QVERIFY(dir.isValid());
        const QString path = dir.filePath(QStringLiteral("stats.fifo"));
        QCOMPARE(mkfifo(QFile::encodeName(path).constData(), 0600), 0);
        QString error;
        QVERIFY2(LineFileWriter::probe(path, &error), qPrintable(error));
        QVERIFY(!LineFileWriter::probe(dir.filePath(QStringLiteral("missing/stats")), &error));
        QVERIFY(!error.isEmpty());

        LineFileWriter::Options options;
        options.queueLines = 5;
        auto writer = std::make_unique<LineFileWriter>(path, options);
        QElapsedTimer appending;
        appending.start();
        for (int i = 0; i < 20; ++i)
            writer->append("early " + QByteArray::number(i));
        QVERIFY(appending.elapsed() < 100);
        QTest::qWait(2 * LineFileWriter::kReopenMs);

        {
            // The newest five waited for the reader.
            FifoReader reader(path);
            QCOMPARE(reader.readUntil("early 19\n"), QByteArray("early 15\nearly 16\nearly 17\nearly 18\nearly 19\n"));
            QCOMPARE(writer->droppedLines(), uint64_t(15));
            writer->append("seen");
            QCOMPARE(reader.readUntil("seen\n"), QByteArray("seen\n"));
        }
        // The reader went away: a write now fails (no SIGPIPE ends the process) and waits for the next one.
        writer->append("after the reader");
        QTest::qWait(300);
        FifoReader next(path);
        writer->append("next");
        QCOMPARE(next.readUntil("next\n"), QByteArray("after the reader\nnext\n"));

        next.stall(path);
        appending.restart();
        for (int i = 0; i < 100; ++i)
            writer->append(QByteArray(200, 'r'));
        QVERIFY(appending.elapsed() < 100);
        QElapsedTimer ending;
        ending.start();
        writer.reset();
        QVERIFY2(ending.elapsed() < LineFileWriter::kFinishWaitMs + 1000,
                 qPrintable(QString::number(ending.elapsed())));
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
