#include "setmfdevice.h"

#include "imfdevice.h"
#include "imfprops.h"
#include "mfresult.h"

#include <QDebug>

namespace {
const char kSignature[] = "bool __cdecl setMFDevice(class ATL::CComPtr<struct IMFDevice>,enum "
                          "eMFDeviceType,class QString,class QString)";
}

bool setMFDevice(std::shared_ptr<IMFDevice> device, int type, QString name, QString line) {
    if (!device)
        return false;
    int count = 0;
    if (MF_FAILED(device->DeviceGetCount(type, &count))) {
        qCritical() << kSignature << "DeviceGetCount FAILED";
        return false;
    }
    int found = -1;
    for (int i = 0; i < count && found < 0; ++i) {
        QString entry;
        if (MF_SUCCEEDED(device->DeviceGetByIndex(type, i, &entry)) && entry == name)
            found = i;
    }
    if (found < 0)
        return false;
    if (MF_FAILED(device->DeviceSet(type, found, QString()))) {
        qCritical() << kSignature << "DeviceSet FAILED";
        return false;
    }
    if (!line.isEmpty()) {
        // Input lines are a property of the same object; an object without properties has no lines.
        IMFProps *props = dynamic_cast<IMFProps *>(device.get());
        const int result = props ? props->PropsSet(QStringLiteral("line-in"), line) : int(MF_E_UNSUPPORTED);
        if (MF_FAILED(result)) {
            qCritical() << kSignature << "set line-in FAILED:" << line;
            return false;
        }
        qDebug() << "set line-in SUCCESSFULL";
    }
    return true;
}
