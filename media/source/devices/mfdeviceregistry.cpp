#include "mfdevicebackend.h"
#include "mftestpattern.h"

#include <QMutexLocker>

#ifdef TIDEWELL_HAVE_PLATFORM_DEVICES
// Defined by the platform backends (media/source/devices/): registers their providers.
void mfRegisterPlatformProviders();
#endif

namespace {

struct Registry {
    QMutex lock; // guards list and started
    QList<MFDeviceProviderPtr> list;
    bool started = false;
};

Registry &registry() {
    // Constructed on first use, so no provider is built during static initialisation.
    static Registry instance;
    return instance;
}

void registerBuiltins() {
    Registry &r = registry();
    {
        QMutexLocker locker(&r.lock);
        if (r.started)
            return;
        r.started = true;
        r.list.prepend(std::make_shared<MFTestPatternProvider>());
    }
    // Outside the lock: the platform hook calls add().
#ifdef TIDEWELL_HAVE_PLATFORM_DEVICES
    mfRegisterPlatformProviders();
#endif
}

} // namespace

void MFDeviceRegistry::add(const MFDeviceProviderPtr &provider) {
    if (!provider)
        return;
    registerBuiltins();
    Registry &r = registry();
    QMutexLocker locker(&r.lock);
    if (!r.list.contains(provider))
        r.list.append(provider);
}

void MFDeviceRegistry::remove(const MFDeviceProviderPtr &provider) {
    Registry &r = registry();
    QMutexLocker locker(&r.lock);
    r.list.removeAll(provider);
}

QList<MFDeviceProviderPtr> MFDeviceRegistry::providers() {
    registerBuiltins();
    Registry &r = registry();
    QMutexLocker locker(&r.lock);
    return r.list;
}
