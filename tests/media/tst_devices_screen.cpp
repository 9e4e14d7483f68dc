// Screen capture against real X servers: the Xvfb the test run provides (xvfb-run) and, for several
// screens and a display that goes away, an Xvfb of the test's own.

#include "imfdevice.h"
#include "mformats.h"
#include "testkit.h"
#include "x11screendevice.h"
#include "x11screenlayout.h"
#include "x11screenprovider.h"

#include <QProcess>
#include <QtTest>

#include <X11/Xlib.h>

#include <memory>

namespace {

struct Rgb {
    int r, g, b;
};

Rgb parseColour(const char *text) {
    const uint value = QByteArray(text + 1).toUInt(nullptr, 16);
    return {int(value >> 16) & 0xff, int(value >> 8) & 0xff, int(value) & 0xff};
}

bool near(const uint8_t *bgra, Rgb colour) {
    constexpr int TOLERANCE = 2;
    return qAbs(bgra[2] - colour.r) <= TOLERANCE && qAbs(bgra[1] - colour.g) <= TOLERANCE &&
           qAbs(bgra[0] - colour.b) <= TOLERANCE;
}

// One ARGB32 picture read back from the live source.
struct Picture {
    MFFramePtr frame;
    int width = 0;
    int height = 0;
    uint8_t *data = nullptr;
    int stride = 0;

    const uint8_t *at(int x, int y) const { return data + y * stride + x * 4; }
    bool uniform(Rgb colour) const {
        const QList<QPoint> probes = {{1, 1},          {width - 2, 1},          {width / 2, height / 2},
                                      {1, height - 2}, {width - 2, height - 2}, {width / 3, height / 4}};
        for (const QPoint &p : probes) {
            if (!near(at(p.x(), p.y()), colour))
                return false;
        }
        return true;
    }
    int differing(QRect area, Rgb colour) const {
        area &= QRect(0, 0, width, height);
        int count = 0;
        for (int y = area.top(); y <= area.bottom(); ++y)
            for (int x = area.left(); x <= area.right(); ++x)
                count += near(at(x, y), colour) ? 0 : 1;
        return count;
    }
};

bool fetch(MFormats *source, Picture *picture) {
    MFFormat format;
    format.colorFormat = MFCC_ARGB32;
    MFFramePtr frame;
    if (MF_FAILED(source->SourceFrameConvertedGetByFormat(format, &frame, -1, QString())) || !frame)
        return false;
    MFFormat actual;
    frame->MFFormatGet(&actual);
    if (actual.colorFormat != MFCC_ARGB32 || MF_FAILED(frame->MFPictureGet(&picture->data, &picture->stride)))
        return false;
    picture->frame = frame;
    picture->width = actual.width;
    picture->height = qAbs(actual.height);
    return true;
}

// Waits (bounded) for a picture that satisfies the check; the last picture stays in *picture.
bool waitForPicture(MFormats *source, Picture *picture, const std::function<bool(const Picture &)> &check,
                    int timeoutMs = 8000) {
    return testkit::waitUntil([&] { return fetch(source, picture) && check(*picture); }, timeoutMs, 1);
}

bool paintRoot(const QString &display, const char *colour) {
    return testkit::runProgram(
               QStringLiteral("xsetroot"),
               {QStringLiteral("-display"), display, QStringLiteral("-solid"), QString::fromLatin1(colour)},
               10000) == 0;
}

std::shared_ptr<MFormats> openDesktop() {
    auto source = MFormats::create();
    int count = 0;
    if (!source || MF_FAILED(source->DeviceGetCount(eMFDT_Video, &count)))
        return nullptr;
    for (int i = 0; i < count; ++i) {
        QString name;
        source->DeviceGetByIndex(eMFDT_Video, i, &name);
        if (name == X11ScreenProvider::DEVICE_NAME)
            return MF_SUCCEEDED(source->DeviceSet(eMFDT_Video, i, QString())) ? source : nullptr;
    }
    return nullptr;
}

// An X server of the test's own, on a display number the server picks itself. -noreset keeps the painted
// root windows when the last client leaves.
class OwnXServer {
public:
    ~OwnXServer() { stop(); }
    bool start(const QStringList &screens, QString *log) {
        QStringList arguments = {QStringLiteral("-displayfd"), QStringLiteral("1"), QStringLiteral("-noreset"),
                                 QStringLiteral("-nolisten"), QStringLiteral("tcp")};
        for (int i = 0; i < screens.size(); ++i)
            arguments << QStringLiteral("-screen") << QString::number(i) << screens.at(i);
        process.start(QStringLiteral("Xvfb"), arguments);
        if (!process.waitForStarted(5000))
            return false;
        QByteArray number;
        testkit::waitUntil(
            [&] {
                number += process.readAllStandardOutput();
                return number.contains('\n') || process.state() == QProcess::NotRunning;
            },
            10000);
        *log = QString::fromLocal8Bit(process.readAllStandardError());
        if (!number.contains('\n'))
            return false;
        name = QStringLiteral(":") + QString::fromLatin1(number.trimmed());
        return true;
    }
    void stop() {
        if (process.state() == QProcess::NotRunning)
            return;
        process.terminate();
        if (!process.waitForFinished(5000)) {
            process.kill();
            process.waitForFinished(5000);
        }
    }
    QString display() const { return name; }

private:
    QProcess process;
    QString name;
};

class DisplayOverride {
public:
    explicit DisplayOverride(const QString &display) : old(qgetenv("DISPLAY")) {
        qputenv("DISPLAY", display.toLocal8Bit());
    }
    ~DisplayOverride() { qputenv("DISPLAY", old); }

private:
    QByteArray old;
};

const char *const BLUE = "#3366cc";
const char *const ORANGE = "#cc5500";
const char *const RED = "#c01010";
const char *const GREEN = "#10c040";

} // namespace

