#include "fileidentity.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#ifdef Q_OS_UNIX
#include <sys/stat.h>
#endif

namespace {

// Where a path leads once its symbolic links, dangling ones too, have been followed; the links the
// system itself would follow at most (ELOOP), then the path reached.
QString followLinks(QString path)
{
    for (int hops = 0; hops < 40; ++hops) {
        const QFileInfo info(path);
        if (!info.isSymLink())
            return path;
        path = info.symLinkTarget();
    }
    return path;
}

} // namespace

FileIdentity::FileIdentity(const QString& path)
{
#ifdef Q_OS_UNIX
    struct stat status;
    if (::stat(QFile::encodeName(path).constData(), &status) == 0) {
        exists = true;
        device = static_cast<std::uint64_t>(status.st_dev);
        inode = static_cast<std::uint64_t>(status.st_ino);
        return;
    }
#endif
    const QFileInfo target(followLinks(path));
    const QString folder = target.absoluteDir().canonicalPath();
    // A folder that does not exist makes the file unwritable anyway; its plain path still tells two
    // spellings of one name apart from two names.
    futurePath = (folder.isEmpty() ? QDir::cleanPath(target.absolutePath()) : folder) + QLatin1Char('/') +
                 target.fileName();
}

bool FileIdentity::operator==(const FileIdentity& other) const
{
    if (exists != other.exists)
        return false;
    if (exists)
        return device == other.device && inode == other.inode;
    return futurePath == other.futurePath;
}
