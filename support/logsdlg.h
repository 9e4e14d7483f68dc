#pragma once

#include <QDialog>
#include <QMutex>
#include <QStringList>

#include "linefilewriter.h"

#include <atomic>

namespace Ui {
class LogsDlg;
}

// The operator's log window. Any thread may append; the text view itself is only touched on the GUI thread.
// A stream left running for days must not grow it without end: a message repeated at once is counted instead
// of shown again, and the view keeps the newest kMaxLines lines. With a log file set, every line the window
// shows goes to that file too, with its time.
class LogsDlg : public QDialog {
    Q_OBJECT

public:
    static constexpr int kMaxLines = 20000;
    // A message repeated this many times in a row is reported ("last message repeated N times") while the
    // repeats go on; fewer are reported when another message comes.
    static constexpr int kRepeatReport = 1000;
    // The log file: rotated at this size, with this many older files kept (tidewell.log.1 ...).
    static constexpr qint64 kLogFileBytes = 4 * 1024 * 1024;
    static constexpr int kLogFilesKept = 3;

    LogsDlg();
    ~LogsDlg() override;

    // Every log window writes to this file too, from now on (nullptr: to none). The file must stay until it is
    // replaced here.
    static void setLogFile(LineFileWriter *file);
    // ‹XDG_STATE_HOME, else ~/.local/state›/Tidewell/tidewell.log
    static QString defaultLogFilePath();
    // Rotation by kLogFileBytes, kLogFilesKept older files, the folder made when missing, readable by the user only.
    static LineFileWriter::Options logFileOptions();

    // Appends one message (after an empty line). Safe from any thread; never waits for the GUI event loop.
    void addMessage(const QString &text);

    // Shows (and raises) the window; the first time, the system and screen reports go in below the
    // messages so far.
    void showInfo();

private slots:
    void on_pushButton_clicked();
    void flushPending();

private:
    // Queues text for the view and the file; called with mutex held.
    void enqueue(const QString &text);
    void reportRepeats();

    Ui::LogsDlg *ui;
    // Guards pending, lastMessage and repeats: messages taken in lock order and not yet in the view, and the
    // message a repeat is compared with.
    QMutex mutex;
    QStringList pending;
    QString lastMessage;
    bool haveLast = false;
    int repeats = 0;
    // Set while a queued flush is on its way to the GUI thread, so that a burst posts one event.
    std::atomic<bool> flushQueued{false};
    bool firstShow = true;
};
