#include "appmessages.h"

#include <QDebug>
#include <QGuiApplication>
#include <QMessageBox>

namespace {
// GUI thread only, like the boxes themselves.
bool interactiveBoxes = true;
QStringList shown;

void record(const QString &title, const QString &text) {
    shown.append(title + QStringLiteral(": ") + text);
    qDebug().noquote() << "message box" << title << ":" << text;
}
} // namespace

void AppMessages::warning(QWidget *parent, const QString &title, const QString &text) {
    record(title, text);
    if (interactiveBoxes)
        QMessageBox::warning(parent, title, text, QMessageBox::Ok);
}

void AppMessages::information(QWidget *parent, const QString &title, const QString &text) {
    record(title, text);
    if (interactiveBoxes)
        QMessageBox::information(parent, title, text, QMessageBox::Ok);
}

void AppMessages::setInteractive(bool interactive) {
    interactiveBoxes = interactive;
}

bool AppMessages::interactive() {
    return interactiveBoxes;
}

bool AppMessages::headlessPlatform() {
    const QString platform = QGuiApplication::platformName();
    return platform == QLatin1String("offscreen") || platform == QLatin1String("minimal");
}

QStringList AppMessages::history() {
    return shown;
}

void AppMessages::clearHistory() {
    shown.clear();
}
