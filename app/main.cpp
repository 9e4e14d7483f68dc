#include "appmessages.h"
#include "crashhandler.h"
#include "mainwindow.h"
#include "signalquitter.h"
#include "streamrules.h"

#include <QApplication>
#include <QDebug>
#include <QElapsedTimer>
#include <QPixmap>
#include <QScreen>
#include <QSplashScreen>
#include <QThread>

namespace {
const char kStyleSheet[] =
    "MainWindow {  background-color: #050F15;}QDialog {background-color: #050F15;border:4px solid lightgray;}"
    "QStatusBar {background-color:transparent; color:white;font-size:12px;}QStatusBar::item {border:none;}"
    "QLabel, QRadioButton {font-size:13px; color: white;}QCheckBox {font-size:13px;color: white;}"
    "QToolBar {border:none;}QGroupBoxZZ {color:white;}QGroupBox {background-color: #0E2B47;border:1px solid "
    "#34383A;}QFrame#outputFrame {border:1px solid #34383A;}QPushButton:checked{ background: red;  color:white;}"
    "QComboBox {background:#262626;color: #EA700C; selection-background-color:#262626; selection-color: #EA700C; "
    "} QSpinBox {background:#262626;color:#EA700C; border:none; selection-background-color:#262626; "
    "selection-color: #EA700C; }QLineEdit {font-size:14px; background: black; border:none; color: #EA700C;}"
    "Player {background-color: #0E2B47;border:4px solid lightgray;}QMenuBar {font-size:12px;background-color: "
    "#0E2B47; color: rgb(255,255,255);}QMenuBar::item::selected {background-color: rgb(49,49,49); color: "
    "rgb(255,255,255);}QMenu {background-color: #0E2B47; color: rgb(255,255,255);}"
    "QCheckBox::indicator{background:#262626;color:#FFFFFF; }QCheckBox::indicator:checked{background:#00FF00;"
    "color:#FFFFFF;}";
static_assert(sizeof(kStyleSheet) - 1 == 1213, "the application style sheet is one fixed literal");

// After a stop by signal the workers get this long to end before the process leaves.
constexpr int kWorkerExitWaitMs = 5000;
} // namespace

int main(int argc, char *argv[]) {
    qputenv("QT_AUTO_SCREEN_SCALE_FACTOR", "1");
    qputenv("QT_ENABLE_HIGHDPI_SCALING", "1");
    qputenv("QT_SCALE_FACTOR_ROUNDING_POLICY", "RoundPreferFloor");
    QCoreApplication::setAttribute(Qt::AA_EnableHighDpiScaling, true);
    QCoreApplication::setAttribute(Qt::AA_UseHighDpiPixmaps, true);

    qDebug() << MainWindow::kVersion;

    QApplication app(argc, argv);
    // The crash handler writes its reports under the application's data folders, so it needs the
    // application object.
    installCrashHandler(QStringLiteral("Tidewell"), QLatin1String(MainWindow::kVersion));

    // Nobody can answer a message box without a screen; the boxes then only log.
    if (AppMessages::headlessPlatform())
        AppMessages::setInteractive(false);

    QScreen *screen = QGuiApplication::primaryScreen();
    if (screen) {
        qDebug() << "Device pixel ratio:" << screen->devicePixelRatio()
                 << "  Logical DPI:" << screen->logicalDotsPerInch()
                 << "  Physical DPI:" << screen->physicalDotsPerInch() << "main" << __LINE__;
        QFont font = QApplication::font();
        font.setPointSizeF(font.pointSizeF() * screen->devicePixelRatio());
        QApplication::setFont(font);
    }

    SignalQuitter quitter;
    quitter.install();

    QPixmap pixmap(QStringLiteral(":/LOADING"));
    QSplashScreen splash(pixmap);
    splash.show();
    QElapsedTimer loading;
    loading.start();
    qDebug() << "---show splashscreen---"
             << "main" << __LINE__;

    app.setStyleSheet(QLatin1String(kStyleSheet));

    MainWindow window;
    QObject::connect(&quitter, &SignalQuitter::stopRequested, &window, [&window](int signalNumber) {
        qDebug() << "stop requested by signal" << signalNumber;
        window.stopWithoutSaving();
        QCoreApplication::quit();
    });

    const qint64 elapsedMs = loading.nsecsElapsed() / 1000000;
    qDebug() << "full load: " << elapsedMs << " ms | "
             << "main" << __LINE__;
    const int waitMs = streamrules::splashWaitMs(elapsedMs);
    if (waitMs > 0) {
        qDebug() << "need wait " << waitMs << " ms";
        QThread::msleep(waitMs);
    }
    splash.finish(&window);

    // A signal may be read by event processing before the window is connected or before the event loop runs,
    // where QCoreApplication::quit() has no loop to end: such a stop starts nothing and skips the loop.
    if (quitter.receivedSignal() == 0 && QCoreApplication::arguments().size() > 1)
        window.autoStart();
    int code = 0;
    if (quitter.receivedSignal() != 0) {
        qDebug() << "stop requested by signal" << quitter.receivedSignal() << "before the event loop";
        window.stopWithoutSaving();
    } else {
        window.show();
        code = app.exec();
    }
    if (!window.waitForWorkers(kWorkerExitWaitMs))
        qWarning() << "a worker thread did not end in time";
    return code;
}
