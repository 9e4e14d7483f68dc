#pragma once

#include <QDialog>
#include <QMutex>
#include <QStringList>

#include <atomic>

namespace Ui {
class LogsDlg;
}

// The operator's log window. Any thread may append; the text view itself is only touched on the GUI thread.
class LogsDlg : public QDialog {
    Q_OBJECT

public:
    LogsDlg();
    ~LogsDlg() override;

    // Appends one message (after an empty line). Safe from any thread; never waits for the GUI event loop.
    void addMessage(const QString &text);

    // Shows (and raises) the window; the first time, the system and screen reports go in below the
    // messages so far.
    void showInfo();

private slots:
    void on_pushButton_clicked();
    void flushPending();

private:
    Ui::LogsDlg *ui;
    // Guards pending: messages taken in lock order and not yet in the view.
    QMutex mutex;
    QStringList pending;
    // Set while a queued flush is on its way to the GUI thread, so that a burst posts one event.
    std::atomic<bool> flushQueued{false};
    bool firstShow = true;
};
