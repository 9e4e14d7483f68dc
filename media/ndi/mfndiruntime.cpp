#include "mfndiruntime.h"

#include "ndiapi.h"

#include <QDebug>
#include <QFile>

#include <dlfcn.h>

namespace {

// The major versions whose runtimes offer the table Tidewell reads, newest first.
constexpr int kMajorVersions[] = {6, 5};

QString libraryName(int major) {
    return QStringLiteral("libndi.so.%1").arg(major);
}

} // namespace

QList<MFNdiRuntime::Candidate> MFNdiRuntime::candidates(const std::function<QByteArray(const char *)> &environment) {
    QList<Candidate> list;
    for (int major : kMajorVersions) {
        const QByteArray variable = QByteArrayLiteral("NDI_RUNTIME_DIR_V") + QByteArray::number(major);
        const QString folder = QString::fromLocal8Bit(environment(variable.constData()));
        if (folder.isEmpty()) {
            list.append({QString(), QStringLiteral("%1 (not set)").arg(QString::fromLatin1(variable))});
            continue;
        }
        const QString path =
            (folder.endsWith(QLatin1Char('/')) ? folder : folder + QLatin1Char('/')) + libraryName(major);
        list.append({path, path});
    }
    for (int major : kMajorVersions)
        list.append({libraryName(major), QStringLiteral("%1 on the library path").arg(libraryName(major))});
    return list;
}

const MFNdiRuntime &MFNdiRuntime::instance() {
    // Built on first use, never during static initialisation; never destroyed, like the runtime it holds.
    static const MFNdiRuntime *runtime = new MFNdiRuntime();
    return *runtime;
}

MFNdiRuntime::MFNdiRuntime() {
    looked = candidates([](const char *name) { return qgetenv(name); });
    for (const Candidate &candidate : looked) {
        if (candidate.path.isEmpty())
            continue;
        void *library = dlopen(QFile::encodeName(candidate.path).constData(), RTLD_NOW | RTLD_LOCAL);
        if (!library) {
            failure = QString::fromLocal8Bit(dlerror());
            continue;
        }
        auto load = reinterpret_cast<NDIlib_v5_load_fn>(dlsym(library, kNDIlibLoadEntry));
        const NDIlib_v5 *loaded = load ? load() : nullptr;
        if (!loaded || !loaded->initialize) {
            failure = QStringLiteral("%1 has no %2").arg(candidate.path, QLatin1String(kNDIlibLoadEntry));
            dlclose(library);
            continue;
        }
        // The runtime refuses a processor it cannot run on.
        if (!loaded->initialize()) {
            failure = QStringLiteral("%1 does not run on this processor").arg(candidate.path);
            dlclose(library);
            continue;
        }
        table = loaded;
        loadedFrom = candidate.path;
        version = loaded->version ? QString::fromUtf8(loaded->version()) : QString();
        break;
    }
    qDebug().noquote() << "NDI runtime:" << (table ? loadedFrom + QLatin1Char(' ') + version : failure);
}

QString MFNdiRuntime::searchedText() const {
    QStringList places;
    for (const Candidate &candidate : looked)
        places.append(candidate.label);
    return places.join(QStringLiteral(", "));
}

QString MFNdiRuntime::logLine() const {
    if (table)
        return QStringLiteral("NDI RUNTIME: %1 (%2)").arg(loadedFrom, version);
    return QStringLiteral("NDI RUNTIME: none installed (looked at %1)").arg(searchedText());
}

QStringList MFNdiRuntime::sources() const {
    QStringList names;
    if (!table || !table->find_create_v2 || !table->find_get_current_sources)
        return names;
    std::lock_guard<std::mutex> locker(finderLock);
    if (!finder) {
        NDIlib_find_create_t settings{true, nullptr, nullptr};
        finder = table->find_create_v2(&settings);
        if (!finder)
            return names;
    }
    uint32_t count = 0;
    const NDIlib_source_t *found = table->find_get_current_sources(finder, &count);
    for (uint32_t i = 0; found && i < count; ++i)
        if (found[i].p_ndi_name)
            names.append(QString::fromUtf8(found[i].p_ndi_name));
    return names;
}
