#include "allocatortuning.h"
#include "appmessages.h"
#include "appstyle.h"
#include "crashhandler.h"
#include "linktelemetry.h"
#include "logsdlg.h"
#include "mainwindow.h"
#include "servicenotifier.h"
#include "signalquitter.h"
#include "streamhealth.h"
#include "streamrules.h"
#include "translations.h"

#include <QApplication>
#include <QCommandLineParser>
#include <QDebug>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QPixmap>
#include <QScreen>
#include <QSplashScreen>
#include <QThread>
#include <QTimer>

#include <cstdio>
#include <memory>

namespace {
// After a stop by signal the workers get this long to end before the process leaves.
constexpr int kWorkerExitWaitMs = 5000;

// The shell convention for a command line the program does not understand.
constexpr int kUsageExitCode = 2;
// A headless program whose stream has used up its reconnects ends with this, so that a service manager restarts
// it (the unit's Restart=on-failure) instead of leaving it idle for good.
constexpr int kGaveUpExitCode = 1;

// Options that QGuiApplication, QApplication and the X11 platform take out of the argument list themselves.
// The parser knows them so that it can judge a command line before any application object exists: --help,
// --version and a refused command line are answered without one that would need a screen.
const struct {
    const char *name;
    bool takesValue;
} kToolkitOptions[] = {
    {"platformpluginpath", true},
    {"platformtheme", true},
    {"plugin", true},
    {"qwindowgeometry", true},
    {"qwindowtitle", true},
    {"qwindowicon", true},
    {"geometry", true},
    {"title", true},
    {"icon", true},
    {"display", true},
    {"session", true},
    {"style", true},
    {"stylesheet", true},
    {"qmljsdebugger", true},
    {"reverse", false},
    {"widgetcount", false},
    {"nograb", false},
    {"dograb", false},
    {"sync", false},
    {"name", true},
    {"visual", true},
    {"ncols", true},
    {"cmap", true},
    {"im", true},
    {"testability", false},
};

struct CommandLine {
    QCommandLineParser parser;
    QCommandLineOption help;
    QCommandLineOption version;
    QCommandLineOption stats;

    CommandLine()
        : help(parser.addHelpOption()), version(parser.addVersionOption()),
          stats(QStringLiteral("stats"),
                QCoreApplication::translate("main", "While streaming, append the link figures to this file once a "
                                                    "second, one JSON object a line."),
                QStringLiteral("file")) {
        // Qt's own options are single-dash words ("-platform offscreen"), not bundles of letters.
        parser.setSingleDashWordOptionMode(QCommandLineParser::ParseAsLongOptions);
        parser.setApplicationDescription(QCoreApplication::translate(
            "main", "Tidewell captures a video and an audio source, encodes them into an MPEG transport stream "
                    "and sends it to a server over SRT or RIST.\n\n"
                    "Given a configuration file (keys as Config > Save config writes them), it loads the file and "
                    "starts streaming at once; it then never saves the operator's stored settings. SIGINT and "
                    "SIGTERM stop the stream and end the program."));
        parser.addPositionalArgument(
            QStringLiteral("config"),
            QCoreApplication::translate(
                "main", "Configuration file to stream with: the first argument naming an existing file that ends in "
                        "\".ini\"."),
            QStringLiteral("[config.ini]"));
        // Shown because it is how Tidewell streams without a display; Qt itself acts on it.
        parser.addOption(QCommandLineOption(
            QStringLiteral("platform"),
            QCoreApplication::translate(
                "main", "Qt platform plugin to run on; \"offscreen\" streams without a display and shows no boxes."),
            QStringLiteral("name")));
        parser.addOption(stats);
        for (const auto &option : kToolkitOptions) {
            QCommandLineOption hidden(QLatin1String(option.name));
            if (option.takesValue)
                hidden.setValueName(QStringLiteral("value"));
            hidden.setFlags(QCommandLineOption::HiddenFromHelp);
            parser.addOption(hidden);
        }
    }

    static QString versionText() {
        return QStringLiteral("Tidewell %1 (build %2)")
            .arg(QLatin1String(MainWindow::kVersion))
            .arg(MainWindow::kBuildNumber);
    }

    // Why the first argument ending in ".ini" that names no readable file cannot be read, with that argument in
    // *path; empty when every such argument can be read. A typo would otherwise leave a headless program idle for
    // ever without a word.
    QString unreadableConfig(QString *path) const {
        for (const QString &argument : parser.positionalArguments()) {
            if (!argument.endsWith(QLatin1String(".ini")))
                continue;
            *path = argument;
            const QFileInfo info(argument);
            if (!info.exists())
                return QCoreApplication::translate("main", "no such file");
            if (!info.isFile())
                return QCoreApplication::translate("main", "not a file");
            QFile file(argument);
            if (!file.open(QIODevice::ReadOnly))
                return file.errorString();
        }
        return QString();
    }

