#pragma once

#include <QSize>
#include <QString>

#include <cstdint>
#include <functional>
#include <memory>

class MFWriter;
class MFormats;

// Where the report takes its encoder listing and its device lists from. The application uses the media
// layer's own objects; tests hand in scripted ones. A factory that gives nullptr leaves its values empty.
struct SystemInfoMedia {
    std::function<std::shared_ptr<MFWriter>()> createWriter;
    std::function<std::shared_ptr<MFormats>()> createSource;

    static SystemInfoMedia standard();
};

// The sectioned report on the machine, the operating system, the containers and codecs the writer
// offers and the capture devices of the live source. Runs on the GUI thread; creates media objects.
QString systemInfoText();
QString systemInfoText(const SystemInfoMedia &media);
// The attached screens of the GUI application.
QString screensInfoText();

// One screen's block of screensInfoText.
QString screenInfoBlock(int index, const QString &name, const QSize &size, double devicePixelRatio, double logicalDpi,
                        double physicalDpi, double refreshRate);
// "2.4 GHz" for 2400000000 Hz (two decimals at most); empty for 0.
QString cpuFrequencyText(double hz);
// "16.28 Gb" for 16282340 kB; empty for 0.
QString ramSizeText(uint64_t kilobytes);
