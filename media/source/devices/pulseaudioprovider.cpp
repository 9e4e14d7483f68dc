#include "pulseaudioprovider.h"

#include "imfdevice.h"
#include "pulseaudiodevice.h"
#include "pulseclient.h"

#include <QDebug>
#include <QSet>

#include <pulse/introspect.h>

#include <atomic>

namespace {

struct Listing {
    QList<MFDeviceEntry> entries;
    QSet<QString> names;
};

void onSource(pa_context *, const pa_source_info *info, int eol, void *userdata) {
    if (eol || !info)
        return;
    auto *listing = static_cast<Listing *>(userdata);
    MFDeviceEntry entry;
    entry.id = QString::fromUtf8(info->name);
    const QString description = QString::fromUtf8(info->description ? info->description : info->name).trimmed();
    // Two sources may share a description (two identical USB microphones); the source name keeps them
    // apart, so that each can be chosen.
    entry.name =
        listing->names.contains(description) ? QStringLiteral("%1 (%2)").arg(description, entry.id) : description;
    listing->names.insert(entry.name);
    listing->entries.append(entry);
}

} // namespace

QString PulseAudioProvider::providerName() const {
    return QStringLiteral("PulseAudio");
}

QList<MFDeviceEntry> PulseAudioProvider::list(int type) {
    if (type != eMFDT_ExtAudio)
        return {};
    PulseClient client;
    QString error;
    if (!client.connect(LIST_TIMEOUT_MS, nullptr, &error)) {
        static std::atomic<bool> reported{false};
        if (!reported.exchange(true))
            qDebug() << "PulseAudio sources not listed:" << error;
        return {};
    }
    Listing listing;
    if (!client.finish(pa_context_get_source_info_list(client.context(), &onSource, &listing), LIST_TIMEOUT_MS)) {
        qWarning() << "PulseAudio: listing the sources failed:" << client.lastError();
        return {};
    }
    return listing.entries;
}

std::unique_ptr<MFAudioDevice> PulseAudioProvider::openAudio(const MFDeviceEntry &entry) {
    if (entry.id.isEmpty())
        return nullptr;
    return std::make_unique<PulseAudioDevice>(entry.id);
}
