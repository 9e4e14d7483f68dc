#include "mfscreenoutput.h"

#include "mfclockedoutput.h"
#include "mfframe.h"
#include "mfresult.h"

#include <QApplication>
#include <QCoreApplication>
#include <QDebug>
#include <QGuiApplication>
#include <QImage>
#include <QPainter>
#include <QScreen>
#include <QThread>
#include <QWidget>
#include <QWindow>

extern "C" {
#include <libswscale/swscale.h>
}

#include <cmath>

namespace {

const QString kAudioSink = QStringLiteral("audio.sink");

bool onGuiThread() {
    return QCoreApplication::instance() && QThread::currentThread() == QCoreApplication::instance()->thread();
}

// The picture's rectangle inside an area, its display aspect kept and centred.
QRect fitted(const QSize &area, double aspect) {
    if (area.isEmpty() || !(aspect > 0.0))
        return QRect();
    int width = area.width();
    int height = int(std::lround(width / aspect));
    if (height > area.height()) {
        height = area.height();
        width = int(std::lround(height * aspect));
    }
    return QRect((area.width() - width) / 2, (area.height() - height) / 2, width, height);
}

class OutputWindow;

} // namespace

// What the presenter thread, the window in the GUI thread and the output share.
struct MFScreenOutput::Shared {
    std::mutex imageLock; // guards image and placed
    QImage image;         // the newest picture at its place's size, in the screen's own pixels
    QRect placed;         // where it goes, in those pixels
    // The window's size in the screen's own pixels: a high-density screen gets the picture at its resolution.
    std::atomic<int> areaWidth{0};
    std::atomic<int> areaHeight{0};
    std::atomic<double> pixelRatio{1.0};
    std::atomic<bool> repaintQueued{false};
    std::atomic<bool> gone{false};
    OutputWindow *window = nullptr; // lives in the GUI thread; set before the presenter starts
    QString name;
    SwsContext *scaler = nullptr; // presenter thread only
};

namespace {

class OutputWindow : public QWidget {
public:
    OutputWindow(QScreen *target, std::shared_ptr<MFScreenOutput::Shared> state)
        : screen(target), shared(std::move(state)) {
        setWindowFlags(Qt::Window | Qt::FramelessWindowHint);
        setAttribute(Qt::WA_OpaquePaintEvent);
        setAttribute(Qt::WA_ShowWithoutActivating);
        setCursor(Qt::BlankCursor);
        setWindowTitle(QStringLiteral("Tidewell output ") + shared->name);
        // The native window is made on the chosen screen, which on X11 may be a screen of its own.
        create();
        windowHandle()->setScreen(target);
        setGeometry(target->geometry());
        takeSize();
        connect(qApp, &QGuiApplication::screenRemoved, this, [this](QScreen *removed) {
            if (removed != screen)
                return;
            qWarning().noquote() << "external output:" << shared->name << "is gone; its output ends";
            shared->gone = true;
            hide();
        });
        showFullScreen();
    }

    void repaintNow() {
        shared->repaintQueued = false;
        update();
    }

protected:
    void resizeEvent(QResizeEvent *event) override {
        QWidget::resizeEvent(event);
        takeSize();
    }
    void paintEvent(QPaintEvent *) override {
        QPainter painter(this);
        QImage picture;
        QRect place;
        {
            std::lock_guard<std::mutex> locker(shared->imageLock);
            picture = shared->image;
            place = shared->placed;
        }
        painter.fillRect(rect(), Qt::black);
        if (!picture.isNull())
            painter.drawImage(QPointF(place.topLeft()) / shared->pixelRatio.load(), picture);
    }

private:
    void takeSize() {
        const double ratio = devicePixelRatioF();
        shared->pixelRatio = ratio;
        shared->areaWidth = int(std::lround(width() * ratio));
        shared->areaHeight = int(std::lround(height() * ratio));
    }

