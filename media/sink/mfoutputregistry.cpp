#include "mfndioutput.h"
#include "mfoutputdevice.h"

#include <mutex>

namespace {

struct Registry {
    std::mutex lock; // guards list
    QList<MFOutputProviderPtr> list;
};

Registry &registry() {
    // Built on first use with the built-in NDI sender, so that nothing is built during static initialisation.
    static Registry *instance = [] {
        auto *made = new Registry;
        made->list.append(std::make_shared<MFNdiOutputProvider>());
        return made;
    }();
    return *instance;
}

} // namespace

void MFOutputRegistry::add(const MFOutputProviderPtr &provider) {
    if (!provider)
        return;
    Registry &r = registry();
    std::lock_guard<std::mutex> locker(r.lock);
    if (!r.list.contains(provider))
        r.list.append(provider);
}

void MFOutputRegistry::remove(const MFOutputProviderPtr &provider) {
    Registry &r = registry();
    std::lock_guard<std::mutex> locker(r.lock);
    r.list.removeAll(provider);
}

QList<MFOutputProviderPtr> MFOutputRegistry::providers() {
    Registry &r = registry();
    std::lock_guard<std::mutex> locker(r.lock);
    return r.list;
}
