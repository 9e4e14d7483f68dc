#include "privatexserver.h"

#include "testkit.h"

#include <QElapsedTimer>

PrivateXServer::~PrivateXServer() {
    stop();
}

void PrivateXServer::stop() {
    if (server.state() == QProcess::NotRunning)
        return;
    server.terminate();
    if (!server.waitForFinished(5000)) {
        server.kill();
        server.waitForFinished(5000);
    }
}

bool PrivateXServer::start(const QVector<QSize> &screens, QString *why) {
    if (!testkit::haveProgram(QStringLiteral("Xvfb"))) {
        *why = QStringLiteral("Xvfb is not installed");
        return false;
    }
    // -displayfd: the server takes the first free display number and writes it to standard output once it
    // accepts connections, so that parallel tests never race for a number.
    QStringList arguments{"-displayfd", "1", "-noreset", "-nolisten", "tcp"};
    for (int i = 0; i < screens.size(); ++i)
        arguments << QStringLiteral("-screen") << QString::number(i)
                  << QStringLiteral("%1x%2x24").arg(screens.at(i).width()).arg(screens.at(i).height());
    server.setProcessChannelMode(QProcess::SeparateChannels);
    server.start(QStringLiteral("Xvfb"), arguments);
    if (!server.waitForStarted(5000)) {
        *why = server.errorString();
        return false;
    }
    // Runs before the test's application object exists (Qt connects to the display when it is made), so the
    // wait is on the process alone, not on an event loop.
    QByteArray number;
    QElapsedTimer waited;
    waited.start();
    while (!number.contains('\n') && server.state() != QProcess::NotRunning && waited.elapsed() < 10000) {
        server.waitForReadyRead(100);
        number += server.readAllStandardOutput();
    }
    if (!number.contains('\n')) {
        *why = QStringLiteral("Xvfb did not start: %1").arg(QString::fromLocal8Bit(server.readAllStandardError()));
        return false;
    }
    name = QStringLiteral(":") + QString::fromLatin1(number.trimmed());
    return true;
}
