#include "headlessapp.h"

#include "testkit.h"

#include <QTemporaryDir>

#include <csignal>

HeadlessApp::HeadlessApp(const QString &program, const QTemporaryDir &home, const QString &config,
                         const QStringList &options, const QMap<QString, QString> &environment)
    : home(home) {
    testkit::startHeadless(app, program, home, config, options, environment);
}

HeadlessApp::~HeadlessApp() {
    terminate(5000);
}

QString HeadlessApp::config(const QTemporaryDir &home, const QVariantMap &values) {
    const QString path = home.filePath(QStringLiteral("stream.ini"));
    testkit::writeStreamConfig(path, values);
    return path;
}

bool HeadlessApp::started() {
    return app.waitForStarted(5000);
}

bool HeadlessApp::terminate(int timeoutMs) {
    if (!running())
        return true;
    ::kill(pid_t(app.processId()), SIGTERM);
    if (app.waitForFinished(timeoutMs))
        return true;
    app.kill();
    app.waitForFinished(5000);
    return false;
}

bool HeadlessApp::waitForExit(int timeoutMs) {
    return !running() || app.waitForFinished(timeoutMs);
}

int HeadlessApp::exitCode() const {
    return !running() && app.exitStatus() == QProcess::NormalExit ? app.exitCode() : -1;
}

QString HeadlessApp::log() const {
    return QString::fromUtf8(testkit::readFile(home.filePath(QStringLiteral("app.log"))));
}

bool HeadlessApp::waitForLog(const QString &text, int timeoutMs) {
    return testkit::waitUntil([&] { return log().contains(text); }, timeoutMs, 10);
}
