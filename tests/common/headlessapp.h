#pragma once

#include <QMap>
#include <QProcess>
#include <QString>
#include <QStringList>
#include <QVariantMap>

class QTemporaryDir;

// The program (the tidewell binary) headless from a configuration file, started by testkit::startHeadless in a home
// of the test's own, its output in app.log there. The destructor ends it, so that a failed QVERIFY leaves no
// program behind.
class HeadlessApp {
public:
    HeadlessApp(const QString &program, const QTemporaryDir &home, const QString &config,
                const QStringList &options = {}, const QMap<QString, QString> &environment = {});
    ~HeadlessApp();
    HeadlessApp(const HeadlessApp &) = delete;
    HeadlessApp &operator=(const HeadlessApp &) = delete;

    // Writes stream.ini in the home (testkit::writeStreamConfig with these values) and returns its path.
    static QString config(const QTemporaryDir &home, const QVariantMap &values);

    bool started();
    // Ends it as a service manager does (SIGTERM) and waits up to timeoutMs, then kills it; true when it ended by
    // itself.
    bool terminate(int timeoutMs = 15000);
    // Waits up to timeoutMs for it to end on its own.
    bool waitForExit(int timeoutMs);
    // Its exit code, -1 when it crashed or was killed.
    int exitCode() const;
    bool running() const { return app.state() != QProcess::NotRunning; }
    QString log() const;
    // Runs the event loop until the log holds text, at most timeoutMs.
    bool waitForLog(const QString &text, int timeoutMs);

private:
    const QTemporaryDir &home;
    QProcess app;
};
