#pragma once

#include <QSettings>
#include <QStringList>

// The text of a key, whatever form QSettings gives it. A value written by hand with a comma and without quotes
// (BONDING_RIST=10.0.0.5(1),10.0.1.5(1)) is read as a string list, whose toString() is empty: the comma-joined
// list is the text that was written, less the blanks QSettings drops around each comma.
inline QString settingsText(const QSettings &store, const QString &key, const QString &fallback = QString()) {
    const QVariant value = store.value(key, fallback);
    if (value.userType() == QMetaType::QStringList)
        return value.toStringList().join(QLatin1Char(','));
    return value.toString();
}