class TstDevicesScreen : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();
    void desktopCarriesTheRootColour();
    void mousePointerUnlessHidden();
    void screenIndexPicksTheScreen();
    void displayGoingAwayStopsPicturesWithoutCrash();

private:
    QString display;
    // Held open so that the server does not reset (and forget the painted root) between clients.
    Display *hold = nullptr;
};

void TstDevicesScreen::initTestCase() {
    display = qEnvironmentVariable("DISPLAY");
    if (display.isEmpty())
        QSKIP("no X display (DISPLAY is not set): run under xvfb-run");
    if (!testkit::haveProgram(QStringLiteral("xsetroot")))
        QSKIP("xsetroot (x11-xserver-utils) is not installed");
    hold = XOpenDisplay(nullptr);
    QVERIFY2(hold, qPrintable(display));
}

void TstDevicesScreen::cleanupTestCase() {
    if (hold)
        XCloseDisplay(hold);
    hold = nullptr;
}

void TstDevicesScreen::desktopCarriesTheRootColour() {
    QVERIFY(paintRoot(display, BLUE));
    auto source = openDesktop();
    QVERIFY2(source, "the desktop is not listed or does not open");
    QVERIFY(MF_SUCCEEDED(source->PropsSet(QStringLiteral("capture.highlight_mouse"), QStringLiteral("hide"))));
    QVERIFY(MF_SUCCEEDED(source->PropsSet(QStringLiteral("capture.screen_index"), QStringLiteral("0"))));

    Picture picture;
    QVERIFY(waitForPicture(source.get(), &picture, [](const Picture &p) { return p.uniform(parseColour(BLUE)); }));
    const int screen = DefaultScreen(hold);
    QCOMPARE(picture.width, DisplayWidth(hold, screen));
    QCOMPARE(picture.height, DisplayHeight(hold, screen));

    // The capture is live: a new colour arrives while it runs.
    QVERIFY(paintRoot(display, ORANGE));
    QVERIFY(waitForPicture(source.get(), &picture, [](const Picture &p) { return p.uniform(parseColour(ORANGE)); }));
    source->DeviceClose();
}

void TstDevicesScreen::mousePointerUnlessHidden() {
    QVERIFY(paintRoot(display, BLUE));
    const QPoint pointer(200, 150);
    XWarpPointer(hold, None, DefaultRootWindow(hold), 0, 0, 0, 0, pointer.x(), pointer.y());
    XSync(hold, False);
    const QRect around(pointer - QPoint(24, 24), QSize(48, 48));
    const Rgb blue = parseColour(BLUE);

    auto source = openDesktop();
    QVERIFY(source);
    QVERIFY(MF_SUCCEEDED(source->PropsSet(QStringLiteral("capture.highlight_mouse"), QStringLiteral("show"))));
    Picture picture;
    QVERIFY2(waitForPicture(source.get(), &picture, [&](const Picture &p) { return p.differing(around, blue) > 20; }),
             "the pointer does not show");
    // Only the pointer differs from the root colour.
    QCOMPARE(picture.differing(QRect(0, 0, picture.width, picture.height), blue), picture.differing(around, blue));

    QVERIFY(MF_SUCCEEDED(source->PropsSet(QStringLiteral("capture.highlight_mouse"), QStringLiteral("hide"))));
    QVERIFY2(waitForPicture(source.get(), &picture, [&](const Picture &p) { return p.differing(around, blue) == 0; }),
             "the pointer is still drawn");
    source->DeviceClose();
}

