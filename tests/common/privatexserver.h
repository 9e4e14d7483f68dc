#pragma once

#include <QProcess>
#include <QSize>
#include <QString>
#include <QVector>

// An X server of the test's own (Xvfb) on a display number it picks itself, with the screens asked for,
// each an X screen of its own (display :N.0, :N.1 ...), which Qt reports as screens of their own. It keeps what
// was drawn on its root windows when the last client leaves (-noreset).
class PrivateXServer {
public:
    PrivateXServer() = default;
    ~PrivateXServer();
    PrivateXServer(const PrivateXServer &) = delete;
    PrivateXServer &operator=(const PrivateXServer &) = delete;

    // False with *why when Xvfb is missing or does not come up within a few seconds.
    bool start(const QVector<QSize> &screens, QString *why);
    // Ends the server, as a display that goes away.
    void stop();
    // ":N", empty before start().
    QString display() const { return name; }

private:
    QProcess server;
    QString name;
};
