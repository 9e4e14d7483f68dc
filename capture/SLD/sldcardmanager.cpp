#include "sldcardmanager.h"

#include "settingstext.h"

#include <QPair>
#include <QSettings>

#include <cstring>

#include <dlfcn.h>

const char *const SLDCardManager::PATH_VARIABLE = "TIDEWELL_SLD_DRIVER";
const char *const SLDCardManager::PATH_SETTING = "SLD_DRIVER";
const char *const SLDCardManager::DEFAULT_LIBRARY = "libsldfdext.so.1";

namespace {

// The driver writes the names; a name that fills its field without a terminator is cut, not overrun.
QString fieldText(const char *field) {
    return QString::fromUtf8(field, int(strnlen(field, SLD_NAME_SIZE)));
}

} // namespace

QString SLDCardManager::configuredPath() {
    const QString fromEnvironment = qEnvironmentVariable(PATH_VARIABLE);
    if (!fromEnvironment.isEmpty())
        return fromEnvironment;
    // The main window's own store (it sets the default format before the cards are looked for).
    const QSettings settings(QStringLiteral("Brackmoor"), QStringLiteral("Tidewell"));
    const QString fromSettings = settingsText(settings, QLatin1String(PATH_SETTING));
    return fromSettings.isEmpty() ? QString::fromLatin1(DEFAULT_LIBRARY) : fromSettings;
}

SLDCardManager *SLDCardManager::load(const QString &path, QString *why) {
    const QByteArray file = path.toLocal8Bit();
    void *library = dlopen(file.constData(), RTLD_NOW | RTLD_LOCAL);
    if (!library) {
        if (why)
            *why = QString::fromLocal8Bit(dlerror());
        return nullptr;
    }
    auto entry = reinterpret_cast<SldDriverEntry>(dlsym(library, SLD_DRIVER_ENTRY));
    const SldDriver *table = entry ? entry() : nullptr;
    const bool complete = table && table->abi_version == SLD_DRIVER_ABI_VERSION && table->device_count &&
                          table->device_record && table->device_open && table->device_close && table->video_format &&
                          table->audio_format && table->position && table->read_video && table->read_audio;
    if (!complete) {
        if (why)
            *why = QStringLiteral("%1: no driver table of version %2").arg(path).arg(SLD_DRIVER_ABI_VERSION);
        dlclose(library);
        return nullptr;
    }
    return new SLDCardManager(table, path);
}

bool SLDCardManager::usable(const SldDeviceRecord &record) {
    return record.status == SLD_RECORD_USABLE_STATUS && record.kind == SLD_RECORD_USABLE_KIND;
}

QString SLDCardManager::cardName(const SldDeviceRecord &record) {
    return fieldText(record.first_name) + QLatin1Char(' ') + fieldText(record.second_name);
}

int SLDCardManager::deviceCount() const {
    const int count = table->device_count();
    return count > 0 ? count : 0;
}

bool SLDCardManager::deviceRecord(int index, SldDeviceRecord *record) const {
    std::memset(record, 0, sizeof(*record));
    return table->device_record(index, record) == 0;
}

QList<QPair<int, QString>> SLDCardManager::usableCards() const {
    QList<QPair<int, QString>> cards;
    const int count = deviceCount();
    for (int i = 0; i < count; ++i) {
        SldDeviceRecord record;
        if (deviceRecord(i, &record) && usable(record))
            cards.append({i, cardName(record)});
    }
    return cards;
}
