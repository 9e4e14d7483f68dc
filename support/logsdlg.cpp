#include "logsdlg.h"
#include "ui_logsdlg.h"

#include "systeminfo.h"

#include <QDateTime>
#include <QDir>
#include <QMetaObject>
#include <QMutexLocker>
#include <QThread>

namespace {

// The log file of every window, replaced by start-up and at its end while other threads may be logging.
QMutex fileLock;
LineFileWriter *logFile = nullptr;

// One entry of the log file: the local time with its offset from UTC, then the message; the lines after
// the first of a message are indented, so that each entry stands apart.
QByteArray fileEntry(const QString &text) {
    const QDateTime now = QDateTime::currentDateTime();
    QString entry = now.toOffsetFromUtc(now.offsetFromUtc()).toString(Qt::ISODateWithMs) + QLatin1Char(' ') + text;
    entry.replace(QLatin1Char('\n'), QStringLiteral("\n    "));
    return entry.toUtf8();
}

void appendToFile(const QString &text) {
    QMutexLocker locker(&fileLock);
    if (logFile)
        logFile->append(fileEntry(text));
}

} // namespace

LogsDlg::LogsDlg() : QDialog(nullptr), ui(new Ui::LogsDlg) {
    ui->setupUi(this);
    setWindowFlags(Qt::WindowTitleHint | Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint);
    ui->plainTextEdit->setMaximumBlockCount(kMaxLines);
}

LogsDlg::~LogsDlg() {
    delete ui;
}

void LogsDlg::setLogFile(LineFileWriter *file) {
    QMutexLocker locker(&fileLock);
    logFile = file;
}

LineFileWriter::Options LogsDlg::logFileOptions() {
    LineFileWriter::Options options;
    options.rotateBytes = kLogFileBytes;
    options.keptFiles = kLogFilesKept;
    options.createFolder = true;
    // Host names, stream ids and device names are the operator's own business.
    options.mode = 0600;
    return options;
}

QString LogsDlg::defaultLogFilePath() {
    // Qt 5 has no state location; the XDG base directory rule: an absolute XDG_STATE_HOME, else ~/.local/state.
    QString state = qEnvironmentVariable("XDG_STATE_HOME");
    if (state.isEmpty() || QDir::isRelativePath(state))
        state = QDir::homePath() + QStringLiteral("/.local/state");
    return state + QStringLiteral("/Tidewell/tidewell.log");
}

void LogsDlg::reportRepeats() {
    if (repeats > 0)
        enqueue(QStringLiteral("last message repeated %1 times").arg(repeats));
    repeats = 0;
}

void LogsDlg::enqueue(const QString &text) {
    // What the view does not keep is not queued for it either: a GUI thread held up for a long time would
    // otherwise let the queue grow.
    constexpr int kMaxPending = kMaxLines / 2;
    if (pending.size() >= kMaxPending)
        pending.removeFirst();
    pending.append(text);
    appendToFile(text);
}

void LogsDlg::addMessage(const QString &text) {
    {
        // Messages enter the queue in the order their callers take the lock; the view drains it in that order.
        QMutexLocker locker(&mutex);
        if (haveLast && text == lastMessage) {
            if (++repeats < kRepeatReport)
                return;
            reportRepeats();
        } else {
            reportRepeats();
            enqueue(text);
            lastMessage = text;
            haveLast = true;
        }
    }
    if (QThread::currentThread() == thread()) {
        flushPending();
        return;
    }
    if (!flushQueued.exchange(true))
        QMetaObject::invokeMethod(this, "flushPending", Qt::QueuedConnection);
}

void LogsDlg::flushPending() {
    flushQueued.store(false);
    QStringList batch;
    {
        QMutexLocker locker(&mutex);
        batch.swap(pending);
    }
    if (batch.isEmpty())
        return;
    // Each message is a new paragraph made of a line feed and the text, so one append of the joined batch
    // gives the same document as one append per message, much faster for bursts from the relay threads.
    QString joined;
    for (int i = 0; i < batch.size(); ++i) {
        if (i > 0)
            joined += QLatin1Char('\n');
        joined += QLatin1Char('\n');
        joined += batch.at(i);
    }
    ui->plainTextEdit->appendPlainText(joined);
}

void LogsDlg::showInfo() {
    if (firstShow) {
        firstShow = false;
        // Messages still queued by other threads were added before the report and stand above it.
        flushPending();
        const QStringList report = {QStringLiteral("--- System Info ---"), systemInfoText(), screensInfoText()};
        QMutexLocker locker(&mutex);
        for (const QString &part : report) {
            ui->plainTextEdit->appendPlainText(part);
            appendToFile(part);
        }
    }
    show();
    raise();
    activateWindow();
}

void LogsDlg::on_pushButton_clicked() {
    hide();
}
