#include "privatefile.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSettings>
#include <QTemporaryFile>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace privatefile {

namespace {
constexpr mode_t kOwnerOnly = S_IRUSR | S_IWUSR;
constexpr mode_t kGroupAndOthers = S_IRWXG | S_IRWXO;

QString systemError() {
    return QString::fromLocal8Bit(std::strerror(errno));
}

// What stopped QSettings, which only says that it could not write.
QString writeFailure(const QString &path) {
    const QFileInfo info(path);
    if (info.exists() && !info.isWritable())
        return QCoreApplication::translate("privatefile", "the file is read-only");
    QTemporaryFile probe(info.absolutePath() + QStringLiteral("/.tidewell-XXXXXX"));
    if (!probe.open())
        return QCoreApplication::translate("privatefile", "the folder cannot be written to (%1)")
            .arg(probe.errorString());
    return QCoreApplication::translate("privatefile", "the file could not be written out; the disk may be full");
}
} // namespace

bool restrictToOwner(const QString &path, QString *error) {
    const QByteArray name = QFile::encodeName(path);
    struct stat status {};
    if (::stat(name.constData(), &status) != 0)
        return errno == ENOENT;
    if ((status.st_mode & kGroupAndOthers) == 0)
        return true;
    if (::chmod(name.constData(), status.st_mode & ~kGroupAndOthers & 07777) == 0)
        return true;
    if (error)
        *error = systemError();
    return false;
}

bool prepare(const QString &path, bool *created, QString *error) {
    if (created)
        *created = false;
    QDir().mkpath(QFileInfo(path).absolutePath());
    const int fd = ::open(QFile::encodeName(path).constData(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, kOwnerOnly);
    if (fd >= 0) {
        ::close(fd);
        if (created)
            *created = true;
        return true;
    }
    if (errno == EEXIST)
        return restrictToOwner(path, error);
    if (error)
        *error = systemError();
    return false;
}

bool save(QSettings &store, QString *error) {
    const QString path = store.fileName();
    bool created = false;
    prepare(path, &created);
    store.sync();
    if (store.status() != QSettings::AccessError)
        return true;
    // Only what this call made goes: an empty file in place of none.
    if (created && QFileInfo(path).size() == 0)
        QFile::remove(path);
    if (error)
        *error = writeFailure(path);
    return false;
}

} // namespace privatefile
