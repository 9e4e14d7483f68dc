#include "mfsoundoutputs.h"

#include "pulseclient.h"

#include <QDebug>
#include <QSet>

#include <pulse/introspect.h>

#include <atomic>

namespace {

struct Listing {
    QString defaultSink;
    QList<MFSoundOutput> sinks;
};

void onServer(pa_context *, const pa_server_info *info, void *userdata) {
    if (info && info->default_sink_name)
        static_cast<Listing *>(userdata)->defaultSink = QString::fromUtf8(info->default_sink_name);
}

void onSink(pa_context *, const pa_sink_info *info, int eol, void *userdata) {
    if (eol || !info)
        return;
    const QString name = QString::fromUtf8(info->name);
    const QString description = QString::fromUtf8(info->description ? info->description : info->name).trimmed();
    static_cast<Listing *>(userdata)->sinks.append(MFSoundOutput{name, description.isEmpty() ? name : description});
}

} // namespace

QList<MFSoundOutput> mfListSoundOutputs(int timeoutMs) {
    PulseClient client;
    QString error;
    if (!client.connect(timeoutMs, nullptr, &error)) {
        static std::atomic<bool> reported{false};
        if (!reported.exchange(true))
            qDebug() << "renderer: no sound outputs listed:" << error;
        return {};
    }
    Listing listing;
    if (!client.finish(pa_context_get_server_info(client.context(), &onServer, &listing), timeoutMs) ||
        !client.finish(pa_context_get_sink_info_list(client.context(), &onSink, &listing), timeoutMs)) {
        qWarning() << "renderer: listing the sound outputs failed:" << client.lastError();
        return {};
    }
    QList<MFSoundOutput> ordered;
    for (const MFSoundOutput &sink : listing.sinks) {
        if (sink.name == listing.defaultSink)
            ordered.prepend(sink);
        else
            ordered.append(sink);
    }
    QSet<QString> seen;
    for (MFSoundOutput &sink : ordered) {
        if (seen.contains(sink.description))
            sink.description = QStringLiteral("%1 (%2)").arg(sink.description, sink.name);
        seen.insert(sink.description);
    }
    return ordered;
}
