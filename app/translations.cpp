#include "translations.h"

#include <QCoreApplication>
#include <QLibraryInfo>
#include <QTranslator>

// The .qm files live in a resource of this static library; without a reference the linker would drop them.
// Q_INIT_RESOURCE declares a global function, so it must not stand inside a namespace.
static void initTranslationResource() {
    Q_INIT_RESOURCE(translations);
}

namespace translations {

bool install(QCoreApplication &app, const QLocale &locale) {
    initTranslationResource();

    // QTranslator::load tries each of the locale's UI languages in turn ("de_DE", "de"), so a regional
    // locale finds the language's file.
    auto *qt = new QTranslator(&app);
    if (qt->load(locale, QStringLiteral("qtbase"), QStringLiteral("_"),
                 QLibraryInfo::location(QLibraryInfo::TranslationsPath)))
        app.installTranslator(qt);
    else
        delete qt;

    auto *own = new QTranslator(&app);
    if (!own->load(locale, QStringLiteral("tidewell"), QStringLiteral("_"), QStringLiteral(":/translations"))) {
        delete own;
        return false;
    }
    app.installTranslator(own);
    return true;
}

} // namespace translations