void TstDevicesScreen::screenIndexPicksTheScreen() {
    if (!testkit::haveProgram(QStringLiteral("Xvfb")))
        QSKIP("Xvfb is not installed: the two-screen case is not tested");
    OwnXServer server;
    QString log;
    QVERIFY2(server.start({QStringLiteral("640x480x24"), QStringLiteral("800x600x24")}, &log), qPrintable(log));
    DisplayOverride useIt(server.display());
    Display *keep = XOpenDisplay(server.display().toLocal8Bit().constData());
    QVERIFY(keep);
    auto closeKeep = qScopeGuard([keep] { XCloseDisplay(keep); });

    // The order the application's screen list has: the default X screen's monitor first.
    X11ScreenLayout layout;
    QString error;
    QVERIFY2(layout.read(QString(), &error), qPrintable(error));
    if (layout.screens().size() < 2)
        QSKIP("the X server offers one screen only: the two-screen case is not tested");
    QCOMPARE(layout.screens().size(), 2);
    QCOMPARE(layout.screens().at(0).geometry.size(), QSize(640, 480));
    QVERIFY(layout.screens().at(0).primary);
    QCOMPARE(layout.screens().at(1).geometry.size(), QSize(800, 600));

    QVERIFY(paintRoot(server.display() + QStringLiteral(".0"), RED));
    QVERIFY(paintRoot(server.display() + QStringLiteral(".1"), GREEN));
    const Rgb red = parseColour(RED);
    const Rgb green = parseColour(GREEN);

    // As the capture sets it up: device first, then the display.
    auto source = openDesktop();
    QVERIFY(source);
    QVERIFY(MF_SUCCEEDED(source->PropsSet(QStringLiteral("capture.highlight_mouse"), QStringLiteral("hide"))));
    QVERIFY(MF_SUCCEEDED(source->PropsSet(QStringLiteral("capture.screen_index"), QStringLiteral("1"))));
    Picture picture;
    QVERIFY2(waitForPicture(source.get(), &picture,
                            [&](const Picture &p) { return p.width == 800 && p.height == 600 && p.uniform(green); }),
             "screen 1 does not arrive");

    // Changing the display while capturing switches over.
    QVERIFY(MF_SUCCEEDED(source->PropsSet(QStringLiteral("capture.screen_index"), QStringLiteral("0"))));
    QVERIFY2(waitForPicture(source.get(), &picture,
                            [&](const Picture &p) { return p.width == 640 && p.height == 480 && p.uniform(red); }),
             "screen 0 does not arrive");

    // A screen that is gone (index beyond the layout) falls back to the primary screen.
    QVERIFY(MF_SUCCEEDED(source->PropsSet(QStringLiteral("capture.screen_index"), QStringLiteral("1"))));
    QVERIFY(waitForPicture(source.get(), &picture, [&](const Picture &p) { return p.uniform(green); }));
    QVERIFY(MF_SUCCEEDED(source->PropsSet(QStringLiteral("capture.screen_index"), QStringLiteral("7"))));
    QVERIFY2(waitForPicture(source.get(), &picture,
                            [&](const Picture &p) { return p.width == 640 && p.height == 480 && p.uniform(red); }),
             "an index beyond the screens does not give the primary screen");

    // Text that is no index is refused and the capture stays where it was.
    QVERIFY(MF_FAILED(source->PropsSet(QStringLiteral("capture.screen_index"), QStringLiteral("second"))));
    QString kept;
    source->PropsGet(QStringLiteral("capture.screen_index"), &kept);
    QCOMPARE(kept, QStringLiteral("7"));
    source->DeviceClose();
}

void TstDevicesScreen::displayGoingAwayStopsPicturesWithoutCrash() {
    if (!testkit::haveProgram(QStringLiteral("Xvfb")))
        QSKIP("Xvfb is not installed");
    OwnXServer server;
    QString log;
    QVERIFY2(server.start({QStringLiteral("320x240x24")}, &log), qPrintable(log));

    X11ScreenDevice device(server.display());
    QVERIFY(MF_SUCCEEDED(device.start({{QStringLiteral("capture.highlight_mouse"), QStringLiteral("hide")}})));
    QVERIFY(testkit::waitUntil([&] { return device.pictures().sequence() >= 2; }, 5000));

    server.stop();
    // The device drops its picture rather than presenting the last one as live.
    QVERIFY(testkit::waitUntil(
        [&] {
            AVFrame *frame = av_frame_alloc();
            const int result = device.pictures().get(frame);
            av_frame_free(&frame);
            return result == MF_E_NOTREADY;
        },
        5000));
    device.stop();
}

QTEST_GUILESS_MAIN(TstDevicesScreen)
#include "tst_devices_screen.moc"
