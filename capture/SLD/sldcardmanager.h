#pragma once

#include "sldcarddriver.h"

#include <QString>
#include <QStringList>

// A loaded card driver library. The library stays loaded for the rest of the process: card threads may
// still be inside it while the program ends.
class SLDCardManager {
public:
    // The environment variable and the settings key that name the driver library, and the library
    // looked up on the library path when neither is set.
    static const char *const PATH_VARIABLE;
    static const char *const PATH_SETTING;
    static const char *const DEFAULT_LIBRARY;

    // nullptr, with the reason in *why, when the library or its table cannot be had.
    static SLDCardManager *load(const QString &path, QString *why);
    // The path named by the environment, else by the settings store, else DEFAULT_LIBRARY.
    static QString configuredPath();

    // True for a record the card source may use.
    static bool usable(const SldDeviceRecord &record);
    // First name, a blank and the second name.
    static QString cardName(const SldDeviceRecord &record);

    const SldDriver &driver() const { return *table; }
    QString path() const { return libraryPath; }
    int deviceCount() const;
    bool deviceRecord(int index, SldDeviceRecord *record) const;
    // The usable cards' names, in index order, with their index.
    QList<QPair<int, QString>> usableCards() const;

private:
    SLDCardManager(const SldDriver *table, const QString &path) : table(table), libraryPath(path) {}

    const SldDriver *table;
    QString libraryPath;
};
