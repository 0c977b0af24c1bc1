#include "librarysearch.h"

#include <QCoreApplication>
#include <QDir>

// The maker's libraries first, wherever the system's own search finds them: the executable's
// folder, the system folders and PATH, where the maker's setup puts them. Only then the simulated
// controllers, installed as an option into the "simulated" folder beside the executable, so that
// they never take the place of the maker's libraries.
QStringList LibrarySearch::candidates(const QString& baseName)
{
    QStringList candidates{baseName};
    if (QCoreApplication::instance())
        candidates
            << QDir(QCoreApplication::applicationDirPath()).filePath(QStringLiteral("simulated/") + baseName);
    return candidates;
}
