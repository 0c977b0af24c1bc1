#include "librarysearch.h"

#include <QCoreApplication>
#include <QDir>

// The executable's folder first, then the folder an installation puts them in
// (<prefix>/lib/vkr-calibrator beside <prefix>/bin, or beside <prefix>/lib/tango, where the Tango
// device server lives), then the system's library path.
QStringList LibrarySearch::candidates(const QString& baseName)
{
    QStringList candidates;
    if (QCoreApplication::instance()) {
        const QDir executableFolder(QCoreApplication::applicationDirPath());
        candidates << executableFolder.filePath(baseName)
                   << executableFolder.filePath(QStringLiteral("../lib/vkr-calibrator/") + baseName)
                   << executableFolder.filePath(QStringLiteral("../vkr-calibrator/") + baseName);
    }
    candidates << baseName;
    return candidates;
}