    // Answers --help and --version on standard output and a command line it cannot parse, or a configuration
    // file it cannot read, on standard error. Returns the exit code when the program should end here, -1 when it
    // should go on.
    int answer() {
        if (!parser.errorText().isEmpty()) {
            std::fprintf(
                stderr, "tidewell: %s\n%s\n", qPrintable(parser.errorText()),
                qPrintable(QCoreApplication::translate("main", "Try 'tidewell --help' for more information.")));
            return kUsageExitCode;
        }
        if (parser.isSet(help) || parser.isSet(QStringLiteral("help-all"))) {
            std::fputs(qPrintable(parser.helpText()), stdout);
            return 0;
        }
        if (parser.isSet(version)) {
            std::printf("%s\n", qPrintable(versionText()));
            return 0;
        }
        QString path;
        const QString reason = unreadableConfig(&path);
        if (!reason.isEmpty()) {
            std::fprintf(stderr, "tidewell: %s\n",
                         qPrintable(QCoreApplication::translate("main", "cannot read the configuration file %1: %2")
                                        .arg(path, reason)));
            return kUsageExitCode;
        }
        return -1;
    }
};

// The log file of the program's run, installed for every log window while it lives.
class LogFileScope {
public:
    LogFileScope() : file(std::make_unique<LineFileWriter>(LogsDlg::defaultLogFilePath(), LogsDlg::logFileOptions())) {
        LogsDlg::setLogFile(file.get());
    }
    ~LogFileScope() {
        LogsDlg::setLogFile(nullptr);
        LineFileWriter::retire(std::move(file));
    }
    LogFileScope(const LogFileScope &) = delete;
    LogFileScope &operator=(const LogFileScope &) = delete;

private:
    std::unique_ptr<LineFileWriter> file;
};

QStringList argumentList(int argc, char *argv[]) {
    QStringList arguments;
    for (int i = 0; i < argc; ++i)
        arguments << QString::fromLocal8Bit(argv[i]);
    return arguments;
}

// True for --help, --version, a command line that cannot be parsed and a configuration file that cannot be read:
// these are answered before any window exists, with a core application object (for the translation) that needs
// no display.
bool answersWithoutWindow(int argc, char *argv[]) {
    CommandLine commandLine;
    QString path;
    return !commandLine.parser.parse(argumentList(argc, argv)) || commandLine.parser.isSet(commandLine.help) ||
           commandLine.parser.isSet(QStringLiteral("help-all")) || commandLine.parser.isSet(commandLine.version) ||
           !commandLine.unreadableConfig(&path).isEmpty();
}
} // namespace

int main(int argc, char *argv[]) {
    tuneAllocator();
    qputenv("QT_AUTO_SCREEN_SCALE_FACTOR", "1");
    qputenv("QT_ENABLE_HIGHDPI_SCALING", "1");
    qputenv("QT_SCALE_FACTOR_ROUNDING_POLICY", "RoundPreferFloor");
    QCoreApplication::setAttribute(Qt::AA_EnableHighDpiScaling, true);
    QCoreApplication::setAttribute(Qt::AA_UseHighDpiPixmaps, true);

    qDebug() << MainWindow::kVersion;

    if (answersWithoutWindow(argc, argv)) {
        QCoreApplication core(argc, argv);
        translations::install(core);
        CommandLine commandLine;
        commandLine.parser.parse(QCoreApplication::arguments());
        return commandLine.answer();
    }

    QApplication app(argc, argv);
    // The crash handler writes its reports under the application's data folders, so it needs the
    // application object.
    installCrashHandler(QStringLiteral("Tidewell"), QLatin1String(MainWindow::kVersion));
    translations::install(app);

    // The application object has taken out the toolkit's own options it acted on; the positional arguments
    // left are the candidates for the configuration file.
    CommandLine commandLine;
    commandLine.parser.parse(QCoreApplication::arguments());
    if (const int code = commandLine.answer(); code >= 0)
        return code;
    const QStringList configArguments = commandLine.parser.positionalArguments();
    if (!configArguments.isEmpty() && streamrules::findConfigFile(configArguments).isEmpty())
        qWarning() << "no argument names an existing .ini file, nothing starts:" << configArguments;

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

    app.setStyleSheet(appstyle::styleSheet());

    // Last night's failure can be read this morning: what the log window shows goes to a file as well. Made
    // before the window and gone after it, so that the lines of its end reach the file too.
    LogFileScope logFile;
    MainWindow window;
    if (commandLine.parser.isSet(commandLine.stats)) {
        QString error;
        const QString statsPath = commandLine.parser.value(commandLine.stats);
        if (!window.linkTelemetry()->setStatsFile(statsPath, &error)) {
            std::fprintf(stderr, "tidewell: %s\n",
                         qPrintable(QCoreApplication::translate("main", "cannot append to the statistics file %1: %2")
                                        .arg(statsPath, error)));
            return kUsageExitCode;
        }
    }
    ServiceNotifier service;
    QObject::connect(window.streamHealth(), &StreamHealth::changed, &service,
                     [&service](StreamHealth::State, const QString &text) { service.setStatus(text); });
    QObject::connect(window.streamHealth(), &StreamHealth::changed, &window,
                     [&window](StreamHealth::State state, const QString &text) {
                         if (state != StreamHealth::State::StoppedAfterLimit || !window.wasAutoStarted() ||
                             !AppMessages::headlessPlatform())
                             return;
                         std::fprintf(stderr, "tidewell: %s\n", qPrintable(text));
                         // Queued: the limit may be reached before the event loop runs, where exit() is forgotten.
                         QTimer::singleShot(0, &window, [] { QCoreApplication::exit(kGaveUpExitCode); });
                     });
    QObject::connect(&quitter, &SignalQuitter::stopRequested, &window, [&window, &service](int signalNumber) {
        qDebug() << "stop requested by signal" << signalNumber;
        service.stopping();
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
    if (quitter.receivedSignal() == 0 && !configArguments.isEmpty())
        window.autoStart(configArguments);
    int code = 0;
    if (quitter.receivedSignal() != 0) {
        qDebug() << "stop requested by signal" << quitter.receivedSignal() << "before the event loop";
        window.stopWithoutSaving();
    } else {
        window.show();
        // From the running event loop, which also sends the watchdog's pings from here on.
        QTimer::singleShot(0, &service, [&service, &window] { service.ready(window.streamHealth()->text()); });
        code = app.exec();
    }
    if (!window.waitForWorkers(kWorkerExitWaitMs))
        qWarning() << "a worker thread did not end in time";
    return code;
}
