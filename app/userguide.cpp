#include "userguide.h"

#include <QDir>
#include <QFileInfo>

namespace {
// An installed program sits one folder below its prefix, a build's programs and tests one or two below the
// build folder.
constexpr int kLevelsUp = 3;
} // namespace

namespace userguide {

// The build defines it from the install layout.
const char kRelativePath[] = TIDEWELL_USER_GUIDE;
const char kTimecodeSection[] = "timecode";
const char kAlphaSection[] = "alpha";

QString locate(const QString &applicationDir) {
    QDir dir(applicationDir);
    for (int level = 0; level < kLevelsUp && dir.cdUp(); ++level) {
        const QFileInfo guide(dir.filePath(QLatin1String(kRelativePath)));
        if (guide.isFile())
            return guide.absoluteFilePath();
    }
    return QString();
}

QUrl address(const QString &file, const QString &section) {
    QUrl url = QUrl::fromLocalFile(file);
    if (!section.isEmpty())
        url.setFragment(section);
    return url;
}

} // namespace userguide
