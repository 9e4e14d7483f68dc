#pragma once

#include <QString>

class QSettings;

// Files that hold secrets (the settings store and configuration files carry the SRT passphrase, the RIST secret
// and SRP credentials) are readable by their owner only. QSettings writes through QSaveFile: a temporary file in
// the same folder renamed over the old one, which keeps the old file's mode but gives a new file the umask's
// (0644 as a rule). So the file is created 0600 before its first write, and an older file loses its group and
// other bits.
namespace privatefile {

// Takes the group's and others' permissions away from the file, if there is one; false with the reason when it
// cannot.
bool restrictToOwner(const QString &path, QString *error = nullptr);

// Creates the file (and its folder) empty with mode 0600 when there is none, else restricts it to its owner. For
// writers that let QSettings write in its own time; *created tells whether this call made the file.
bool prepare(const QString &path, bool *created = nullptr, QString *error = nullptr);

// Writes the store's changes to its file now. False with the reason when the file could not be written (a
// read-only folder or file, a full disk): the file on disk is then the one from before, and a file this call
// created is removed again.
bool save(QSettings &store, QString *error = nullptr);

} // namespace privatefile
