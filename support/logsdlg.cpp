#include "logsdlg.h"
#include "ui_logsdlg.h"

#include "systeminfo.h"

#include <QMetaObject>
#include <QMutexLocker>
#include <QThread>

LogsDlg::LogsDlg() : QDialog(nullptr), ui(new Ui::LogsDlg) {
    ui->setupUi(this);
    setWindowFlags(Qt::WindowTitleHint | Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint);
}

LogsDlg::~LogsDlg() {
    delete ui;
}

void LogsDlg::addMessage(const QString &text) {
    {
        // Messages enter the queue in the order their callers take the lock; the view drains it in that order.
        QMutexLocker locker(&mutex);
        pending.append(text);
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
        ui->plainTextEdit->appendPlainText(QStringLiteral("--- System Info ---"));
        ui->plainTextEdit->appendPlainText(systemInfoText());
        ui->plainTextEdit->appendPlainText(screensInfoText());
    }
    show();
    raise();
    activateWindow();
}

void LogsDlg::on_pushButton_clicked() {
    hide();
}