    QScreen *screen;
    // Shared with the output, kept until this window goes: a deferred deletion may still paint.
    std::shared_ptr<MFScreenOutput::Shared> shared;
};

void present(MFScreenOutput::Shared *shared, const MFFramePtr &frame) {
    MFFrame *in = MFFrame::from(frame);
    const AVFrame *picture = in ? in->video() : nullptr;
    if (!picture || picture->width <= 0 || picture->height <= 0 || shared->gone)
        return;
    const MFFormat &format = in->format();
    const double aspect = format.aspectX > 0 && format.aspectY > 0 ? double(format.aspectX) / format.aspectY
                                                                   : double(picture->width) / picture->height;
    const QRect place = fitted(QSize(shared->areaWidth, shared->areaHeight), aspect);
    if (place.isEmpty())
        return;
    QImage image(place.size(), QImage::Format_RGB32);
    image.setDevicePixelRatio(shared->pixelRatio.load());
    shared->scaler =
        sws_getCachedContext(shared->scaler, picture->width, picture->height, AVPixelFormat(picture->format),
                             place.width(), place.height(), AV_PIX_FMT_BGR0, SWS_BILINEAR, nullptr, nullptr, nullptr);
    if (!shared->scaler || image.isNull())
        return;
    uint8_t *planes[4] = {image.bits(), nullptr, nullptr, nullptr};
    int strides[4] = {int(image.bytesPerLine()), 0, 0, 0};
    sws_scale(shared->scaler, picture->data, picture->linesize, 0, picture->height, planes, strides);
    {
        std::lock_guard<std::mutex> locker(shared->imageLock);
        shared->image = std::move(image);
        shared->placed = place;
    }
    // One repaint waits in the GUI thread at most: a busy GUI shows the newest picture only.
    if (!shared->repaintQueued.exchange(true)) {
        OutputWindow *window = shared->window;
        QMetaObject::invokeMethod(
            window, [window] { window->repaintNow(); }, Qt::QueuedConnection);
    }
}

} // namespace

void MFScreenOutputProvider::registerProvider() {
    static const MFOutputProviderPtr provider = [] {
        auto made = std::make_shared<MFScreenOutputProvider>();
        MFOutputRegistry::add(made);
        return made;
    }();
    (void)provider;
}

QString MFScreenOutputProvider::nameOf(int index, const QSize &size) {
    return QStringLiteral("Screen %1 \u2014 %2x%3").arg(index + 1).arg(size.width()).arg(size.height());
}

QStringList MFScreenOutputProvider::list() {
    std::lock_guard<std::mutex> locker(lock);
    if (onGuiThread() && qobject_cast<QGuiApplication *>(QCoreApplication::instance())) {
        seen.clear();
        const QList<QScreen *> screens = QGuiApplication::screens();
        for (int i = 0; i < screens.size(); ++i)
            seen.append(nameOf(i, screens.at(i)->size()));
    }
    return seen;
}

std::unique_ptr<MFOutputDevice> MFScreenOutputProvider::open(const QString &name, const MFOutputProps &props) {
    if (!onGuiThread() || !qobject_cast<QApplication *>(QCoreApplication::instance())) {
        qWarning() << "external output: a screen output is opened on the GUI thread only";
        return nullptr;
    }
    const QList<QScreen *> screens = QGuiApplication::screens();
    for (int i = 0; i < screens.size(); ++i)
        if (nameOf(i, screens.at(i)->size()) == name)
            return std::make_unique<MFScreenOutput>(screens.at(i), name, props);
    return nullptr;
}

MFScreenOutput::MFScreenOutput(QScreen *screen, const QString &name, const MFOutputProps &props)
    : shared(std::make_shared<Shared>()) {
    shared->name = name;
    shared->window = new OutputWindow(screen, shared);
    Shared *state = shared.get();
    clocked = std::make_unique<MFClockedOutput>([state](const MFFramePtr &frame) { present(state, frame); });
    clocked->setSoundOutput(props.value(kAudioSink));
}

MFScreenOutput::~MFScreenOutput() {
    // The presenter ends first: nothing asks the window for a repaint once it is going.
    clocked.reset();
    sws_freeContext(shared->scaler);
    shared->scaler = nullptr;
    // From another thread the window goes with the GUI thread's next events (not a deferred deletion, which
    // waits for an event loop to return to).
    OutputWindow *window = shared->window;
    if (onGuiThread())
        delete window;
    else
        QMetaObject::invokeMethod(
            window, [window] { delete window; }, Qt::QueuedConnection);
}

int MFScreenOutput::setProperty(const QString &name, const QString &value) {
    if (name == kAudioSink)
        clocked->setSoundOutput(value);
    return MF_OK;
}

int MFScreenOutput::put(const MFFramePtr &frame, int) {
    if (shared->gone)
        return MF_E_NOTFOUND;
    return clocked->put(frame);
}

bool MFScreenOutput::alive() const {
    return !shared->gone;
}

QWidget *MFScreenOutput::window() const {
    return shared->gone ? nullptr : shared->window;
}
