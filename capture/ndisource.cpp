#include "ndisource.h"

#include "mformats.h"
#include "mfresult.h"

#include <QDebug>

NDISource::NDISource() : NDISource([] { return MFormats::create(); }) {}

NDISource::NDISource(const std::function<std::shared_ptr<MFormats>()> &createSource) : create(createSource) {
    initNDI();
}

void NDISource::initNDI() {
    source = create ? create() : nullptr;
    if (!source) {
        qCritical() << "void __cdecl NDISource::initNDI(void)"
                    << "ERROR: Can't create MFormats NDI instance";
        return;
    }
    source->PropsSet(QStringLiteral("device.start_at_deviceset"), QStringLiteral("false"));
    source->PropsSet(QStringLiteral("ndi_auto_connect"), QStringLiteral("false"));
    int count = 0;
    if (MF_FAILED(source->DeviceGetCount(0, &count)))
        return;
    for (int i = 0; i < count; ++i) {
        QString name;
        source->DeviceGetByIndex(0, i, &name);
        qDebug() << name;
        if (name.startsWith(QLatin1String("NDI Receiver"))) {
            qDebug() << "found NDI" << i;
            source->DeviceSet(0, i, QString());
            break;
        }
    }
}

void listNDISources(const NDISource &ndi, QStringList &list) {
    const std::shared_ptr<MFormats> &source = ndi.object();
    if (!source)
        return;
    const QString lineIn = QStringLiteral("line-in");
    int count = 0;
    const int result = source->PropsOptionGetCount(lineIn, &count);
    qDebug() << "NDI LINE:" << count << MF_SUCCEEDED(result);
    if (MF_FAILED(result))
        return;
    for (int j = 0; j < count; ++j) {
        QString value;
        QString description;
        source->PropsOptionGetByIndex(lineIn, j, &value, &description);
        list.append(QStringLiteral("NDI:") + value);
    }
}
