#include "systeminfo.h"

#include "machineinfo.h"
#include "mformats.h"
#include "mfresult.h"
#include "mfwriter.h"

#include <QGuiApplication>
#include <QList>
#include <QMap>
#include <QPair>
#include <QScreen>
#include <QSet>
#include <QStringList>
#include <QSysInfo>

#include <cmath>

namespace {

using Section = QList<QPair<QString, QString>>;

// Two decimals, printed without trailing zeros.
QString hundredths(double value) {
    return QString::number(std::round(value * 100.0) / 100.0, 'g', 6);
}

struct WriterListing {
    QString containers;
    QString videoCodecs;
    QString audioCodecs;
};

void addCodecNames(MFWriter &writer, int kind, QStringList *names, QSet<QString> *seen) {
    int count = 0;
    if (MF_FAILED(writer.WriterOptionGetCount(kind, &count)))
        return;
    for (int i = 0; i < count; ++i) {
        QString name;
        QString description;
        if (MF_FAILED(writer.WriterOptionGetByIndex(kind, i, &name, &description)) || name.isEmpty())
            continue;
        if (!seen->contains(name)) {
            seen->insert(name);
            names->append(name);
        }
    }
}

WriterListing listWriter(const SystemInfoMedia &media) {
    WriterListing listing;
    const std::shared_ptr<MFWriter> writer = media.createWriter ? media.createWriter() : nullptr;
    if (!writer)
        return listing;
    QStringList containers;
    QStringList video;
    QStringList audio;
    QSet<QString> seenVideo;
    QSet<QString> seenAudio;
    int count = 0;
    if (MF_SUCCEEDED(writer->WriterOptionGetCount(MFWriter::Container, &count))) {
        for (int i = 0; i < count; ++i) {
            QString name;
            QString description;
            if (MF_FAILED(writer->WriterOptionGetByIndex(MFWriter::Container, i, &name, &description)) ||
                name.isEmpty())
                continue;
            containers.append(name);
            // The codec lists answer for the selected container.
            writer->WriterOptionSet(MFWriter::Container, name);
            addCodecNames(*writer, MFWriter::VideoCodec, &video, &seenVideo);
            addCodecNames(*writer, MFWriter::AudioCodec, &audio, &seenAudio);
        }
    }
    const QString blank(QLatin1Char(' '));
    listing.containers = containers.join(blank);
    listing.videoCodecs = video.join(blank);
    listing.audioCodecs = audio.join(blank);
    return listing;
}

QString deviceNames(MFormats &source, int type) {
    int count = 0;
    if (MF_FAILED(source.DeviceGetCount(type, &count)))
        return {};
    QStringList names;
    for (int i = 0; i < count; ++i) {
        QString name;
        source.DeviceGetByIndex(type, i, &name);
        names.append(QLatin1Char('"') + name + QLatin1Char('"'));
    }
    return names.join(QStringLiteral(", "));
}

} // namespace

SystemInfoMedia SystemInfoMedia::standard() {
    SystemInfoMedia media;
    media.createWriter = [] { return MFWriter::create(); };
    media.createSource = [] { return MFormats::create(); };
    return media;
}

QString cpuFrequencyText(double hz) {
    if (hz <= 0.0)
        return {};
    return hundredths(hz / 1e9) + QStringLiteral(" GHz");
}

QString ramSizeText(uint64_t kilobytes) {
    if (kilobytes == 0)
        return {};
    return hundredths(double(kilobytes) / 1e6) + QStringLiteral(" Gb");
}

QString systemInfoText() {
    return systemInfoText(SystemInfoMedia::standard());
}

QString systemInfoText(const SystemInfoMedia &media) {
    // Ordered by title, which is the order the sections are printed in.
    QMap<QString, Section> sections;

    Section &machine = sections[QStringLiteral("Machine info")];
    machine.append({QStringLiteral("CPU Architecture"), QSysInfo::currentCpuArchitecture()});
    machine.append({QStringLiteral("CPU Frequency"), cpuFrequencyText(cpuFrequencyHz())});
    const int processors = logicalProcessorCount();
    machine.append({QStringLiteral("CPU and/or core count"), processors > 0 ? QString::number(processors) : QString()});
    machine.append({QStringLiteral("RAM size"), ramSizeText(installedMemoryKb())});

    Section &os = sections[QStringLiteral("OS info")];
    os.append({QStringLiteral("OS"), QSysInfo::prettyProductName()});
    os.append({QStringLiteral("Kernel type"), QSysInfo::kernelType()});
    os.append({QStringLiteral("Kernel version"), QSysInfo::kernelVersion()});
    os.append({QStringLiteral("Host name"), QSysInfo::machineHostName()});

    const WriterListing listing = listWriter(media);
    Section &codecs = sections[QStringLiteral("Codecs and containers")];
    codecs.append({QStringLiteral("Containers"), listing.containers});
    codecs.append({QStringLiteral("Video codecs"), listing.videoCodecs});
    codecs.append({QStringLiteral("Audio codecs"), listing.audioCodecs});

    QString videoDevices;
    QString audioDevices;
    if (const std::shared_ptr<MFormats> source = media.createSource ? media.createSource() : nullptr) {
        videoDevices = deviceNames(*source, eMFDT_Video);
        audioDevices = deviceNames(*source, eMFDT_ExtAudio);
    }
    Section &devices = sections[QStringLiteral("Connected multimedia devices")];
    devices.append({QStringLiteral("Video devices"), videoDevices});
    devices.append({QStringLiteral("Audio devices"), audioDevices});

    QString text;
    for (auto section = sections.cbegin(); section != sections.cend(); ++section) {
        text += section.key() + QStringLiteral(":\n");
        for (const auto &pair : section.value())
            text += QLatin1Char('\n') + pair.first + QStringLiteral(":\t") + pair.second + QLatin1Char('\n');
    }
    return text;
}

QString screenInfoBlock(int index, const QString &name, const QSize &size, double devicePixelRatio, double logicalDpi,
                        double physicalDpi, double refreshRate) {
    constexpr double kBaseDpi = 96.0;
    // One multi-argument arg(), so that a screen name holding "%3" is not filled in again.
    return QStringLiteral("Screen #%1: %2\n  Size: %3 x %4\n  Device Pixel Ratio: %5\n  Logical DPI: %6\n"
                          "  Physical DPI: %7\n  Refresh Rate: %8 Hz\n  Estimated Scale Factor: %9\n\n")
        .arg(QString::number(index), name, QString::number(size.width()), QString::number(size.height()),
             QString::number(devicePixelRatio), QString::number(logicalDpi), QString::number(physicalDpi),
             QString::number(refreshRate), QString::number(logicalDpi / kBaseDpi, 'f', 2));
}

QString screensInfoText() {
    const QList<QScreen *> screens = QGuiApplication::screens();
    const QScreen *primary = QGuiApplication::primaryScreen();
    QString text = QStringLiteral("Number of screens: %1\n").arg(screens.size());
    text += QStringLiteral("Primary screen: %1\n\n").arg(primary ? primary->name() : QString());
    for (int i = 0; i < screens.size(); ++i) {
        const QScreen *screen = screens.at(i);
        text += screenInfoBlock(i, screen->name(), screen->size(), screen->devicePixelRatio(),
                                screen->logicalDotsPerInch(), screen->physicalDotsPerInch(), screen->refreshRate());
    }
    return text;
}
