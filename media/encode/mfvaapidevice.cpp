#include "mfvaapidevice.h"

#include <QDir>
#include <QStringList>

extern "C" {
#include <libavutil/error.h>
#include <libavutil/hwcontext.h>
}

AVBufferRef *mfOpenVaapiDevice(const QString &directory, QString *node, QString *why) {
    // Device nodes are neither files nor directories to QDir: they are listed only as system entries.
    const QStringList nodes = QDir(directory).entryList({QStringLiteral("renderD*")},
                                                        QDir::System | QDir::Files | QDir::NoDotAndDotDot, QDir::Name);
    if (nodes.isEmpty()) {
        *why = QStringLiteral("no render node in %1").arg(directory);
        return nullptr;
    }
    QStringList refusals;
    for (const QString &name : nodes) {
        const QString path = QDir(directory).filePath(name);
        AVDictionary *options = nullptr;
        // FFmpeg tries an X display of that name when the node does not open; only the node is wanted.
        av_dict_set(&options, "connection_type", "drm", 0);
        AVBufferRef *device = nullptr;
        const int result =
            av_hwdevice_ctx_create(&device, AV_HWDEVICE_TYPE_VAAPI, path.toLocal8Bit().constData(), options, 0);
        av_dict_free(&options);
        if (result >= 0) {
            *node = path;
            return device;
        }
        char text[AV_ERROR_MAX_STRING_SIZE] = {};
        av_strerror(result, text, sizeof text);
        refusals << QStringLiteral("%1 does not open (%2)").arg(path, QString::fromUtf8(text));
    }
    *why = refusals.join(QStringLiteral(", "));
    return nullptr;
}
