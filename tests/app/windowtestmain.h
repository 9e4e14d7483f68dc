#pragma once

#include "appmessages.h"

#include <QApplication>
#include <QComboBox>
#include <QSettings>
#include <QTemporaryDir>
#include <QtTest>

// The main window reads and writes the user's settings, documents and data folders; every window test runs in
// a home of its own so that nothing of the real user's is read or written.
namespace windowtest {

// Before the application object exists: Qt reads these once.
inline void isolateHome(const QTemporaryDir &home) {
    qputenv("HOME", home.path().toUtf8());
    qputenv("XDG_CONFIG_HOME", home.filePath(QStringLiteral("config")).toUtf8());
    qputenv("XDG_STATE_HOME", home.filePath(QStringLiteral("state")).toUtf8());
    qputenv("XDG_DATA_HOME", home.filePath(QStringLiteral("data")).toUtf8());
}

// After it: the settings store in the home's config folder, and refusals recorded instead of shown in a box.
inline void configureApplication(const QTemporaryDir &home) {
    QSettings::setPath(QSettings::IniFormat, QSettings::UserScope, home.filePath(QStringLiteral("config")));
    QSettings::setDefaultFormat(QSettings::IniFormat);
    AppMessages::setInteractive(false);
}

// Picks the built-in Test Pattern and the OpenH264 encoder, the one source and encoder every machine with the
// project's packages has; false (the caller skips) when either is missing.
inline bool chooseTestPatternH264(QWidget &window) {
    auto *sources = window.findChild<QComboBox *>(QStringLiteral("cmbVideoSources"));
    auto *encoders = window.findChild<QComboBox *>(QStringLiteral("cmbEncs"));
    const int pattern = sources ? sources->findText(QStringLiteral("Test Pattern")) : -1;
    const int h264 = encoders ? encoders->findData(QStringLiteral("libopenh264")) : -1;
    if (pattern < 0 || h264 < 0)
        return false;
    sources->setCurrentIndex(pattern);
    encoders->setCurrentIndex(h264);
    return true;
}

// The whole main() of a window test; home, when given, is pointed at the test's home for its lifetime, and
// beforeApplication runs after the home is set and before the application object exists.
template <typename TestCase>
int run(int argc, char *argv[], QTemporaryDir **home = nullptr, void (*beforeApplication)() = nullptr) {
    QTemporaryDir dir;
    if (home)
        *home = &dir;
    isolateHome(dir);
    if (beforeApplication)
        beforeApplication();
    QApplication app(argc, argv);
    configureApplication(dir);
    TestCase test;
    return QTest::qExec(&test, argc, argv);
}

} // namespace windowtest
