// Screen capture against real X servers: the Xvfb the test run provides (xvfb-run) and, for several
// screens and a display that goes away, an Xvfb of the test's own.

#include "imfdevice.h"
#include "mediatestkit.h"
#include "privatexserver.h"
#include "testkit.h"
#include "x11screendevice.h"
#include "x11screenlayout.h"
#include "x11screenprovider.h"

#include <QtTest>

#include <X11/Xlib.h>

#include <memory>

using namespace mediatest;

namespace {

struct Rgb {
    int r, g, b;
};

const Rgb BLUE{0x33, 0x66, 0xcc}, ORANGE{0xcc, 0x55, 0x00}, RED{0xc0, 0x10, 0x10}, GREEN{0x10, 0xc0, 0x40};

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
        return std::all_of(probes.begin(), probes.end(), [&](QPoint p) { return near(at(p.x(), p.y()), colour); });
    }
    bool is(QSize size, Rgb colour) const { return QSize(width, height) == size && uniform(colour); }
    int differing(QRect area, Rgb colour) const {
        area &= QRect(0, 0, width, height);
        int count = 0;
        for (int y = area.top(); y <= area.bottom(); ++y)
            for (int x = area.left(); x <= area.right(); ++x)
                count += near(at(x, y), colour) ? 0 : 1;
        return count;
    }
};

// Waits (bounded) for a picture that satisfies the check; the last picture stays in *picture.
bool waitForPicture(MFormats &source, Picture *picture, const std::function<bool(const Picture &)> &check) {
    MFFormat argb;
    argb.colorFormat = MFCC_ARGB32;
    const auto fetched = [&] {
        picture->frame = fetch(source, argb);
        const MFFormat got = formatOf(picture->frame);
        picture->width = got.width;
        picture->height = qAbs(got.height);
        return got.colorFormat == MFCC_ARGB32 &&
               MF_SUCCEEDED(picture->frame->MFPictureGet(&picture->data, &picture->stride));
    };
    return testkit::waitUntil([&] { return fetched() && check(*picture); }, 8000, 1);
}

bool paintRoot(const QString &display, Rgb c) {
    const QString colour = QString::asprintf("#%02x%02x%02x", c.r, c.g, c.b);
    return testkit::runProgram("xsetroot", {"-display", display, "-solid", colour}, 10000) == 0;
}

// The desktop opened on the live source, told the pointer ("show", "hide") and, when given, the screen.
std::shared_ptr<MFormats> openDesktop(const char *mouse, const char *screen = nullptr) {
    auto source = openVideo(X11ScreenProvider::DEVICE_NAME, QString(), true);
    if (!source || MF_FAILED(source->PropsSet("capture.highlight_mouse", mouse)) ||
        (screen && MF_FAILED(source->PropsSet("capture.screen_index", screen))))
        return nullptr;
    return source;
}

} // namespace

class TstDevicesScreen : public QObject {
    Q_OBJECT

    QString display;
    // Held open so that the server does not reset (and forget the painted root) between clients.
    Display *hold = nullptr;

private slots:
    void initTestCase() {
        display = qEnvironmentVariable("DISPLAY");
        if (display.isEmpty())
            QSKIP("no X display (DISPLAY is not set): run under xvfb-run");
        if (!testkit::haveProgram(QStringLiteral("xsetroot")))
            QSKIP("xsetroot (x11-xserver-utils) is not installed");
        hold = XOpenDisplay(nullptr);
        QVERIFY2(hold, qPrintable(display));
    }
    void cleanupTestCase() {
        if (hold)
            XCloseDisplay(hold);
    }

    void desktopCarriesTheRootColour() {
        QVERIFY(paintRoot(display, BLUE));
        auto source = openDesktop("hide", "0");
        QVERIFY2(source, "the desktop is not listed or does not open");
        Picture picture;
        QVERIFY(waitForPicture(*source, &picture, [](const Picture &p) { return p.uniform(BLUE); }));
        const int screen = DefaultScreen(hold);
        QCOMPARE(QSize(picture.width, picture.height), QSize(DisplayWidth(hold, screen), DisplayHeight(hold, screen)));
        // The capture is live: a new colour arrives while it runs.
        QVERIFY(paintRoot(display, ORANGE));
        QVERIFY(waitForPicture(*source, &picture, [](const Picture &p) { return p.uniform(ORANGE); }));
        source->DeviceClose();
    }

