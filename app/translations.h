#pragma once

#include <QLocale>

class QCoreApplication;

// Tidewell's texts are written in English; other languages come from the Qt Linguist files compiled into
// the program (translations/tidewell_<language>.ts). Qt's own texts (message box buttons, file dialogs) come
// from the system's Qt translations where those are installed.
namespace translations {

// Installs the translators for the locale's languages on app; call before any window is built, since a
// form takes its texts when it is set up. False when Tidewell has no translation for the locale: its
// texts then stay English.
bool install(QCoreApplication &app, const QLocale &locale = QLocale());

} // namespace translations
