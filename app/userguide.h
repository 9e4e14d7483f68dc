#pragma once

#include <QString>
#include <QUrl>

// The user guide, an HTML page installed with the program and opened in the desktop's browser, offline.
namespace userguide {

// Where the guide lies below an installation prefix (share/doc/tidewell/user-guide.html).
extern const char kRelativePath[];
// Anchors of the guide's sections that the window's help labels open.
extern const char kTimecodeSection[];
extern const char kAlphaSection[];

// The guide's file: in share/doc/tidewell/ of the nearest folder above the program's that has one. That is the
// installation prefix for an installed program (/usr for /usr/bin/tidewell) and the build folder for a program
// or test in a build tree, which lays the guide out as an installation would. Empty when there is none.
QString locate(const QString &applicationDir);

// The guide's address, at section when one is given.
QUrl address(const QString &file, const QString &section = QString());

} // namespace userguide
