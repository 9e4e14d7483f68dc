#include "alsaaudioprovider.h"

#include "alsaaudiodevice.h"
#include "imfdevice.h"

#include <QDebug>
#include <QSet>

#include <alsa/asoundlib.h>

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <mutex>

namespace {
QString takeHint(void *hint, const char *id) {
    char *value = snd_device_name_get_hint(hint, id);
    const QString text = value ? QString::fromUtf8(value) : QString();
    std::free(value);
    return text;
}
// alsa-lib complains about every card-specific device it cannot expand while it builds the hint list (all of
// them on a machine without sound cards); those complaints are no news and stay out of the log.
thread_local bool listing = false;

void libraryMessage(const char *file, int line, const char *function, int error, const char *format, ...) {
    if (listing)
        return;
    char text[512];
    va_list arguments;
    va_start(arguments, format);
    std::vsnprintf(text, sizeof text, format, arguments);
    va_end(arguments);
    qDebug().noquote() << "ALSA:" << text << (error ? snd_strerror(error) : "") << "(" << function << file << line
                       << ")";
}
} // namespace

void AlsaAudioProvider::routeLibraryMessages() {
    static std::once_flag once;
    std::call_once(once, [] { snd_lib_error_set_handler(&libraryMessage); });
}

QString AlsaAudioProvider::providerName() const {
    return QStringLiteral("ALSA");
}

bool AlsaAudioProvider::entryForHint(const QString &name, const QString &description, MFDeviceEntry *entry) {
    if (!name.startsWith(QLatin1String("plughw:")))
        return false;
    // The description is "<card>, <device>\n<what the plugin does>"; the first line names the device.
    const QString title = description.section(QLatin1Char('\n'), 0, 0).trimmed();
    entry->name = title.isEmpty() ? name : title;
    entry->id = name;
    entry->lines.clear();
    return true;
}

QList<MFDeviceEntry> AlsaAudioProvider::list(int type) {
    QList<MFDeviceEntry> entries;
    if (type != eMFDT_ExtAudio)
        return entries;
    routeLibraryMessages();
    void **hints = nullptr;
    listing = true;
    const int result = snd_device_name_hint(-1, "pcm", &hints);
    listing = false;
    if (result < 0 || !hints)
        return entries;
    QSet<QString> taken;
    for (void **hint = hints; *hint; ++hint) {
        // No IOID means the device does both directions.
        const QString direction = takeHint(*hint, "IOID");
        if (!direction.isEmpty() && direction != QLatin1String("Input"))
            continue;
        MFDeviceEntry entry;
        if (!entryForHint(takeHint(*hint, "NAME"), takeHint(*hint, "DESC"), &entry))
            continue;
        if (taken.contains(entry.name))
            entry.name = QStringLiteral("%1 (%2)").arg(entry.name, entry.id);
        taken.insert(entry.name);
        entries.append(entry);
    }
    snd_device_name_free_hint(hints);
    return entries;
}

std::unique_ptr<MFAudioDevice> AlsaAudioProvider::openAudio(const MFDeviceEntry &entry) {
    if (entry.id.isEmpty())
        return nullptr;
    return std::make_unique<AlsaAudioDevice>(entry.id);
}
