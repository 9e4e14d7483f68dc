// A configuration file is an INI file the operator may have edited by hand or that is no INI file at all. The
// load reads it through QSettings, takes numbers and switches from its texts and splits the stored encoder
// parameters; the widgets it then fills need the whole window, which this build does not have.
// Values QSettings would read as serialised objects are refused first, exactly as the load does.
#include "fuzzkit.h"
#include "streamrules.h"

#include <QDir>
#include <QFile>
#include <QSettings>

#include <algorithm>

#include <unistd.h>

namespace {
// What QSettings makes of INI text without a serialised object: a value that is none of these came out of a
// QDataStream, so the screening before the load missed it.
bool readAsText(const QVariant &value) {
    switch (value.userType()) {
    case QMetaType::UnknownType:
    case QMetaType::QString:
    case QMetaType::QStringList:
    case QMetaType::QByteArray:
    case QMetaType::QRect:
    case QMetaType::QSize:
    case QMetaType::QPoint:
        return true;
    case QMetaType::QVariantList: {
        const QVariantList list = value.toList();
        return std::all_of(list.cbegin(), list.cend(), [](const QVariant &item) { return readAsText(item); });
    }
    default:
        return false;
    }
}
} // namespace

extern "C" int LLVMFuzzerInitialize(int *argc, char ***argv) {
    fuzzkit::initialize(argc, argv);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    // QSettings caches a file by name, so each input gets a name of its own.
    static quint64 serial = 0;
    const QString path = QDir::tempPath() + QStringLiteral("/tidewell_fuzz_%1_%2.ini").arg(getpid()).arg(serial++);
    {
        QFile file(path);
        if (!file.open(QIODevice::WriteOnly))
            return 0;
        file.write(reinterpret_cast<const char *>(data), qint64(size));
    }
    // The load refuses these files before QSettings reads them; the run looks for texts that slip past.
    const QByteArray content(reinterpret_cast<const char *>(data), int(size));
    if (!streamrules::iniHoldsSerializedValue(content)) {
        QSettings store(path, QSettings::IniFormat);
        const QStringList keys = store.allKeys();
        for (const QString &key : keys) {
            const QVariant stored = store.value(key);
            fuzzkit::require(readAsText(stored));
            const QString value = stored.toString();
            bool ok = false;
            value.trimmed().toInt(&ok, 10);
            if (key.endsWith(QLatin1String("_params"))) {
                const QStringList params = streamrules::splitEncoderParams(value);
                fuzzkit::require(params.size() == 2);
                streamrules::joinEncoderParams(params);
            }
        }
        store.status();
    }
    QFile::remove(path);
    return 0;
}
