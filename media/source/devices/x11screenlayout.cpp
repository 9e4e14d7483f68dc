#include "x11screenlayout.h"

#include <QByteArray>

#include <X11/Xlib.h>

#include <dlfcn.h>

namespace {

// libXrandr is present at run time on every X desktop but its development files are not part of our
// build dependencies, so the few RandR 1.5 calls are resolved at run time. The structure is the ABI of
// XRRMonitorInfo from <X11/extensions/Xrandr.h>.
struct MonitorInfo {
    Atom name;
    Bool primary;
    Bool automatic;
    int noutput;
    int x;
    int y;
    int width;
    int height;
    int mwidth;
    int mheight;
    unsigned long *outputs;
};

using QueryExtensionFn = Bool (*)(Display *, int *, int *);
using QueryVersionFn = int (*)(Display *, int *, int *);
using GetMonitorsFn = MonitorInfo *(*)(Display *, Window, Bool, int *);
using FreeMonitorsFn = void (*)(MonitorInfo *);

struct RandrCalls {
    QueryExtensionFn queryExtension = nullptr;
    QueryVersionFn queryVersion = nullptr;
    GetMonitorsFn getMonitors = nullptr;
    FreeMonitorsFn freeMonitors = nullptr;

    bool load() {
        // Kept loaded for the life of the process: unloading a library Xlib may have hooked into the
        // display's extension list would leave dangling pointers.
        static void *library = dlopen("libXrandr.so.2", RTLD_NOW | RTLD_LOCAL);
        if (!library)
            return false;
        queryExtension = reinterpret_cast<QueryExtensionFn>(dlsym(library, "XRRQueryExtension"));
        queryVersion = reinterpret_cast<QueryVersionFn>(dlsym(library, "XRRQueryVersion"));
        getMonitors = reinterpret_cast<GetMonitorsFn>(dlsym(library, "XRRGetMonitors"));
        freeMonitors = reinterpret_cast<FreeMonitorsFn>(dlsym(library, "XRRFreeMonitors"));
        return queryExtension && queryVersion && getMonitors && freeMonitors;
    }
};

constexpr int RANDR_MONITORS_MAJOR = 1;
constexpr int RANDR_MONITORS_MINOR = 5;

bool haveMonitors(Display *display, RandrCalls *randr) {
    if (!randr->load())
        return false;
    int eventBase = 0;
    int errorBase = 0;
    if (!randr->queryExtension(display, &eventBase, &errorBase))
        return false;
    int major = 0;
    int minor = 0;
    if (!randr->queryVersion(display, &major, &minor))
        return false;
    return major > RANDR_MONITORS_MAJOR || (major == RANDR_MONITORS_MAJOR && minor >= RANDR_MONITORS_MINOR);
}

QString atomName(Display *display, Atom atom) {
    if (atom == None)
        return {};
    char *text = XGetAtomName(display, atom);
    QString name = text ? QString::fromLocal8Bit(text) : QString();
    if (text)
        XFree(text);
    return name;
}

// Xlib ends the process when a connection breaks unless the display has an exit handler of its own; a
// server that goes away while the layout is read must only fail the read.
void connectionBroken(Display *, void *userData) {
    *static_cast<bool *>(userData) = true;
}

} // namespace

bool X11ScreenLayout::read(const QString &displayName, QString *error) {
    list.clear();
    resolvedName.clear();
    const QByteArray wanted = displayName.toLocal8Bit();
    if (displayName.isEmpty() && qEnvironmentVariableIsEmpty("DISPLAY")) {
        if (error)
            *error = QStringLiteral("DISPLAY is not set");
        return false;
    }
    Display *display = XOpenDisplay(displayName.isEmpty() ? nullptr : wanted.constData());
    if (!display) {
        if (error)
            *error = QStringLiteral("cannot open X display \"%1\"")
                         .arg(displayName.isEmpty() ? qEnvironmentVariable("DISPLAY") : displayName);
        return false;
    }
    bool broken = false;
    XSetIOErrorExitHandler(display, &connectionBroken, &broken);
    resolvedName = QString::fromLocal8Bit(XDisplayString(display));

    RandrCalls randr;
    const bool monitors = haveMonitors(display, &randr);
    const int defaultScreen = DefaultScreen(display);
    int primaryIndex = -1;
    int firstOfDefault = -1;
    for (int s = 0; s < ScreenCount(display) && !broken; ++s) {
        const int before = list.size();
        if (monitors) {
            int count = 0;
            MonitorInfo *info = randr.getMonitors(display, RootWindow(display, s), True, &count);
            for (int m = 0; info && m < count; ++m) {
                Screen screen;
                screen.xScreen = s;
                screen.geometry = QRect(info[m].x, info[m].y, info[m].width, info[m].height);
                screen.name = atomName(display, info[m].name);
                if (s == defaultScreen && info[m].primary && primaryIndex < 0)
                    primaryIndex = list.size();
                list.append(screen);
            }
            if (info)
                randr.freeMonitors(info);
        }
        if (list.size() == before) {
            Screen screen;
            screen.xScreen = s;
            screen.geometry = QRect(0, 0, DisplayWidth(display, s), DisplayHeight(display, s));
            screen.name = QStringLiteral("screen %1").arg(s);
            list.append(screen);
        }
        if (s == defaultScreen)
            firstOfDefault = before;
    }
    XCloseDisplay(display);
    if (broken) {
        list.clear();
        if (error)
            *error = QStringLiteral("the X server went away");
        return false;
    }

    if (primaryIndex < 0)
        primaryIndex = firstOfDefault;
    if (primaryIndex >= 0)
        list[primaryIndex].primary = true;
    primaryFirst(&list);
    return true;
}

void X11ScreenLayout::primaryFirst(QVector<Screen> *screens) {
    for (int i = 1; i < screens->size(); ++i) {
        if (screens->at(i).primary) {
            const Screen primary = screens->takeAt(i);
            screens->prepend(primary);
            return;
        }
    }
}

QString X11ScreenLayout::grabUrl(const QString &displayName, const Screen &screen) {
    // The display name may carry a screen number already (":0.1"); the screen of the layout replaces it.
    QString base = displayName;
    const int colon = base.lastIndexOf(QLatin1Char(':'));
    const int dot = base.indexOf(QLatin1Char('.'), colon < 0 ? 0 : colon);
    if (colon >= 0 && dot > colon)
        base.truncate(dot);
    return QStringLiteral("%1.%2+%3,%4")
        .arg(base)
        .arg(screen.xScreen)
        .arg(screen.geometry.x())
        .arg(screen.geometry.y());
}
