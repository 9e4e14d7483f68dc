#pragma once

#include "appmessages.h"
#include "logsdlg.h"

#include <QAbstractButton>
#include <QApplication>
#include <QComboBox>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QSpinBox>
#include <QtTest>

// The main window reads and writes the user's settings, documents and data folders; every window test runs in
// a home of its own so that nothing of the real user's is read or written.
namespace windowtest {

// The test's home while run() runs.
inline QTemporaryDir *&homeDir() {
    static QTemporaryDir *home = nullptr;
    return home;
}
inline QString homePath(const QString &name) {
    return homeDir()->filePath(name);
}

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

// A control of the window by its object name; a missing one ends the test run, as the form it tests is gone.
template <typename T = QWidget> T *control(const QWidget &window, const char *name) {
    T *widget = window.findChild<T *>(QLatin1String(name));
    if (!widget)
        qFatal("no control %s", name);
    return widget;
}

// Sets controls as an operator would, in the order given, each "name=value": a line edit's text, a spin box's
// value, a check box's or radio button's state (1 or 0), a combo box's entry by its text. False when an entry is
// not on offer.
inline bool fill(const QWidget &window, const QStringList &settings) {
    for (const QString &setting : settings) {
        QWidget *widget = control(window, qPrintable(setting.section('=', 0, 0)));
        const QString value = setting.section('=', 1);
        if (auto *edit = qobject_cast<QLineEdit *>(widget)) {
            edit->setText(value);
        } else if (auto *spin = qobject_cast<QSpinBox *>(widget)) {
            spin->setValue(value.toInt());
        } else if (auto *button = qobject_cast<QAbstractButton *>(widget)) {
            button->setChecked(value == QLatin1String("1"));
        } else if (auto *combo = qobject_cast<QComboBox *>(widget)) {
            const int index = combo->findText(value);
            if (index < 0)
                return false;
            combo->setCurrentIndex(index);
        } else {
            qFatal("cannot fill %s", qPrintable(setting));
        }
    }
    return true;
}

// What the named controls show, as fill() takes it ("name=value"; a value after the name is left out).
inline QStringList shown(const QWidget &window, const QStringList &names) {
    QStringList values;
    for (const QString &entry : names) {
        const QString name = entry.section('=', 0, 0);
        QWidget *widget = control(window, qPrintable(name));
        QString value;
        if (auto *edit = qobject_cast<QLineEdit *>(widget))
            value = edit->text();
        else if (auto *spin = qobject_cast<QSpinBox *>(widget))
            value = QString::number(spin->value());
        else if (auto *button = qobject_cast<QAbstractButton *>(widget))
            value = QString::number(int(button->isChecked()));
        else if (auto *combo = qobject_cast<QComboBox *>(widget))
            value = combo->currentText();
        values << name + '=' + value;
    }
    return values;
}

// Writes an INI file afresh with these keys and returns its path.
inline QString writeIni(const QString &path, const QVariantMap &values) {
    QFile::remove(path);
    QSettings ini(path, QSettings::IniFormat);
    for (auto it = values.cbegin(); it != values.cend(); ++it)
        ini.setValue(it.key(), it.value());
    return path;
}

// What every log window shows (each main window makes its own, and they live as long as the process).
inline QString logText() {
    QString text;
    for (QWidget *top : QApplication::topLevelWidgets()) {
        if (qobject_cast<LogsDlg *>(top))
            text += top->findChild<QPlainTextEdit *>(QStringLiteral("plainTextEdit"))->toPlainText();
    }
    return text;
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

// The whole main() of a window test: homeDir() is the test's home for its lifetime, and beforeApplication runs
// after the home is set and before the application object exists.
template <typename TestCase> int run(int argc, char *argv[], void (*beforeApplication)() = nullptr) {
    QTemporaryDir dir;
    homeDir() = &dir;
    isolateHome(dir);
    if (beforeApplication)
        beforeApplication();
    QApplication app(argc, argv);
    configureApplication(dir);
    TestCase test;
    return QTest::qExec(&test, argc, argv);
}

} // namespace windowtest