    void mousePointerUnlessHidden() {
        QVERIFY(paintRoot(display, BLUE));
        const QPoint pointer(200, 150);
        XWarpPointer(hold, None, DefaultRootWindow(hold), 0, 0, 0, 0, pointer.x(), pointer.y());
        XSync(hold, False);
        const QRect around(pointer - QPoint(24, 24), QSize(48, 48));
        auto source = openDesktop("show");
        QVERIFY(source);
        Picture picture;
        QVERIFY2(waitForPicture(*source, &picture, [&](const Picture &p) { return p.differing(around, BLUE) > 20; }),
                 "the pointer does not show");
        // Only the pointer differs from the root colour.
        QCOMPARE(picture.differing(QRect(0, 0, picture.width, picture.height), BLUE), picture.differing(around, BLUE));
        QVERIFY(MF_SUCCEEDED(source->PropsSet("capture.highlight_mouse", "hide")));
        QVERIFY2(waitForPicture(*source, &picture, [&](const Picture &p) { return p.differing(around, BLUE) == 0; }),
                 "the pointer is still drawn");
        source->DeviceClose();
    }

    void screenIndexPicksTheScreen() {
        if (!testkit::haveProgram("Xvfb"))
            QSKIP("Xvfb is not installed: the two-screen case is not tested");
        PrivateXServer server;
        QString why;
        QVERIFY2(server.start({QSize(640, 480), QSize(800, 600)}, &why), qPrintable(why));
        testkit::ScopedEnv useIt("DISPLAY", server.display().toLocal8Bit());
        Display *keep = XOpenDisplay(server.display().toLocal8Bit().constData());
        QVERIFY(keep);
        auto closeKeep = qScopeGuard([keep] { XCloseDisplay(keep); });

        // The order the application's screen list has: the default X screen's monitor first.
        X11ScreenLayout layout;
        QVERIFY2(layout.read(QString(), &why), qPrintable(why));
        if (layout.screens().size() < 2)
            QSKIP("the X server offers one screen only: the two-screen case is not tested");
        QCOMPARE(layout.screens().size(), 2);
        QCOMPARE(layout.screens().at(0).geometry.size(), QSize(640, 480));
        QVERIFY(layout.screens().at(0).primary);
        QCOMPARE(layout.screens().at(1).geometry.size(), QSize(800, 600));
        QVERIFY(paintRoot(server.display() + ".0", RED));
        QVERIFY(paintRoot(server.display() + ".1", GREEN));

        // As the capture sets it up: device first, then the display.
        auto source = openDesktop("hide", "1");
        QVERIFY(source);
        Picture picture;
        QVERIFY2(waitForPicture(*source, &picture,
                                [&](const Picture &p) {
                                    return p.is({800, 600}, GREEN);
                                }),
                 "screen 1 does not arrive");
        // Changing the display while capturing switches over.
        QVERIFY(MF_SUCCEEDED(source->PropsSet("capture.screen_index", "0")));
        QVERIFY2(waitForPicture(*source, &picture,
                                [&](const Picture &p) {
                                    return p.is({640, 480}, RED);
                                }),
                 "screen 0 does not arrive");
        // A screen that is gone (index beyond the layout) falls back to the primary screen.
        QVERIFY(MF_SUCCEEDED(source->PropsSet("capture.screen_index", "1")));
        QVERIFY(waitForPicture(*source, &picture, [&](const Picture &p) { return p.uniform(GREEN); }));
        QVERIFY(MF_SUCCEEDED(source->PropsSet("capture.screen_index", "7")));
        QVERIFY2(waitForPicture(*source, &picture,
                                [&](const Picture &p) {
                                    return p.is({640, 480}, RED);
                                }),
                 "an index beyond the screens does not give the primary screen");
        // Text that is no index is refused and the capture stays where it was.
        QVERIFY(MF_FAILED(source->PropsSet("capture.screen_index", "second")));
        QString kept;
        source->PropsGet("capture.screen_index", &kept);
        QCOMPARE(kept, QStringLiteral("7"));
        source->DeviceClose();
    }

    void displayGoingAwayStopsPicturesWithoutCrash() {
        if (!testkit::haveProgram("Xvfb"))
            QSKIP("Xvfb is not installed");
        PrivateXServer server;
        QString why;
        QVERIFY2(server.start({QSize(320, 240)}, &why), qPrintable(why));
        X11ScreenDevice device(server.display());
        QVERIFY(MF_SUCCEEDED(device.start({{"capture.highlight_mouse", "hide"}})));
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
};

QTEST_GUILESS_MAIN(TstDevicesScreen)
#include "tst_devices_screen.moc"
