#include "v4l2query.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <linux/videodev2.h>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>

namespace {

// A listing stops here even if a broken driver keeps answering.
constexpr unsigned MAX_ENUM = 256;
// Sizes tried on cameras with a stepwise size range.
const QList<QSize> STEPWISE_SIZES = {{640, 480}, {1280, 720}, {1920, 1080}, {3840, 2160}};
// Rates tried on cameras with a continuous interval range.
const QList<double> STEPWISE_RATES = {15.0, 25.0, 30.0, 50.0, 60.0};

int retryIoctl(int fd, unsigned long request, void *argument) {
    int result;
    do {
        result = ioctl(fd, request, argument);
    } while (result < 0 && errno == EINTR);
    return result;
}

class Node {
public:
    explicit Node(const QString &path) : fd(::open(QFile::encodeName(path).constData(), O_RDWR | O_NONBLOCK)) {}
    ~Node() {
        if (fd >= 0)
            ::close(fd);
    }
    Node(const Node &) = delete;
    Node &operator=(const Node &) = delete;
    int handle() const { return fd; }

private:
    int fd;
};

QString fixedText(const __u8 *text, size_t size) {
    const auto *chars = reinterpret_cast<const char *>(text);
    return QString::fromUtf8(chars, int(strnlen(chars, size))).trimmed();
}

QList<double> ratesOf(int fd, uint32_t fourcc, QSize size) {
    QList<double> rates;
    v4l2_frmivalenum interval = {};
    interval.pixel_format = fourcc;
    interval.width = uint32_t(size.width());
    interval.height = uint32_t(size.height());
    for (interval.index = 0; interval.index < MAX_ENUM; ++interval.index) {
        if (retryIoctl(fd, VIDIOC_ENUM_FRAMEINTERVALS, &interval) < 0)
            break;
        if (interval.type == V4L2_FRMIVAL_TYPE_DISCRETE) {
            if (interval.discrete.numerator > 0)
                rates.append(double(interval.discrete.denominator) / interval.discrete.numerator);
            continue;
        }
        // Continuous or stepwise: the fastest and slowest rate bound the range.
        const v4l2_fract fastest = interval.stepwise.min;
        const v4l2_fract slowest = interval.stepwise.max;
        const double high = fastest.numerator ? double(fastest.denominator) / fastest.numerator : 0.0;
        const double low = slowest.numerator ? double(slowest.denominator) / slowest.numerator : 0.0;
        for (double rate : STEPWISE_RATES) {
            if (rate >= low && rate <= high)
                rates.append(rate);
        }
        break;
    }
    return rates;
}

QList<QSize> sizesOf(int fd, uint32_t fourcc) {
    QList<QSize> sizes;
    v4l2_frmsizeenum frameSize = {};
    frameSize.pixel_format = fourcc;
    for (frameSize.index = 0; frameSize.index < MAX_ENUM; ++frameSize.index) {
        if (retryIoctl(fd, VIDIOC_ENUM_FRAMESIZES, &frameSize) < 0)
            break;
        if (frameSize.type == V4L2_FRMSIZE_TYPE_DISCRETE) {
            sizes.append(QSize(int(frameSize.discrete.width), int(frameSize.discrete.height)));
            continue;
        }
        const v4l2_frmsize_stepwise &range = frameSize.stepwise;
        for (const QSize &size : STEPWISE_SIZES) {
            if (uint32_t(size.width()) >= range.min_width && uint32_t(size.width()) <= range.max_width &&
                uint32_t(size.height()) >= range.min_height && uint32_t(size.height()) <= range.max_height)
                sizes.append(size);
        }
        sizes.append(QSize(int(range.max_width), int(range.max_height)));
        break;
    }
    return sizes;
}

} // namespace

bool V4L2Query::query(const QString &path, Device *device) {
    Node node(path);
    if (node.handle() < 0)
        return false;
    v4l2_capability capability = {};
    if (retryIoctl(node.handle(), VIDIOC_QUERYCAP, &capability) < 0)
        return false;
    // device_caps describe this node; capabilities the whole physical device, whose other nodes may
    // be metadata or output only.
    const uint32_t caps =
        (capability.capabilities & V4L2_CAP_DEVICE_CAPS) ? capability.device_caps : capability.capabilities;
    if (!(caps & V4L2_CAP_VIDEO_CAPTURE))
        return false;
    device->path = path;
    device->card = fixedText(capability.card, sizeof capability.card);
    if (device->card.isEmpty())
        device->card = QFileInfo(path).fileName();
    device->inputs.clear();
    v4l2_input input = {};
    for (input.index = 0; input.index < MAX_ENUM; ++input.index) {
        if (retryIoctl(node.handle(), VIDIOC_ENUMINPUT, &input) < 0)
            break;
        device->inputs.append(fixedText(input.name, sizeof input.name));
    }
    return true;
}

QList<V4L2Query::Device> V4L2Query::captureDevices(const QString &directory) {
    QStringList nodes = QDir(directory).entryList({QStringLiteral("video*")}, QDir::System | QDir::Files);
    // video2 before video10
    std::sort(nodes.begin(), nodes.end(), [](const QString &a, const QString &b) {
        return a.mid(5).toInt() != b.mid(5).toInt() ? a.mid(5).toInt() < b.mid(5).toInt() : a < b;
    });
    QList<Device> devices;
    for (const QString &node : nodes) {
        Device device;
        if (query(QDir(directory).filePath(node), &device))
            devices.append(device);
    }
    return devices;
}

QList<V4L2FormatChooser::Mode> V4L2Query::modes(const QString &path) {
    QList<V4L2FormatChooser::Mode> modes;
    Node node(path);
    if (node.handle() < 0)
        return modes;
    v4l2_fmtdesc format = {};
    format.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    for (format.index = 0; format.index < MAX_ENUM; ++format.index) {
        if (retryIoctl(node.handle(), VIDIOC_ENUM_FMT, &format) < 0)
            break;
        const QString name = V4L2FormatChooser::inputFormatName(format.pixelformat);
        if (name.isEmpty())
            continue;
        for (const QSize &size : sizesOf(node.handle(), format.pixelformat)) {
            for (double rate : ratesOf(node.handle(), format.pixelformat, size))
                modes.append({name, size, rate});
        }
    }
    return modes;
}
